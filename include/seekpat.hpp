// seekpat as a C++ library: a pattern prepared once and searched for in any number of texts of
// any size, as a match map, a count or a list of positions, on as many threads as asked; and a
// stream searcher for texts that come in pieces (files, pipes) of any size.
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
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
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
  // block every signal but those of a fault (SIGBUS, SIGSEGV, SIGFPE, SIGILL), which a helper's
  // own load raises on that helper: a process that handles SIGBUS from a mapped file that
  // shrinks gets it there as on its own threads. A helper that cannot be started, or is busy with
  // another caller, costs speed, never a result: the calling thread searches what no helper takes.
  // A caller cancelled (pthread_cancel) during a call finishes the call first.
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
  // matches are few. Memory beyond the list: at most 32 MiB of positions at a time.
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

  // The same starts a piece of the text at a time, for callers whose own work per occurrence
  // (formatting it, say) is worth sharing across threads too. The text goes in pieces of about
  // `piece` bytes (at least 2p; at most one fewer piece than asked for where a piece would end
  // past the text) in rounds of four pieces per thread, searched on the plan of one call for
  // the whole text:
  //  - slots(k) first, on the calling thread: the pieces' slots are 0 to k - 1 (k <= 8 x threads);
  //  - work(slot, at, k), on the thread that searched the piece, at the same time as other
  //    pieces' work: the starts at[0, k) of occurrences that start in the piece, in increasing
  //    order, in one or more calls (none when it holds none); the slot is the piece's alone until
  //    its done(slot, end) returns;
  //  - done(slot, end) on the calling thread, once per piece, in the pieces' order, while the
  //    next round is searched; end is where the piece ends in the text. It may return bool,
  //    false to stop.
  // Returns false when done stopped it, else true. A piece of 0 bytes throws
  // std::invalid_argument; throws std::bad_alloc, and whatever work or done throws, once the
  // round in flight is over: the pieces done was called for are exact, and no later one is
  // handed on.
  template <class Slots, class Work, class Done>
  bool for_each_piece(const void* text, std::size_t n, std::size_t piece, Slots&& slots,
                      Work&& work, Done&& done, unsigned threads = 0) const {
    struct fns {
      std::remove_reference_t<Slots>& slots;
      std::remove_reference_t<Work>& work;
      std::remove_reference_t<Done>& done;
    } f{slots, work, done};
    const piece_calls calls = {[](void* ctx, std::size_t k) { static_cast<fns*>(ctx)->slots(k); },
                               [](void* ctx, std::size_t slot, const std::size_t* at,
                                  std::size_t k) { static_cast<fns*>(ctx)->work(slot, at, k); },
                               [](void* ctx, std::size_t slot, std::size_t end) -> bool {
                                 auto& d = static_cast<fns*>(ctx)->done;
                                 if constexpr (std::is_convertible_v<decltype(d(slot, end)), bool>)
                                   return d(slot, end);
                                 else {
                                   d(slot, end);
                                   return true;
                                 }
                               }};
    return pieces(text, n, piece, calls, &f, threads);
  }

private:
  friend class stream_searcher;
  struct piece_calls {
    void (*slots)(void*, std::size_t);
    void (*work)(void*, std::size_t, const std::size_t*, std::size_t);
    bool (*done)(void*, std::size_t, std::size_t);
  };
  bool pieces(const void* text, std::size_t n, std::size_t piece, const piece_calls& calls,
              void* ctx, unsigned threads) const;
  bool visit(const void* text, std::size_t n, bool (*take)(void*, const std::size_t*, std::size_t),
             void* ctx, unsigned threads) const;
  // For stream_searcher. Whether the pattern has its failure function: every pattern of 2 to
  // 2^32 - 2 bytes, unless memory ran out while it was prepared.
  bool tracks() const noexcept;
  // Runs the pattern's matcher over data[0, n) from *state, the length of the longest prefix of
  // the pattern that ends the bytes before, calling found(ctx, j) for each j where an occurrence
  // ends at data[j] until found returns false (found may be null: no reports). Leaves in *state
  // the state after data[n - 1], also when found stops or throws. Returns false when found
  // stopped. O(n) amortised over a stream; needs tracks().
  bool track(std::size_t* state, const void* data, std::size_t n, bool (*found)(void*, std::size_t),
             void* ctx) const;

  struct state;
  std::shared_ptr<const state> state_; // immutable: shared by copies and threads
};

// Searches a stream that comes in successive chunks of any size (none, one byte, fewer than the
// pattern, gigabytes) exactly as the whole stream would be searched as one text: every
// occurrence, overlapping ones included, once, with its offset from the stream's start. An
// occurrence across any number of chunk boundaries is reported by the chunk that completes it.
// A feed of n bytes costs O(n) amortised over the stream, whatever n is beside p: the searcher
// follows the pattern's failure function across chunks (O(p) of memory, held by the pattern),
// and holds no bytes of the stream. (A pattern prepared without memory for that function, or of
// 2^32 - 1 bytes or more, makes the searcher hold the last p - 1 bytes instead, and each feed
// then costs O(n + p).) One searcher serves one stream from one thread at a time; each chunk is
// searched on up to `threads` threads, as pattern's calls are.
class stream_searcher {
public:
  // Throws std::bad_alloc only where it holds bytes (see above) and cannot reserve room for them.
  explicit stream_searcher(pattern pat, unsigned threads = 0)
      : pat_(std::move(pat)), threads_(threads) {
    const std::size_t p = pat_.size();
    if (p > 1 && !pat_.tracks()) { // all the room it will need, so that no feed allocates
      tail_.reserve(p - 1);
      join_.reserve(2 * (p - 1));
    }
  }

