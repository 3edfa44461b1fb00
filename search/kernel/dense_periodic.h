// The dense periodic route: a pattern of a small period in text that keeps breaking it, and the
// copy of its map by the text's own longer period.
#pragma once

#include "kernel/exact_lanes.h"
#include "kernel/piece.h"
#include "kernel/tables.h"

namespace {

// Dense periodic matches: for a pattern of smallest period Q, x matches exactly when text[x, x +
// Q) equals the pattern's first Q bytes and the text repeats with period Q over [x + Q, x + p)
// (then every byte follows by the period; conversely a match has both). Taken where that
// period breaks often (short lines of a repeated unit), which would end runs every few blocks. The
// first is Q compares in lanes. For the second, bit k of a break mask B is set where text[i + Q +
// k] differs from text[i + k]; a break at k rules out the positions i + d with k - (p - Q) < d <=
// k, all at once by smearing B over windows of p - Q bits. B slides along with the blocks, one new
// vector compared per block, and is smeared at every block: a branch around the smear, taken
// where some position passed the first test and some break mattered, was mispredicted often
// enough to cost more (docs/design.md, measurements: "Dense path without branches"). So a block
// costs the same however many positions match and however often the text's period breaks. B is a
// mask of 64 bits, enough where the W - 1 + p - Q bits that matter fit in it; longer spans (up to
// periodic_max_span) take periodic_positions_long. Decides positions from i while i + W <= fit_end
// and the mask's loads stay inside the text; returns where it stopped.
template <class V, sink S, size_t Q>
__attribute__((noinline)) size_t
periodic_positions(const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                   out_of<S> out, size_t i, size_t fit_end, size_t& count) {
  static_assert(Q >= 1 && Q <= seekpat_internal::periodic_max_q, "small periods only");
  assert(p > Q && p - Q <= seekpat_internal::periodic_max_span && fit_end + p - 1 <= n);
  const size_t span = p - Q;
  // B holds `words` vectors of break bits, enough for the W - 1 + span that matter and at most
  // 64; the newest load of text ends at i + Q + words * W - 1, kept below n by the
  // loop condition.
  const size_t words = (V::W - 1 + span + V::W - 1) / V::W;
  const size_t reach = Q + words * V::W;
  assert(words * V::W <= 64);
  if (fit_end - i < V::W || n - i < reach)
    return i;
  // Blocks start at most at `last`: i + W <= fit_end and i + reach <= n.
  const size_t last = min_of(fit_end - V::W, n - reach);
  // The smear's doubling shifts, 0 for the steps a short span does not need (x | x >> 0 == x):
  // fixed steps, no loop, the same for every block.
  size_t len = 1, shift[5];
  for (size_t k = 0; k < 5; ++k) {
    shift[k] = 2 * len <= span ? len : 0;
    len += shift[k];
  }
  const size_t rest = span - len;
  constexpr std::uint64_t lanes = V::W == 64 ? ~0ull : (1ull << V::W) - 1;
  auto breaks_at = [&](size_t j) { // bits for text[j, j + W) against text[j - Q, ...)
    return ~static_cast<std::uint64_t>(V::movemask(V::cmpeq(V::load(t + j), V::load(t + j - Q)))) &
           lanes;
  };
  std::uint64_t breaks = 0;
  for (size_t w = 0; w < words; ++w)
    breaks |= breaks_at(i + Q + w * V::W) << (w * V::W);
  const size_t top = (words - 1) * V::W;
  typename V::vec b[Q];
#pragma GCC unroll 8
  for (size_t k = 0; k < Q; ++k)
    b[k] = V::set1(pat[k]);
  size_t c = 0;
  for (;;) {
    typename V::vec acc = V::cmpeq(V::load(t + i), b[0]);
#pragma GCC unroll 8
    for (size_t k = 1; k < Q; ++k)
      acc = V::and_(acc, V::cmpeq(V::load(t + i + k), b[k]));
    std::uint64_t hits = static_cast<std::uint64_t>(V::movemask(acc));
    // Bit d of the smear = OR of the break bits d .. d + span - 1, by doubling shifts (a window
    // of len after them) and one more shift by the rest: the positions whose window holds a
    // break. Five steps reach any span below 64.
    std::uint64_t smear = breaks;
    smear |= smear >> shift[0];
    smear |= smear >> shift[1];
    smear |= smear >> shift[2];
    smear |= smear >> shift[3];
    smear |= smear >> shift[4];
    hits &= ~(smear | smear >> rest);
    emit<V, S>::bits(out, i, hits, c);
    i += V::W;
    if (i > last)
      break;
    // Slide B by one block: the new top vector covers text[i + Q + top, + W), whose end
    // i + reach - 1 < n by the check above.
    breaks = (breaks >> V::W) | breaks_at(i + Q + top) << top;
  }
  count += c;
  return i;
}

// The dense periodic path where the span p - Q is at least W (and the W - 1 + span break bits
// that matter would not fit 64): there every window [d, d + span) of a block's positions, d < W,
// holds the block's core [W - 1, span), so a break in the core rules out the whole block; a break
// k below it (k < W - 1) rules out the positions up to k, and one above it (span <= k < span + W
// - 1), those from k - span + 1 on. Below and above take one compare each, the core one per W bytes
// of it, the same number in every block, with no branch on the text. So a block costs about what it
// costs with a 64-bit mask, where a 128-bit one, slid and smeared by variable shifts, cost four
// times that (docs/design.md, measurements: "Long spans"). Breaks are absolute: b is one where
// text[b]
// != text[b - Q]; position x of the block is ruled out by a break in [x + Q, x + p). Decides
// positions from i while i + W <= fit_end; returns where it stopped. Every load ends at or before
// i + W - 2 + p <= fit_end + p - 2 < n.
template <class V, sink S, size_t Q>
__attribute__((noinline)) size_t
periodic_positions_long(const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                        out_of<S> out, size_t i, size_t fit_end, size_t& count) {
  static_assert(Q >= 1 && Q <= seekpat_internal::periodic_max_q, "small periods only");
  assert(p > Q && p - Q >= V::W && p - Q <= seekpat_internal::periodic_max_span &&
         fit_end + p - 1 <= n);
  (void)n;
  constexpr std::uint64_t lanes = V::W == 64 ? ~0ull : (1ull << V::W) - 1;
  auto breaks_at = [&](size_t j) { // bit k: a break at j + k, for k < W
    return ~static_cast<std::uint64_t>(V::movemask(V::cmpeq(V::load(t + j), V::load(t + j - Q)))) &
           lanes;
  };
  typename V::vec b[Q];
#pragma GCC unroll 8
  for (size_t k = 0; k < Q; ++k)
    b[k] = V::set1(pat[k]);
  // The core [i + Q + W - 1, i + p) is `core` bytes long (1 to span - W + 1): `whole` compares of
  // W bytes, then the last `part` bytes from a compare that ends at i + p - 1.
  const size_t core = p - Q - V::W + 1, whole = core / V::W, part = core % V::W;
  size_t c = 0;
  for (; fit_end - i >= V::W; i += V::W) {
    typename V::vec acc = V::cmpeq(V::load(t + i), b[0]);
#pragma GCC unroll 8
    for (size_t k = 1; k < Q; ++k)
      acc = V::and_(acc, V::cmpeq(V::load(t + i + k), b[k]));
    std::uint64_t hits = static_cast<std::uint64_t>(V::movemask(acc));
    const size_t lo = i + Q + V::W - 1, hi = i + p;
    std::uint64_t in_core = 0;
    for (size_t k = 0; k < whole; ++k)
      in_core |= breaks_at(lo + k * V::W);
    if (part)
      in_core |= breaks_at(hi - V::W) >> (V::W - part);
    // Without branches: whether a block is ruled out follows the text's line lengths, which
    // no predictor follows (docs/design.md, measurements: "Dense path without branches").
    hits &= std::uint64_t(0) - (in_core == 0);
    const std::uint64_t below = breaks_at(i + Q) & low_bits(V::W - 1);
    // Bits for [hi, hi + W - 1), loaded from hi - 1: a load from hi would end at fit_end + p - 1,
    // one byte past the text where the block is the last.
    const std::uint64_t above = (breaks_at(hi - 1) >> 1) & low_bits(V::W - 1);
    // Up to the highest break below, and from one past the lowest break above (above ^ (above -
    // 1) keeps the bits up to its lowest set one, all of them when there is none).
    std::uint64_t up_to = below;
    for (size_t shift = 1; shift < V::W; shift *= 2)
      up_to |= up_to >> shift;
    hits &= ~up_to & (above ^ (above - 1));
    emit<V, S>::bits(out, i, hits, c);
  }
  count += c;
  return i;
}

// A map that repeats with the text's period r: given tile[k] = map[i + k] for k in [0, r + W - 1),
// writes block b and those after it as windows of the tile, tile[off, off + W) with off = (b - i)
// mod r, while W positions remain before fit_end and the text keeps period r, text[j] == text[j -
// r], over [i + r, b + W - 1 + p): then each window there equals the one r before it. Returns the
// first block it does not write. b >= i + r.
//
// The text is checked lead = r + p + W bytes ahead of the blocks, a block at a time, so that the
// loads r bytes back stay ahead of the map bytes just stored: where they fell just behind them in
// the address bits below 4096 (a map on the same page offset as its text), each would wait on
// the stores (4K aliasing). Every check ends at or before n. On plain pointers, so that the loop
// keeps everything in registers.
template <class V, sink S>
__attribute__((noinline)) size_t copy_blocks(const unsigned char* t, size_t n, size_t p, size_t r,
                                             const unsigned char* tile, out_of<S> out, size_t i,
                                             size_t b, size_t fit_end, size_t& count) {
  assert(b >= i + r && fit_end + p - 1 <= n);
  constexpr typename V::mask full = static_cast<typename V::mask>(~typename V::mask(0));
  const size_t lead = r + p + V::W, step = V::W % r;
  size_t off = (b - i) % r, c = 0;
  auto put_window = [&](size_t at) {
    emit<V, S>::block(out, at, V::load(tile + off), c);
    off += step;
    if (off >= r)
      off -= r;
  };
  bool broken = false;
  size_t ver = extend_run<V>(t, n, r, i + r, min_of(n, b + lead), broken);
  for (;;) {
    // The steady state: the text checked up to exactly b + lead, which decides block b (its
    // last window ends at b + W - 1 + p <= b + lead); the check of the next W bytes goes on.
    // Two blocks a step while both hold (one test for both).
    for (; fit_end - b >= 2 * V::W && ver == b + lead && n - ver >= 2 * V::W; b += 2 * V::W) {
      const auto both = V::and_(V::cmpeq(V::load(t + ver), V::load(t + ver - r)),
                                V::cmpeq(V::load(t + ver + V::W), V::load(t + ver + V::W - r)));
      if (V::movemask(both) != full)
        break; // the loop below finds where
      ver += 2 * V::W;
      put_window(b);
      put_window(b + V::W);
    }
    for (; fit_end - b >= V::W && ver == b + lead && n - ver >= V::W; b += V::W) {
      const auto m = V::movemask(V::cmpeq(V::load(t + ver), V::load(t + ver - r)));
      broken = m != full;
      ver += broken ? static_cast<size_t>(__builtin_ctzll(~std::uint64_t(m))) : V::W;
      put_window(b);
    }
    if (fit_end - b < V::W)
      break;
    if (!broken)
      ver = extend_run<V>(t, n, r, ver, min_of(n, b + lead + V::W), broken);
    if (ver < b + V::W - 1 + p)
      break;
    put_window(b);
    b += V::W;
  }
  count += c;
  return b;
}

// The dense periodic path over text[0, n) into out (the map, or a tile with the text shifted),
// for a pattern of smallest period q <= 8 (plan::period).
template <class V, sink K, size_t Q, bool Long>
size_t periodic_q(const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                  out_of<K> out, size_t i, size_t fit_end, size_t& count) {
  if constexpr (Long)
    return periodic_positions_long<V, K, Q>(t, n, pat, p, out, i, fit_end, count);
  else
    return periodic_positions<V, K, Q>(t, n, pat, p, out, i, fit_end, count);
}

template <class V, sink K, bool Long>
size_t periodic_by_q(size_t q, const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                     out_of<K> out, size_t i, size_t fit_end, size_t& count) {
  switch (q) {
  case 1: return periodic_q<V, K, 1, Long>(t, n, pat, p, out, i, fit_end, count);
  case 2: return periodic_q<V, K, 2, Long>(t, n, pat, p, out, i, fit_end, count);
  case 3: return periodic_q<V, K, 3, Long>(t, n, pat, p, out, i, fit_end, count);
  case 4: return periodic_q<V, K, 4, Long>(t, n, pat, p, out, i, fit_end, count);
  case 5: return periodic_q<V, K, 5, Long>(t, n, pat, p, out, i, fit_end, count);
  case 6: return periodic_q<V, K, 6, Long>(t, n, pat, p, out, i, fit_end, count);
  case 7: return periodic_q<V, K, 7, Long>(t, n, pat, p, out, i, fit_end, count);
  default: return periodic_q<V, K, 8, Long>(t, n, pat, p, out, i, fit_end, count);
  }
}

template <class V, sink K>
size_t dense_positions(size_t q, const unsigned char* t, size_t n, const unsigned char* pat,
                       size_t p, out_of<K> out, size_t i, size_t fit_end, size_t& count) {
  // A 64-bit break mask where the W - 1 + p - q bits that matter fit in it; else the span is
  // at least W, and the block's core decides (periodic_positions_long).
  return V::W - 1 + p - q <= 64
             ? periodic_by_q<V, K, false>(q, t, n, pat, p, out, i, fit_end, count)
             : periodic_by_q<V, K, true>(q, t, n, pat, p, out, i, fit_end, count);
}

// The dense periodic path, in text that also repeats as a whole with a longer period r (lines
// of one unit). Wherever text[j] == text[j - r] for j in [y, y + p), window y equals window
// y - r, and so do their map bytes. So the dense path decides one period and a block from i,
// into the map and into a tile, and the blocks after them are windows of the tile for as long
// as the text keeps period r through their last window: one compare per block, as in a run.
// Where the text breaks r the dense path goes on, for a stretch that doubles after every
// attempt that copied less than it built (up to 64 times that), so that text that only looked
// r-periodic costs at most a sixty-fourth more.
// Needs the pattern's period q and the text's r (0: none), and a buffer of tile_max +
// tile_slack bytes on 64 (null: none).
template <class V, sink S>
size_t periodic_route(const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                      size_t q, size_t r, unsigned char* tile, out_of<S> out, size_t i,
                      size_t fit_end, size_t& count) {
  auto dense = [&](size_t from, size_t to) {
    return dense_positions<V, S>(q, t, n, pat, p, out, from, to, count);
  };
  if (!r || !tile)
    return dense(i, fit_end);
  // A period and a block in whole blocks: len <= text_period_max + 2W - 2, which a tile holds.
  static_assert(seekpat_internal::text_period_max + 2 * V::W - 2 <=
                    seekpat_internal::tile_max + seekpat_internal::tile_slack,
                "a period and a block fit a tile");
  const size_t len = (r + 2 * V::W - 2) / V::W * V::W;
  size_t wait = 0, backoff = len;
  for (;;) {
    if (wait) { // the dense path, up to wait positions
      const size_t to = fit_end - i > wait ? i + wait : fit_end;
      const size_t at = dense(i, to);
      if (at == i || to == fit_end)
        return at;
      i = at;
      wait = 0;
    }
    if (fit_end - i < len + V::W)
      return dense(i, fit_end);
    const size_t built = dense(i, i + len);
    if (built != i + len)
      return built;
      // The tile: positions [i, i + len) again, as positions [0, len) of the text from i.
#ifndef NDEBUG
    // Bytes past len were never written for this tile: a window reaching them shows in the map.
    static_assert(seekpat_internal::text_period_max + 3 * V::W - 2 <=
                      seekpat_internal::tile_max + seekpat_internal::tile_slack,
                  "the poisoned bytes lie inside the tile");
    std::memset(tile + len, 0xEE, V::W);
#endif
    size_t none = 0;
    if (dense_positions<V, sink::store>(q, t + i, n - i, pat, p, tile, 0, len, none) != len) {
      i = built;
      wait = backoff;
      continue;
    }
    const size_t b = copy_blocks<V, S>(t, n, p, r, tile, out, i, i + len, fit_end, count);
    backoff = b - (i + len) >= len ? len : min_of(2 * backoff, 64 * len);
    wait = backoff;
    i = b;
  }
}

// The route: the dense periodic path, copying the map by the text's own period where the plan
// found one (plan::text_period) and a tile buffer can be had.
template <class V, sink S> class dense_periodic_route : public piece_base<V, S> {
public:
  dense_periodic_route(const plan& pl, const unsigned char* text, out_of<S> out)
      : piece_base<V, S>(pl, text, out), tables_(pl.tables, pl.pattern, pl.p) {}

  size_t loop(size_t i, size_t fit_end) {
    const plan& pl = this->pl_;
    return periodic_route<V, S>(this->t_, pl.n, this->pat_, this->p_, pl.period, pl.text_period,
                                pl.text_period ? tables_.scratch() : nullptr, this->out_, i,
                                fit_end, this->count_);
  }
  // Dense periodic patterns are at most periodic_max_q + periodic_max_span bytes long.
  std::uint64_t block_bits(size_t b, size_t&) const {
    return block_in_lanes<V>(this->t_, this->pat_, this->p_, b);
  }

private:
  lazy_tables tables_; // for its tile buffer alone
};

} // namespace
