// The rare-lanes route: patterns of up to rare_lanes_max bytes that the sample shows rare.
#pragma once

#include "kernel/exact_lanes.h"
#include "kernel/paying.h"
#include "kernel/quiet_loop.h"
#include "replans.h"

namespace {

// Patterns up to rare_lanes_max bytes that the sample shows rare: each step tests two blocks on
// the first K filter bytes, as the filter's quiet loop does; a block they pass is confirmed on
// the other filter bytes and, if it holds a candidate, decided exactly, all p bytes compared in
// lanes, without leaving the loop. No candidate is verified one by one, as the filter would
// (docs/design.md, measurements: "Rare lanes"). Steps whose K bytes pass but whose
// blocks hold no candidate are added to `misses`, for the watch. Same bounds as filter_mask.
template <class V, sink S, size_t K, bool Prefetch>
__attribute__((noinline)) size_t
rare_lanes_positions(const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                     const size_t* off, out_of<S> out, size_t i, size_t fit_end, size_t& count,
                     size_t& misses, size_t& passes) {
  static_assert(K >= 1 && K <= 4, "the loop tests one to four bytes");
  assert(p >= 1 && p <= seekpat_internal::rare_lanes_max && i <= fit_end && fit_end + p - 1 <= n);
  (void)n;
  const size_t until = prefetch_until(fit_end);
  const size_t o[4] = {off[0], off[1], off[2], off[3]};
  const typename V::vec b[4] = {V::set1(pat[o[0]]), V::set1(pat[o[1]]), V::set1(pat[o[2]]),
                                V::set1(pat[o[3]])};
  typename V::vec pb[seekpat_internal::rare_lanes_max];
  for (size_t k = 0; k < p; ++k)
    pb[k] = V::set1(pat[k]);
  const typename V::vec one = V::one();
  // The exact map of block x: all ones in a byte where the pattern starts.
  auto exact = [&](size_t x) {
    typename V::vec acc = V::cmpeq(V::load(t + x), pb[0]);
    for (size_t k = 1; k < p; ++k)
      acc = V::and_(acc, V::cmpeq(V::load(t + x + k), pb[k]));
    return acc;
  };
  size_t c = 0;
  for (; fit_end - i >= 2 * V::W; i += 2 * V::W) {
    const auto [m0, m1] = step_masks<V, K, Prefetch>(t, i, until, o, b);
    if (m0 | m1) {
      const auto c0 = m0 & confirm<V, K>(t, i, o, b);
      const auto c1 = m1 & confirm<V, K>(t, i + V::W, o, b);
      misses += (c0 | c1) == 0;
      ++passes;
      const typename V::vec e0 = c0 ? exact(i) : V::zero(), e1 = c1 ? exact(i + V::W) : V::zero();
      emit<V, S>::block(out, i, V::and_(e0, one), c);
      emit<V, S>::block(out, i + V::W, V::and_(e1, one), c);
      continue;
    }
    emit<V, S>::zeros(out, i);
    emit<V, S>::zeros(out, i + V::W);
  }
  for (; fit_end - i >= V::W; i += V::W)
    emit<V, S>::block(out, i, V::and_(exact(i), one), c);
  count += c;
  return i;
}

// The route: the loop a watch window at a time. Where fewer loop bytes than three pass in vain too
// often, the loop goes back to three, as the filter's does; a pattern short enough for exact lanes,
// watched (plan::max_passes), hands the rest of the piece to exact lanes where too many steps
// pass its loop's bytes, each a branch mispredicted about as often as taken: exact lanes never
// branch on the text.
template <class V, sink S> class rare_lanes_route : public piece_base<V, S> {
public:
  rare_lanes_route(const plan& pl, const unsigned char* text, out_of<S> out)
      : piece_base<V, S>(pl, text, out) {}

  size_t loop(size_t i, size_t fit_end) {
    const plan& pl = this->pl_;
    size_t loop_bytes = pl.loop_bytes;
    // With the watch off (replan_window 0), the whole piece in one window.
    const size_t window = !pl.replan_window             ? ~size_t(0)
                          : pl.replan_window > 2 * V::W ? pl.replan_window
                                                        : 2 * V::W;
    while (fit_end - i >= V::W) {
      const size_t to = fit_end - i > window ? i + window : fit_end;
      size_t misses = 0, passes = 0;
      const size_t at = this->quiet_variant(loop_bytes, [&](auto k, auto prefetch) {
        return rare_lanes_positions<V, S, k, prefetch>(this->t_, pl.n, this->pat_, this->p_,
                                                       pl.filter_off, this->out_, i, to,
                                                       this->count_, misses, passes);
      });
      if (pl.max_passes > 0 &&
          allowance{static_cast<size_t>(static_cast<double>((at - i) / (2 * V::W)) * pl.max_passes)}
              .exceeded_by(passes)) {
        seekpat_internal::note_replan();
        return exact_lanes_from<V, S>(this->t_, pl.n, this->pat_, this->p_, this->out_, at, fit_end,
                                      this->count_);
      }
      if (vain_steps<V>(window).exceeded_by(misses))
        loop_bytes = 3;
      if (to == fit_end)
        return at;
      i = at;
    }
    return i;
  }
  std::uint64_t block_bits(size_t b, size_t&) const {
    return block_in_lanes<V>(this->t_, this->pat_, this->p_, b);
  }
};

} // namespace
