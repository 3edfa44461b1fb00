// search_bench's functions: the sequential reference, the file loading, and the test it runs.
#include "search_bench.h"

#include "seekpat.h"

#include <sys/mman.h>
#include <sys/time.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

double get_real_time() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec * 1e-6;
}

// Standard output is deliberately not flushed first: exit() flushes it after the error line.
[[noreturn]] void panic(const char* msg) {
  fprintf(stderr, "Error: %s\n", msg);
  exit(1);
}

// The reference map: every position tested on its own with one memcmp.
void seekpat_seq(const char* pattern, const char* text, char* out, int n) {
  const long long p = static_cast<long long>(strlen(pattern));
  const long long m = static_cast<long long>(n) - p + 1; // positions where the pattern fits
  long long i = 0;
  // i < n as well as i < m: with an empty pattern m is n + 1, one past the map.
  for (; i < m && i < n; ++i)
    out[i] = memcmp(text + i, pattern, static_cast<size_t>(p)) == 0;
  for (; i < n; ++i)
    out[i] = 0;
}

int count_non_zero(const char* str, int n) {
  int s = 0;
  for (int i = 0; i < n; ++i)
    s += str[i] != 0;
  return s;
}

// The size of the file behind f, leaving its position as it was; -1 when it cannot be
// positioned (a pipe). A size beyond what an int holds is refused: it would wrap and the program
// would search a fraction of the file and call that a success.
int get_file_size(FILE* f) {
  const off_t curr_pos = ftello(f);
  fseeko(f, 0, SEEK_END);
  const off_t size = ftello(f);
  fseeko(f, curr_pos, SEEK_SET);
  if (size > INT_MAX)
    panic("input file too large");
  return static_cast<int>(size);
}

// Asks for 2 MiB pages for the part of buf[0, n) that covers whole huge pages; changes no byte.
// A fresh map is mostly page faults, and huge pages cut their number 512-fold: seekpat on a
// fresh 256 MiB map, 88-102 ms with 4 KiB pages, 25-36 ms with huge ones (docs/design.md).
// Below 4 MiB the map covers too few huge pages for the system call to matter.
void advise_huge_pages(char* buf, size_t n) {
  const uintptr_t huge = 2u << 20;
  const uintptr_t lo = (reinterpret_cast<uintptr_t>(buf) + huge - 1) & ~(huge - 1);
  const uintptr_t hi = (reinterpret_cast<uintptr_t>(buf) + n) & ~(huge - 1);
  if (n >= (4u << 20) && hi > lo)
    madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE); // advice only: errors ignored
}

// Reads f to its end into a block that grows as it fills, replacing *text; returns its length.
// Past what an int holds: "input file too large"; a read error: "failed to read text".
int read_to_end(FILE* f, char** text) {
  size_t len = 0, cap = 0;
  char* buf = nullptr;
  for (;;) {
    if (len == cap) {
      if (cap > static_cast<size_t>(INT_MAX))
        panic("input file too large");
      cap = cap ? 2 * cap : 64u << 10;
      char* grown = static_cast<char*>(realloc(buf, cap));
      if (grown == nullptr)
        panic("failed to allocate text block");
      buf = grown;
    }
    const size_t got = fread(buf + len, 1, cap - len, f);
    len += got;
    if (got == 0) {
      if (ferror(f))
        panic("failed to read text");
      break;
    }
  }
  if (len > static_cast<size_t>(INT_MAX))
    panic("input file too large");
  free(*text);
  *text = buf;
  return static_cast<int>(len);
}

void run_test(const char* pattern, const char* text, int n, const char* msg) {
  const size_t bytes = n > 0 ? static_cast<size_t>(n) : 0;
  char* out = static_cast<char*>(malloc(bytes));
  char* out_ok = static_cast<char*>(malloc(bytes));
  if (out == nullptr || out_ok == nullptr)
    panic("out of memory");
  // This program owns the parallel search's map; the advice is given before the clock starts.
  advise_huge_pages(out, bytes);

  double start = get_real_time();
  seekpat_seq(pattern, text, out_ok, n);
  const double t_ok = get_real_time() - start;

  start = get_real_time();
  seekpat(pattern, text, out, n);
  const double t = get_real_time() - start;

  printf("%s\n", msg);
  printf("    CPU took %.3f msec\n", t_ok * 1000);
  printf("    Device took %.3f msec\n", t * 1000);
  printf("    Pattern \"%s\" found %d times sequentially\n", pattern, count_non_zero(out_ok, n));
  printf("    Pattern \"%s\" found %d times in parallel\n", pattern, count_non_zero(out, n));
  printf("    Correctness test: %s\n", memcmp(out, out_ok, bytes) == 0 ? "PASSED" : "FAILED");
  free(out);
  free(out_ok);
}
