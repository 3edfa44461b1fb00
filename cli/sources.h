// Where the bytes come from: a regular file searched in place, mapped, with its guard against a
// file that shrinks; read in parts on every thread where it cannot be mapped.
#pragma once

#include "seekpat.hpp"
#include "terminal.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <sys/stat.h>

namespace seekpat_cli {

extern std::atomic<std::uintptr_t> mapped_lo, mapped_hi;
extern std::atomic<bool> mapped_lost;
void on_sigbus(int sig, siginfo_t* info, void*);

// Searches a regular file of `size` bytes in place, mapped: search(text) with the file at text,
// no copy, so faster than reading it into buffers (bench/tool.txt, from scripts/bench_tool.sh).
// Returns false when the file cannot be mapped (the caller then reads it); sets *lost when pages
// went missing under the search.
template <class F> bool with_mapping(int fd, std::uint64_t size, bool* lost, F&& search) {
  void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED)
    return false;
  madvise(m, size, MADV_SEQUENTIAL); // advice only: errors ignored
  struct sigaction sa = {}, old = {};
  sa.sa_sigaction = on_sigbus;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  mapped_lost = false;
  mapped_lo = reinterpret_cast<std::uintptr_t>(m);
  mapped_hi = reinterpret_cast<std::uintptr_t>(m) + size;
  sigaction(SIGBUS, &sa, &old);
  search(static_cast<const char*>(m));
  sigaction(SIGBUS, &old, nullptr);
  mapped_lo = mapped_hi = 0;
  munmap(m, size);
  *lost = mapped_lost;
  return true;
}

// The size of the open file fd now, or `was` where it cannot be told.
inline std::uint64_t size_now(int fd, std::uint64_t was) {
  struct stat now;
  return fstat(fd, &now) == 0 ? static_cast<std::uint64_t>(now.st_size) : was;
}

// Counts the occurrences in a regular file of `size` bytes on every thread: each reads its own
// part with pread into a buffer of its own and feeds it to a stream searcher of its own, reading
// p - 1 bytes past the part's end, so that it sees every occurrence that starts in its part and
// no other. Reading on every core brings the file in faster than one reader can. Returns false,
// with the error in *error (0 when the file ended early), when a part could not be read whole.
bool count_in_parts(int fd, std::uint64_t size, const seekpat_lib::pattern& pat, unsigned threads,
                    progress& shown, std::uint64_t* count, int* error);

} // namespace seekpat_cli