  // Feeds data[0, n) and calls fn(offset) for each occurrence it completes, in increasing order,
  // offsets counted from the first byte of the first chunk (std::uint64_t). fn may return bool,
  // false to stop: the chunk is then taken whole all the same, and its later occurrences are not
  // reported; returns false when fn stopped, else true. A null data with n > 0 throws
  // std::invalid_argument; throws std::bad_alloc, and whatever fn throws: the chunk is then
  // taken whole too, and the searcher stays exact for the chunks that follow.
  template <class F> bool feed(const void* data, std::size_t n, F&& fn) {
    auto report = [&](std::uint64_t x) {
      if constexpr (std::is_convertible_v<decltype(fn(x)), bool>)
        return static_cast<bool>(fn(x));
      else {
        fn(x);
        return true;
      }
    };
    return step(
        data, n,
        [&](const void* text, std::size_t len, std::uint64_t base, std::size_t below) {
          return pat_.for_each(
              text, len, [&](std::size_t j) { return j >= below || report(base + j); }, threads_);
        },
        report);
  }

  // Feeds data[0, n) and returns how many occurrences it completes.
  std::uint64_t feed_count(const void* data, std::size_t n) {
    std::uint64_t k = 0;
    step(
        data, n,
        [&](const void* text, std::size_t len, std::uint64_t, std::size_t) {
          k += pat_.count(text, len, threads_);
          return true;
        },
        [&](std::uint64_t) {
          ++k;
          return true;
        });
    return k;
  }

  // The number of bytes fed so far.
  std::uint64_t offset() const noexcept { return fed_; }

private:
  // Feeds data[0, n): search(text, len, base, below) reports the occurrences in text[0, len)
  // that start below `below`, text[0] being at stream offset base; ended(offset) reports one
  // found by the matcher. First those that start before this chunk and end in it, then those
  // inside it. The offset and the matcher's state move on before either is reported, so that a
  // stop or an exception leaves the searcher ready for the next chunk.
  template <class S, class E> bool step(const void* data, std::size_t n, S&& search, E&& ended) {
    if (n == 0)
      return true;
    if (!data)
      throw std::invalid_argument("seekpat_lib::stream_searcher: null data");
    const char* d = static_cast<const char*>(data);
    const std::size_t p = pat_.size();
    const std::uint64_t base = fed_;
    fed_ += n;
    if (p <= 1) // no occurrence spans two chunks
      return search(d, n, base, n);
    if (!pat_.tracks())
      return join_step(d, n, base, search);
    // The matcher reports occurrences by where they end: j in this chunk is the end of the one
    // that starts at base + j + 1 - p.
    using ended_t = std::remove_reference_t<E>;
    struct at_end {
      ended_t& ended;
      std::uint64_t start; // base + 1 - p, modulo 2^64
    } to{ended, base + 1 - p};
    auto hop = [](void* ctx, std::size_t j) -> bool {
      at_end& t = *static_cast<at_end*>(ctx);
      return t.ended(t.start + j);
    };
    // A chunk shorter than 2(p - 1) goes through the matcher alone: one pass over it, where the
    // way below would pass over its first and last p - 1 bytes and search it too.
    if (n < 2 * (p - 1))
      return pat_.track(&state_, d, n, hop, &to);
    // Occurrences that end in the chunk's first p - 1 bytes start before it; after the chunk,
    // the state depends on its last p - 1 bytes alone.
    std::size_t q = state_;
    state_ = 0;
    pat_.track(&state_, d + n - (p - 1), p - 1, nullptr, nullptr);
    bool go = q == 0 || pat_.track(&q, d, p - 1, hop, &to);
    if (go && n >= p)
      go = search(d, n, base, n);
    return go;
  }

  // step for a pattern without its failure function: the held tail's t bytes (fewer than p - 1
  // only near the stream's start) and the chunk's first p - 1, a window of at most t + p - 1 of
  // them, hold exactly the occurrences that start in the tail and end in this chunk. The room
  // for both was reserved: nothing here allocates.
  template <class S> bool join_step(const char* d, std::size_t n, std::uint64_t base, S& search) {
    const std::size_t p = pat_.size(), t = tail_.size();
    join_.assign(tail_);
    join_.append(d, n < p - 1 ? n : p - 1);
    const std::size_t len = join_.size() < t + p - 1 ? join_.size() : t + p - 1;
    // The new tail: the last p - 1 bytes fed.
    if (n >= p - 1)
      tail_.assign(d + n - (p - 1), p - 1);
    else
      tail_.assign(join_, join_.size() > p - 1 ? join_.size() - (p - 1) : 0);
    bool go = t == 0 || search(join_.data(), len, base - t, t);
    if (go && n >= p)
      go = search(d, n, base, n);
    return go;
  }

  pattern pat_;
  unsigned threads_;
  std::uint64_t fed_ = 0;
  std::size_t state_ = 0;   // the matcher's state after the bytes fed
  std::string tail_, join_; // without the matcher: the last p - 1 bytes fed; tail and next head
};

} // namespace seekpat_lib
