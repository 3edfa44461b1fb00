// What every strategy of the kernel shares: its own min and max, owned buffers, bit masks of
// runs, what a decided block becomes (emit), prefetching, zeroing whole blocks and extending a
// periodic stretch. Part of the kernel (see seekpat_kernel.h, which says why): everything here has
// internal linkage and is compiled once per instruction set.
#pragma once

#include "definition.h"
#include "pattern_tables.h"
#include "plan.h"

#include <cassert>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

using seekpat_internal::pattern_tables;
using seekpat_internal::plan;
using seekpat_internal::route_kind;
using seekpat_internal::sink;
using std::size_t;

// std::min and std::max, instantiated here, would be shared with every other file; these are
// theirs, here.
template <class T> constexpr const T& min_of(const T& a, const T& b) { return b < a ? b : a; }
template <class T> constexpr const T& max_of(const T& a, const T& b) { return a < b ? b : a; }

// The kernel's buffers, each owned by one searcher: a run tile (new (std::align_val_t(64))
// unsigned char[]) and a failure table (new std::uint32_t[]). std::unique_ptr would instantiate
// std:: code shared with every other file.
struct tile_delete {
  void operator()(unsigned char* b) const noexcept { ::operator delete[](b, std::align_val_t(64)); }
};
struct table_delete {
  void operator()(std::uint32_t* f) const noexcept { delete[] f; }
};
template <class T, class Delete> class owned {
public:
  owned() = default;
  owned(const owned&) = delete;
  owned& operator=(const owned&) = delete;
  ~owned() { reset(nullptr); }
  void reset(T* p) noexcept {
    if (p_)
      Delete()(p_);
    p_ = p;
  }
  T* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

private:
  T* p_ = nullptr;
};

inline std::uint64_t low_bits(size_t k) { return k >= 64 ? ~0ull : (1ull << k) - 1; }

// A run's matches among positions [next, hi] (i <= next, hi < i + 64) as bits relative to i;
// stride has bits at the multiples of q below 64 (q < 64), or bit 0 alone. Advances next past hi.
inline std::uint64_t stride_bits(std::uint64_t stride, size_t q, size_t i, size_t hi,
                                 size_t& next) {
  if (next > hi)
    return 0;
  assert(q >= 1 && next >= i && hi - i < 64);
  const std::uint64_t s = stride & low_bits(hi - next + 1);
  const std::uint64_t bits = s << (next - i);
  next += q * static_cast<size_t>(__builtin_popcountll(s));
  return bits;
}

// Bits at the multiples of q below 64, for q in [1, 64): a run's matches in a block. Up to 63
// shifts to build, so looked up at a run's start instead, which pays where runs restart at every
// line (docs/design.md, measurements: "Stride table").
struct stride_table {
  std::uint64_t of[64] = {};
  constexpr stride_table() {
    for (size_t q = 1; q < 64; ++q)
      for (size_t k = 0; k < 64; k += q)
        of[q] |= 1ull << k;
  }
};
constexpr stride_table strides;

// What a kernel writes its decisions to, by its sink: the map's bytes (store, stream; counting
// writes nothing, through a null map), or the list of positions (find).
template <sink S>
using out_of =
    std::conditional_t<S == sink::find, seekpat_internal::position_sink*, unsigned char*>;

// Records position x in s; once s cannot grow, drops it (s.failed then says so).
inline void record(seekpat_internal::position_sink& s, size_t x) noexcept {
  if (s.at != s.end || (!s.failed && s.more(s)))
    *s.at++ = x;
}

