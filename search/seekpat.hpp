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
// text[0, n) and writes only out[0, n); it changes nothing else of the caller's memory, its
// mappings included.
#pragma once

#include "seekpat_version.h"

#include <cstddef>
#include <memory>
#include <string_view>
#include <type_traits>
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

  // Moving is copying: a pattern is immutable and shared, so the source of a move stays the same
  // valid pattern.
  pattern(const pattern&) = default;
  pattern(pattern&& other) noexcept : state_(other.state_) {}
  pattern& operator=(const pattern&) = default;
  pattern& operator=(pattern&& other) noexcept {
    state_ = other.state_;
    return *this;
  }

  std::size_t size() const noexcept;
  std::string_view bytes() const noexcept;

  // `threads`, in every call: at most that many threads, fewer where the text is too small for
  // more to pay (about 2 MiB per thread for map, 4 MiB for count and find_all), and never more
  // than the hardware has; 0 means up to every hardware thread; 1 runs on the calling thread
  // alone, for callers that keep their own pool. Beside the caller, the library keeps one set of
  // helper threads for the whole process, started on first need, at most one fewer than the
  // hardware threads, shared by concurrent callers and kept, blocked, between calls. Helpers
  // block every signal. A helper that cannot be started, or is busy with another caller, costs
  // speed, never a result: the calling thread searches what no helper takes. A caller cancelled
  // (pthread_cancel) during a call finishes the call first.
  //
  // A null text or out with a nonzero n throws std::invalid_argument; with n = 0 nothing is read
  // or written.

  // Writes the match map of text[0, n) into out[0, n): out[i] = 1 where the pattern starts at
  // text + i, 0 everywhere else (the last p - 1 positions included). out may be uninitialised.
  // text and out must not overlap (std::invalid_argument). Throws nothing but
  // std::invalid_argument: out of memory, it still writes the whole map.
  //
  // A map just allocated pays a page fault per page on first write, which costs more than the
  // search. A caller that owns such a map and wants it backed by huge pages advises it first:
  // madvise(MADV_HUGEPAGE) on its 2 MiB-aligned interior (search_bench does so).
  void map(const void* text, std::size_t n, void* out, unsigned threads = 0) const;

  // The number of occurrences in text[0, n); writes nothing. Throws nothing but
  // std::invalid_argument.
  std::size_t count(const void* text, std::size_t n, unsigned threads = 0) const;

  // The start of every occurrence in text[0, n), in increasing order, as fast as count where
  // matches are few. Memory beyond the list: a block of positions per thread (at most 32 MiB).
  // Throws std::bad_alloc when these cannot be allocated.
  std::vector<std::size_t> find_all(const void* text, std::size_t n, unsigned threads = 0) const;

  // Calls fn(position) for the start of every occurrence in text[0, n), in increasing order, on
  // the calling thread, without holding them all: for texts with more matches than memory. fn
  // may return bool, false to stop the search early; returns false when fn stopped it, else
  // true. Holds at most the positions of 4 MiB of text per thread at a time. Throws
  // std::bad_alloc, and whatever fn throws (the search then stops).
  template <class F>
  bool for_each(const void* text, std::size_t n, F&& fn, unsigned threads = 0) const {
    using fn_t = std::remove_reference_t<F>;
    auto take = [](void* ctx, const std::size_t* at, std::size_t k) -> bool {
      fn_t& f = *static_cast<fn_t*>(ctx);
      for (std::size_t j = 0; j < k; ++j) {
        if constexpr (std::is_convertible_v<decltype(f(at[j])), bool>) {
          if (!f(at[j]))
            return false;
        } else {
          f(at[j]);
        }
      }
      return true;
    };
    return visit(text, n, take, const_cast<void*>(static_cast<const void*>(std::addressof(fn))),
                 threads);
  }

private:
  bool visit(const void* text, std::size_t n, bool (*take)(void*, const std::size_t*, std::size_t),
             void* ctx, unsigned threads) const;

  struct state;
  std::shared_ptr<const state> state_; // immutable: shared by copies and threads
};

} // namespace seekpat_lib
