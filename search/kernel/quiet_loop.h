// The filter's quiet loop, shared by the filter and rare-lanes routes: blocks whose rare bytes
// pass nowhere are decided as zeros, two blocks a step, and blocks of one or two candidates are
// decided in the loop.
#pragma once

#include "kernel/common.h"

namespace {

// The filter for long patterns: position x passes when the pattern bytes at offsets
// o[From..To-1] (chosen rare) all sit at x + o[k]. Needs x + W <= fit_end, so every load ends
// inside the text: x + W - 1 + o[k] <= fit_end - 1 + p - 1 < n.
template <class V, size_t From, size_t To>
inline typename V::mask filter_mask(const unsigned char* t, size_t x, const size_t* o,
                                    const typename V::vec* b) {
  static_assert(From < To && To <= 4, "four filter bytes at most");
  typename V::vec acc = V::cmpeq(V::load(t + x + o[From]), b[From]);
#pragma GCC unroll 4
  for (size_t k = From + 1; k < To; ++k)
    acc = V::and_(acc, V::cmpeq(V::load(t + x + o[k]), b[k]));
  return V::movemask(acc);
}

// The masks of two blocks (std::pair would be instantiated for every file alike).
template <class M> struct mask_pair { M first, second; };

// A quiet-loop step: the first K filter bytes over the two blocks at i and i + W, after asking for
// the text ahead where the loop prefetches (i below until). Same bounds as filter_mask.
template <class V, size_t K, bool Prefetch>
inline mask_pair<typename V::mask> step_masks(const unsigned char* t, size_t i, size_t until,
                                              const size_t* o, const typename V::vec* b) {
  if constexpr (Prefetch)
    prefetch_text(t, i, until);
  return {filter_mask<V, 0, K>(t, i, o, b), filter_mask<V, 0, K>(t, i + V::W, o, b)};
}

// The positions of [x, x + W) that pass the filter bytes a quiet loop's step did not test: K to
// 4 (all of them, where it tested all four).
template <class V, size_t K>
inline typename V::mask confirm(const unsigned char* t, size_t x, const size_t* o,
                                const typename V::vec* b) {
  if constexpr (K < 4)
    return filter_mask<V, K, 4>(t, x, o, b);
  else
    return static_cast<typename V::mask>(~typename V::mask(0));
}

// The candidates among positions [x, x + W): all four filter bytes in place.
template <class V>
inline typename V::mask candidates(const unsigned char* t, size_t x, const size_t* o,
                                   const typename V::vec* b) {
  return filter_mask<V, 0, 4>(t, x, o, b);
}

// What a quiet loop needs to decide candidates itself: the pattern's first W bytes (for a
// pattern shorter than W, the pattern padded to W), its last W bytes where it is longer than W
// (else null), p and n. Candidates it decides are added to `seen`, for the watch. Where it marks
// matches (Mark), it marks up to `hold` of them itself, each at least p past the one before
// (`last`, or none): those that would start no run (see between_runs::run_ended); the matches it
// marks are added to `count` where the map is not written.
struct quiet_verify {
  static constexpr size_t none = ~size_t(0);
  const unsigned char* head;
  const unsigned char* tail;
  size_t p, n;
  size_t seen = 0, hold = 0, last = none, count = 0;
};

// Decides the candidates in c, those of block [x, x + W), into `bits` (relative to x) where it
// can: each by comparing W text bytes with the pattern's first W, and where p > W also the last
// W, which decides patterns of up to 2W bytes. A block of more than two goes back to the caller,
// whose runs and dead stretches decide dense candidates in fewer compares; so do a longer
// pattern's candidates these compares do not reject, matches beyond what v.hold allows, and a
// candidate of a pattern shorter than W whose W text bytes would run past the text. Returns
// whether it decided them all; v changes only then. Reads text[y, y + W) for y = x + b, and for
// y = x + b + p - W where p > W; both end at or before n, as x + b + p <= n for a candidate.
template <class V, bool Mark>
inline bool decide_block(const unsigned char* t, size_t x, typename V::mask c, quiet_verify& v,
                         std::uint64_t& bits) {
  if (__builtin_popcountll(c) > 2)
    return false;
  const std::uint64_t all = low_bits(v.p < V::W ? v.p : V::W);
  auto same = [&](const unsigned char* text, const unsigned char* pat) {
    return (std::uint64_t(V::movemask(V::cmpeq(V::load(text), V::load(pat)))) & all) == all;
  };
  size_t hold = v.hold, last = v.last;
  std::uint64_t found = 0;
  for (std::uint64_t m = c; m; m &= m - 1) {
    const size_t at = x + __builtin_ctzll(m);
    if (v.p < V::W && v.n - at < V::W)
      return false;
    if (same(t + at, v.head) && (!v.tail || same(t + at + v.p - V::W, v.tail))) {
      if (!Mark || v.p > 2 * V::W || !hold || (last != v.none && at - last < v.p))
        return false;
      --hold;
      last = at;
      found |= std::uint64_t(1) << (at - x);
    }
  }
  v.seen += __builtin_popcountll(c);
  v.hold = hold;
  v.last = last;
  bits = found;
  return true;
}

// The no-candidate fast path: marks whole blocks of W positions that hold no candidate as
// zeros, two blocks per step, and stops at the first block whose candidates it cannot decide
// (see decide_block) or when fewer than W positions are left before fit_end; returns that
// block's start. Each step tests the first K filter bytes; the others only where those pass,
// inside the loop. K is as few as the text allows (see plan::loop_bytes): with three bytes the
// loop, not memory, sets the pace whenever memory runs fast. Where three bytes pass often (small
// alphabets), K = 4 leaves the loop only for candidates. Candidates are rejected here rather than
// by leaving the loop for each, and matches that would start no run are marked
// here (docs/design.md, measurements: "Quiet loop" and "Marking in the quiet loop").
// Steps whose first K bytes pass but whose block holds no candidate are added to `misses`, for
// the watch. On plain pointers and out of line, so that the loop keeps everything in registers.
template <class V, sink S, size_t K, bool Prefetch, bool Mark>
__attribute__((noinline)) size_t skip_quiet_blocks(const unsigned char* t, out_of<S> out,
                                                   const unsigned char* pat, const size_t* off,
                                                   size_t i, size_t fit_end, size_t& misses,
                                                   quiet_verify& verify) {
  static_assert(K >= 1 && K <= 4, "the loop tests one to four bytes; the rest confirm");
  const size_t until = prefetch_until(fit_end);
  const size_t o[4] = {off[0], off[1], off[2], off[3]};
  const typename V::vec b[4] = {V::set1(pat[o[0]]), V::set1(pat[o[1]]), V::set1(pat[o[2]]),
                                V::set1(pat[o[3]])};
  for (; fit_end - i >= 2 * V::W; i += 2 * V::W) {
    const auto [m0, m1] = step_masks<V, K, Prefetch>(t, i, until, o, b);
    if (m0 | m1) {
      const auto c0 = m0 & confirm<V, K>(t, i, o, b);
      std::uint64_t bits0 = 0, bits1 = 0;
      if (c0 && !decide_block<V, Mark>(t, i, c0, verify, bits0))
        return i;
      const auto c1 = m1 & confirm<V, K>(t, i + V::W, o, b);
      const bool decided1 = !c1 || decide_block<V, Mark>(t, i + V::W, c1, verify, bits1);
      misses += (c0 | c1) == 0;
      if constexpr (Mark) {
        if (bits0)
          emit<V, S>::bits(out, i, bits0, verify.count);
        else
          emit<V, S>::zeros(out, i);
        if (!decided1)
          return i + V::W;
        if (bits1)
          emit<V, S>::bits(out, i + V::W, bits1, verify.count);
        else
          emit<V, S>::zeros(out, i + V::W);
        continue;
      } else if (!decided1) { // no match was marked: both blocks hold none
        emit<V, S>::zeros(out, i);
        return i + V::W;
      }
    }
    emit<V, S>::zeros(out, i);
    emit<V, S>::zeros(out, i + V::W);
  }
  for (; fit_end - i >= V::W; i += V::W) {
    if (candidates<V>(t, i, o, b))
      return i;
    emit<V, S>::zeros(out, i);
  }
  return i;
}

} // namespace
