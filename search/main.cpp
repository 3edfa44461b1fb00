// search_bench: loads a file, marks every occurrence of a pattern once with a plain sequential
// search and once with the parallel seekpat, times both and checks that the maps agree.
#include "seekpat.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <climits>
#include <cstdio>
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

void run_test(const char* pattern, const char* text, int n, const char* msg) {
  const size_t bytes = n > 0 ? static_cast<size_t>(n) : 0;
  char* out = static_cast<char*>(malloc(bytes));
  char* out_ok = static_cast<char*>(malloc(bytes));
  if (out == nullptr || out_ok == nullptr)
    panic("out of memory");

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

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("Usage: %s <input-file> <pattern-string>\n", argv[0]);
    return 1;
  }
  const char* in_path = argv[1];
  const char* pattern = argv[2];
  if (pattern[0] == '\0')
    panic("empty pattern");

  printf("Opening text file: %s\n", in_path);
  FILE* f = fopen(in_path, "rb");
  // A directory opens for reading on Linux but holds no text; refuse it as unloadable rather
  // than report it as an empty file.
  struct stat st;
  if (f == nullptr || (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)))
    panic("failed to load input text file");

  const int n = get_file_size(f);
  // A size of -1 (the file cannot be positioned) is an allocation no allocator can satisfy.
  // The text block lives until the process exits; held in a static it stays reachable to the
  // end, so leak checkers do not mistake it for a leak.
  static char* text;
  text = n < 0 ? nullptr : static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (text == nullptr)
    panic("failed to allocate text block");
  if (fread(text, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n))
    panic("failed to read text");
  printf("Loaded text file of %d bytes\n", n);
  fclose(f);

  // The preview never reads past the text: a shorter text is shown whole.
  printf("------\n");
  fwrite(text, 1, n < 256 ? static_cast<size_t>(n) : 256, stdout);
  printf(" [...] \n------\n");

  run_test(pattern, text, n, "Running test");
  // A report that could not be written (a full disk, a closed pipe, a closed standard output)
  // must not end as a success.
  if (fflush(stdout) != 0 || ferror(stdout))
    panic("failed to write output");
  return 0;
}
