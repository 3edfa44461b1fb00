// seekpat as a C++ library: a pattern prepared once and searched for in any number of texts of
// any size, as a match map, a count or a list of positions, on as many threads as asked.
//
//   #include <seekpat.hpp>
//   const seekpat_lib::pattern needle("Holmes");
//   std::size_t k = needle.count(text.data(), text.size());
//
// The search is exact and byte-wise: no case folding, no encoding, NUL bytes are ordinary bytes.
// Occurrences may overlap ("aa" occurs 3 times in "aaaa"). The empty pattern occurs at every
// position of a text (n times in n bytes). Every call takes time linear in n + p, reads only
// text[0, n) and writes only out[0, n).
#pragma once

#include "seekpat_version.h"

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

// The library exports this API alone; everything else in it is hidden.
#define SEEKPAT_LIB_API __attribute__((visibility("default")))

namespace seekpat_lib {

class SEEKPAT_LIB_API pattern {
public:
  // Copies bytes[0, p) and prepares them for searching (filter bytes, period, failure function).
  // Throws std::invalid_argument when bytes is null and p > 0, std::bad_alloc when the copy
  // cannot be allocated.
  pattern(const void* bytes, std::size_t p);
  explicit pattern(std::string_view bytes) : pattern(bytes.data(), bytes.size()) {}

  std::size_t size() const noexcept;
  std::string_view bytes() const noexcept;

  // `threads`, in every call: at most that many threads, fewer where the text is too small for
  // more to pay (about 2 MiB per thread for map, 4 MiB for count and find_all); 0 means up to
  // every hardware thread; 1 runs on the calling thread alone, for callers that keep their own
  // pool. Threads beside the caller are started on first need and kept, blocked, for later
  // calls. A thread that cannot be started costs speed, never a result: its share runs on the
  // calling thread.
  //
  // A null text or out with a nonzero n throws std::invalid_argument; with n = 0 nothing is read
  // or written.

  // Writes the match map of text[0, n) into out[0, n): out[i] = 1 where the pattern starts at
  // text + i, 0 everywhere else (the last p - 1 positions included). out may be uninitialised.
  // Throws nothing but std::invalid_argument: out of memory, it still writes the whole map.
  void map(const void* text, std::size_t n, void* out, unsigned threads = 0) const;

  // The number of occurrences in text[0, n); writes nothing. Throws nothing but
  // std::invalid_argument.
  std::size_t count(const void* text, std::size_t n, unsigned threads = 0) const;

  // The start of every occurrence in text[0, n), in increasing order. Throws std::bad_alloc when
  // the list cannot be allocated.
  std::vector<std::size_t> find_all(const void* text, std::size_t n, unsigned threads = 0) const;

private:
  struct state;
  std::shared_ptr<const state> state_; // immutable: shared by copies and threads
};

} // namespace seekpat_lib