// What becomes of a decided block of W map bytes (0 or 1 each) at out + i: an aligned store, a
// non-temporal one, a count of its ones, or their positions. Counting and finding never touch a
// map.
template <class V, sink S> struct emit {
  static void block(out_of<S> out, size_t i, typename V::vec v, size_t& count) {
    if constexpr (S == sink::find)
      bits(out, i, ~std::uint64_t(V::movemask(V::cmpeq(v, V::zero()))) & low_bits(V::W), count);
    else if constexpr (S == sink::count)
      count += V::W - static_cast<size_t>(__builtin_popcount(V::movemask(V::cmpeq(v, V::zero()))));
    else
      V::template put<S == sink::stream>(out + i, v);
  }
  static void zeros(out_of<S> out, size_t i) {
    if constexpr (S != sink::count && S != sink::find)
      V::template put<S == sink::stream>(out + i, V::zero());
  }
  // Positions [from, to) that cannot match.
  static void zero_range(out_of<S> out, size_t from, size_t to) {
    if constexpr (S != sink::count && S != sink::find)
      std::memset(out + from, 0, to - from);
  }
  // A block's matches given as W bits.
  static void bits(out_of<S> out, size_t i, std::uint64_t bits, size_t& count) {
    if constexpr (S == sink::find) {
      (void)count;
      for (; bits; bits &= bits - 1)
        record(*out, i + static_cast<size_t>(__builtin_ctzll(bits)));
    } else if constexpr (S == sink::count)
      count += static_cast<size_t>(__builtin_popcountll(bits));
    else
      V::template put<S == sink::stream>(out + i, V::expand(static_cast<typename V::mask>(bits)));
  }
  static void one(out_of<S> out, size_t x, size_t& count) {
    if constexpr (S == sink::find)
      record(*out, x);
    else if constexpr (S == sink::count)
      ++count;
    else
      out[x] = 1;
  }
};

// Requests the text prefetch_ahead bytes ahead of block i, in the quiet loops of texts too large
// for the last level cache (plan::prefetch), for blocks below `until` (see prefetch_until). With
// many loads per block those loops keep fewer cache lines in flight than a copy, and the hardware
// prefetchers alone do not make up for it (docs/design.md, measurements: "Prefetching"). Only a
// hint, and only for lines inside the text.
constexpr size_t prefetch_ahead = 2048;
inline void prefetch_text(const unsigned char* t, size_t i, size_t until) {
  if (i < until)
    __builtin_prefetch(t + i + prefetch_ahead);
}

// Where prefetch_text stops: prefetch_ahead before fit_end, so every line it asks for lies
// inside the text.
inline size_t prefetch_until(size_t fit_end) {
  return fit_end > prefetch_ahead ? fit_end - prefetch_ahead : 0;
}

// Marks whole blocks of W positions from i as zeros while a block ends at or before `until` and
// W positions remain before fit_end; returns where it stopped.
template <class V, sink S>
__attribute__((noinline)) size_t zero_blocks(out_of<S> out, size_t i, size_t until,
                                             size_t fit_end) {
  for (; fit_end - i >= V::W && until - i >= V::W; i += V::W)
    emit<V, S>::zeros(out, i);
  return i;
}

// Extends a periodic stretch over text[j, need): stops at the first j with text[j] !=
// text[j - q]. Needs q <= j and need <= n. Compares W bytes at a time wherever W bytes remain in
// the text, even past need (lanes beyond it are ignored), so that short stretches cost one
// compare rather than a byte loop; reads text[j - q, min(need - 1 + W, n)).
template <class V>
size_t extend_run(const unsigned char* t, size_t n, size_t q, size_t j, size_t need, bool& broken) {
  assert(q >= 1 && q <= j && need <= n);
  while (j < need) {
    if (n - j >= V::W) { // both loads end inside the text: j + W <= n
      const std::uint64_t differ =
          ~std::uint64_t(V::movemask(V::cmpeq(V::load(t + j), V::load(t + j - q))));
      const size_t len = need - j < V::W ? need - j : V::W;
      if (const std::uint64_t d = differ & low_bits(len)) {
        broken = true;
        return j + __builtin_ctzll(d);
      }
      j += len;
    } else {
      if (t[j] != t[j - q]) {
        broken = true;
        return j;
      }
      ++j;
    }
  }
  return j;
}

} // namespace
