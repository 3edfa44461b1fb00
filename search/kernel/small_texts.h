// Whole small texts, with no plan and no set-up: seekpat's path for texts of up to
// tuning::small_max bytes on the calling thread.
#pragma once

#include "kernel/quiet_loop.h"
#include "kernel/verify.h"

namespace {

// A whole small text on the calling thread, with no plan: the map of pattern[0, p) over
// text[0, n) (sink::store), or the number of matches added to `count` (sink::count). Blocks of W
// positions with unaligned stores, the last placed to end at the last fit position (it overlaps
// the one before and decides its positions the same way; only its new ones are counted); exact
// lanes for p <= exact_max, else first, middle and last byte as the filter and each candidate
// verified. Returns false, the answer unfinished, when no block of W positions fits (n < W + p -
// 1) or once verification passes `budget` bytes, so that the caller's general search takes over.
// Reads text[0, n) and pattern[0, p); writes only out[0, n), and nothing when counting.
template <class V, sink S>
bool small_text(const unsigned char* pat, size_t p, const unsigned char* t, size_t n,
                unsigned char* out, size_t budget, size_t& count) noexcept {
  static_assert(S != sink::stream, "small maps are stored through the cache");
  assert(p >= 1);
  if (n < V::W + p - 1) // no whole block of positions
    return false;
  const size_t fit = n - p + 1;
  size_t c = 0;
  auto emit = [&](size_t x, size_t done, std::uint64_t bits, typename V::vec bytes) {
    if constexpr (S == sink::count)
      c += static_cast<size_t>(__builtin_popcountll(bits >> (done - x)));
    else
      V::storeu(out + x, bytes);
  };
  if constexpr (S != sink::count) {
    // Positions where the pattern does not fit are zeros: where there are at most W of them, one
    // store of W zeros ending at n (n >= W here), made first, so that the blocks' stores then
    // overwrite what it put below fit. A call to memset would cost a tenth of a 100-byte search.
    if (n - fit <= V::W)
      V::storeu(out + n - V::W, V::zero());
    else
      std::memset(out + fit, 0, n - fit);
  }
  if (p <= seekpat_internal::exact_max) {
    typename V::vec b[seekpat_internal::exact_max];
    for (size_t k = 0; k < p; ++k)
      b[k] = V::set1(pat[k]);
    for (size_t done = 0; done < fit;) {
      const size_t x = fit - done >= V::W ? done : fit - V::W;
      typename V::vec acc = V::cmpeq(V::load(t + x), b[0]);
      for (size_t k = 1; k < p; ++k)
        acc = V::and_(acc, V::cmpeq(V::load(t + x + k), b[k]));
      emit(x, done, static_cast<std::uint64_t>(V::movemask(acc)), V::and_(acc, V::one()));
      done = x + V::W;
    }
  } else {
    const verifier<V> verify(pat, p);
    const size_t o[3] = {0, p / 2, p - 1};
    const typename V::vec b[3] = {V::set1(pat[o[0]]), V::set1(pat[o[1]]), V::set1(pat[o[2]])};
    size_t work = 0;
    for (size_t done = 0; done < fit;) {
      const size_t x = fit - done >= V::W ? done : fit - V::W;
      std::uint64_t bits = 0;
      for (std::uint64_t cand = filter_mask<V, 0, 3>(t, x, o, b); cand; cand &= cand - 1) {
        const size_t at = x + __builtin_ctzll(cand);
        bits |= static_cast<std::uint64_t>(verify.mismatch(t, n, at) == p) << (at - x);
        work += p;
      }
      if (work > budget)
        return false;
      emit(x, done, bits, bits ? V::expand(static_cast<typename V::mask>(bits)) : V::zero());
      done = x + V::W;
    }
  }
  if constexpr (S == sink::count)
    count += c;
  return true;
}

// small_text as seekpat() calls it: counting when count is given, else writing the map.
template <class V>
bool small_entry(const unsigned char* pat, size_t p, const unsigned char* t, size_t n,
                 unsigned char* out, size_t budget, size_t* count) noexcept {
  size_t none = 0; // storing counts nothing
  return count ? small_text<V, sink::count>(pat, p, t, n, out, budget, *count)
               : small_text<V, sink::store>(pat, p, t, n, out, budget, none);
}

} // namespace
