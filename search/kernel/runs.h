// Runs of matches, for the filter's route: after a verified match the text decides the next
// matches by comparing itself a period back, one compare per byte, with no verification.
#pragma once

#include "kernel/tables.h"

namespace {

// A run from a verified match x with period q, where q is the pattern's smallest period, or the
// distance from the previous match when every position between the two is decided a non-match.
// Either way, while text[j] == text[j - q] for j from x + p on, x + q, x + 2q, ... match and
// nothing between them does. For the pattern's period this is its own periodicity. For the
// distance d from the previous match x - d: a window y in (x, x + d) equals the window y - d, a
// non-match, because text[y - d, x + p - d) is text[y, x + p) (both lie in the overlap of two
// copies of the pattern) and the text repeats with period d beyond x + p. When d < p both matches
// overlap, so d is a period of the pattern, which is what the rule for a broken run needs. Text
// that repeats with a period longer than the pattern's (lines of a repeated unit, records of one
// shape) thus costs one compare per byte instead of a verification per match.
struct run_state {
  bool active = false;      // the run decides positions from next on
  bool broken = false;      // the text stopped repeating with period q at verified_end
  size_t next = 0;          // the next position the run marks
  size_t verified_end = 0;  // text[j] == text[j - q] for j in [start + p, verified_end)
  size_t start = 0;         // the run's first match
  size_t q = 0;             // the run's period
  std::uint64_t stride = 0; // bits at the multiples of q below 64 (bit 0 alone from 64 on)

  void begin(size_t x, size_t r, size_t p) {
    active = true;
    broken = false;
    next = x + r;
    start = x;
    verified_end = x + p;
    if (r != q) {
      q = r;
      stride = r < 64 ? strides.of[r] : 1;
    }
  }

  // Holds at the start of every block [i, i + W) while the run is active: its next match lies
  // within one period ahead, and it has decided every position before i (verified_end - p >=
  // i - 1).
  bool valid(size_t i, size_t p, size_t n) const {
    return !active ||
           (q >= 1 && next >= i && next - i < q && verified_end + 1 >= i + p && verified_end <= n);
  }

  // Extends the run over the block [i, i + W) and marks its matches there in bits; returns the
  // last position it decides, verified_end - p (>= i - 1: the previous block was decided).
  // Deciding position i + W - 1 needs text below i + W - 1 + p <= n.
  template <class V>
  size_t extend(const unsigned char* t, size_t n, size_t p, size_t i, std::uint64_t& bits) {
    if (!broken)
      verified_end = extend_run<V>(t, n, q, verified_end, i + V::W - 1 + p, broken);
    const size_t last = verified_end - p;
    const size_t hi = last < i + V::W - 1 ? last : i + V::W - 1;
    bits |= stride_bits(stride, q, i, hi, next);
    return last;
  }
};

// While run r decides whole blocks, writes them in a tight loop (state in locals, which stay in
// registers); returns the first block the run does not decide whole, undecided, and adds the
// matches to count when counting. Positions [i, fit_end), fit_end <= n - p + 1.
template <class V, sink S>
__attribute__((noinline)) size_t
run_blocks(run_state& r, lazy_tables& tables, const unsigned char* t, size_t n, size_t p,
           out_of<S> out, size_t i, size_t fit_end, size_t& count_out) {
  constexpr auto full = static_cast<typename V::mask>(~typename V::mask(0));
  const size_t q = r.q;
  size_t next = r.next, ver = r.verified_end;
  bool broken = r.broken;
  size_t count = 0;
  // Filling a tile costs q bytes: it waits until the run has verified q bytes past its first
  // match, so that a run that breaks soon (records of one shape, a field apart) costs only its
  // compares (docs/design.md, measurements: "Tiles of runs").
  const size_t start = r.start + p; // verified_end when the run began
  const unsigned char* const tile =
      tables.prepared_tile(q) || ver - start >= q ? tables.tile(q) : nullptr;
  // Whether a tile may still come, once the run has verified enough.
  const bool may_tile = tables.may_tile(q);
  if (tile) {
    // The map of a run is periodic: block i is tile[off, off + W) with off = (i - next) mod q.
    // off + W <= q - 1 + W <= q + tile_slack: every window lies inside the tile.
    const size_t step = V::W % q;
    size_t off = next == i ? 0 : q - (next - i);
    // When q divides W every block of the run is the same window; keep it in a register.
    const typename V::vec same = V::load(tile + off);
    const bool fixed = step == 0;
    auto put_window = [&](size_t at) {
      emit<V, S>::block(out, at, fixed ? same : V::load(tile + off), count);
      off += step;
      if (off >= q)
        off -= q;
    };
    for (; fit_end - i >= V::W; i += V::W) {
      if (!broken && ver == i + p - 1) {
        // The steady state: text verified up to the block's first window end. The load
        // addresses depend on i alone, not on the previous compare, so blocks overlap in the
        // pipeline. j - q >= x for the run's first match x; j + W = i + W - 1 + p <= n.
        // Two blocks a step while both hold (one test for both): j + 2W <= n likewise.
        for (; fit_end - i >= 2 * V::W; i += 2 * V::W) {
          const size_t j = i + p - 1;
          const auto both = V::and_(V::cmpeq(V::load(t + j), V::load(t + j - q)),
                                    V::cmpeq(V::load(t + j + V::W), V::load(t + j + V::W - q)));
          if (V::movemask(both) != full)
            break; // the loop below finds where
          put_window(i);
          put_window(i + V::W);
        }
        for (; fit_end - i >= V::W; i += V::W) {
          const size_t j = i + p - 1;
          const auto m = V::movemask(V::cmpeq(V::load(t + j), V::load(t + j - q)));
          if (m != full) {
            ver = j + __builtin_ctzll(~std::uint64_t(m));
            broken = true;
            break;
          }
          put_window(i);
        }
        if (!broken)
          ver = i + p - 1;
        if (fit_end - i < V::W)
          break;
      }
      if (!broken)
        ver = extend_run<V>(t, n, q, ver, i + V::W - 1 + p, broken);
      if (ver - p < i + V::W - 1) // ver >= x + p for the run's first match x
        break;
      put_window(i);
    }
    next = i + (off == 0 ? 0 : q - off);
  } else {
    const std::uint64_t stride = r.stride;
    for (; fit_end - i >= V::W; i += V::W) {
      if (may_tile && ver - start >= q)
        break; // on with a tile: the caller decides this block and calls again
      if (!broken)
        ver = extend_run<V>(t, n, q, ver, i + V::W - 1 + p, broken);
      if (ver - p < i + V::W - 1)
        break;
      const std::uint64_t bits = stride_bits(stride, q, i, i + V::W - 1, next);
      emit<V, S>::bits(out, i, bits, count);
    }
  }
  r.next = next;
  r.verified_end = ver;
  r.broken = broken;
  count_out += count;
  return i;
}

} // namespace
