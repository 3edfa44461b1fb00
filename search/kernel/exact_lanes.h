// The exact-lanes route: patterns of up to exact_max bytes, every byte compared in lanes.
#pragma once

#include "kernel/piece.h"

namespace {

// Short patterns: every pattern byte is compared in vector lanes at its offset, so the AND of
// the P masks is the exact map of W positions; no candidate is ever verified one by one, which
// keeps frequent patterns (" the ", "e") as fast as absent ones. From 6 bytes on, a block whose
// first 4 bytes match nowhere may skip the rest, which pays in DNA, where any 4 bytes match at 1
// position in 256 (docs/design.md, measurements: "Exact lanes' skip"). Decides
// positions from i, W at a time while i + W <= fit_end, returns where it stopped. A function of
// its own, on plain pointers, so the compiler keeps everything in registers (the map is written
// through an unsigned char pointer, which may alias any member of a class).
template <class V, sink S, size_t P>
__attribute__((noinline)) size_t exact_positions(const unsigned char* t, size_t n,
                                                 const unsigned char* pat, out_of<S> out, size_t i,
                                                 size_t fit_end, size_t& count) {
  static_assert(P >= 1 && P <= seekpat_internal::exact_max, "exact path covers short patterns");
  // fit_end <= n - P + 1: the furthest load, at i + P - 1 with i + W <= fit_end, ends at
  // i + W + P - 2 < n.
  assert(i <= fit_end && fit_end + P - 1 <= n);
  (void)n;
  typename V::vec b[P];
#pragma GCC unroll 8
  for (size_t k = 0; k < P; ++k)
    b[k] = V::set1(pat[k]);
  // Block x's matches: all ones in a byte where the pattern starts. `busy` counts the blocks
  // whose first 4 bytes match somewhere; where `skip` holds, the other blocks skip the rest.
  auto matches = [&](size_t x, auto skip, size_t& busy) {
    typename V::vec acc = V::cmpeq(V::load(t + x), b[0]);
#pragma GCC unroll 8
    for (size_t k = 1; k < (P >= 6 ? 4 : P); ++k)
      acc = V::and_(acc, V::cmpeq(V::load(t + x + k), b[k]));
    if constexpr (P >= 6) {
      const bool any = V::movemask(acc) != 0;
      busy += any;
      if (decltype(skip)::value && !any)
        return acc;
#pragma GCC unroll 8
      for (size_t k = 4; k < P; ++k)
        acc = V::and_(acc, V::cmpeq(V::load(t + x + k), b[k]));
    }
    return acc;
  };
  // The skip pays only where its branch is predictable. Where the first 4 bytes are common
  // (" the" in English, four blanks in code) a good share of the blocks is busy at random, and
  // the mispredictions cost far more than the compares they save (docs/design.md, measurements:
  // "Exact lanes' skip"). So each stretch of 64 blocks skips
  // only where the stretch before found at most one busy block in 8. Decides up to `left`
  // blocks from i (all of them below 6 bytes, where nothing skips) and returns how many.
  bool skip = true;
  auto stretch = [&](size_t left, auto&& each) {
    const size_t blocks = P >= 6 ? min_of<size_t>(left, 64) : left;
    size_t busy = 0;
    if (P >= 6 && skip) {
      for (size_t k = 0; k < blocks; ++k, i += V::W)
        each(matches(i, std::true_type(), busy));
    } else {
      for (size_t k = 0; k < blocks; ++k, i += V::W)
        each(matches(i, std::false_type(), busy));
    }
    skip = busy * 8 <= blocks;
    return blocks;
  };
  if constexpr (S == sink::count) {
    // Each lane counts its matches (a match is -1: subtracting it adds one), up to 255 blocks
    // before the lanes are summed: no mask leaves the vector unit at every block
    // (docs/design.md, measurements: "Counting in lanes").
    size_t c = 0;
    while (fit_end - i >= V::W) {
      const size_t blocks = min_of<size_t>((fit_end - i) / V::W, 255);
      typename V::vec lanes = V::zero();
      for (size_t done = 0; done < blocks;)
        done += stretch(blocks - done, [&](typename V::vec m) { lanes = V::sub(lanes, m); });
      c += V::sum_bytes(lanes);
    }
    count += c;
  } else if constexpr (S == sink::find) {
    while (fit_end - i >= V::W)
      stretch((fit_end - i) / V::W, [&](typename V::vec m) {
        if (const std::uint64_t bits = static_cast<std::uint64_t>(V::movemask(m)))
          emit<V, S>::bits(out, i, bits, count);
      });
  } else {
    const typename V::vec one = V::one();
    while (fit_end - i >= V::W)
      stretch((fit_end - i) / V::W, [&](typename V::vec m) {
        V::template put<S == sink::stream>(out + i, V::and_(m, one));
      });
  }
  return i;
}

// Exact lanes from position i of fit_end, for a pattern of p <= exact_max bytes: each length its
// own loop (the rare-lanes route hands over to it too).
template <class V, sink S>
size_t exact_lanes_from(const unsigned char* t, size_t n, const unsigned char* pat, size_t p,
                        out_of<S> out, size_t i, size_t fit_end, size_t& count) {
  switch (p) {
  case 1: return exact_positions<V, S, 1>(t, n, pat, out, i, fit_end, count);
  case 2: return exact_positions<V, S, 2>(t, n, pat, out, i, fit_end, count);
  case 3: return exact_positions<V, S, 3>(t, n, pat, out, i, fit_end, count);
  case 4: return exact_positions<V, S, 4>(t, n, pat, out, i, fit_end, count);
  case 5: return exact_positions<V, S, 5>(t, n, pat, out, i, fit_end, count);
  case 6: return exact_positions<V, S, 6>(t, n, pat, out, i, fit_end, count);
  case 7: return exact_positions<V, S, 7>(t, n, pat, out, i, fit_end, count);
  default: return exact_positions<V, S, 8>(t, n, pat, out, i, fit_end, count);
  }
}

// The matches among positions [b, b + W) of a p-byte pattern, every byte compared in lanes: p
// loads, which only the routes of short patterns afford, for their edges (exact lanes, rare
// lanes, the dense periodic path). b + W <= fit, so every load ends inside the text.
template <class V>
std::uint64_t block_in_lanes(const unsigned char* t, const unsigned char* pat, size_t p, size_t b) {
  assert(p >= 1);
  typename V::vec acc = V::cmpeq(V::load(t + b), V::set1(pat[0]));
  for (size_t k = 1; k < p; ++k)
    acc = V::and_(acc, V::cmpeq(V::load(t + b + k), V::set1(pat[k])));
  return static_cast<std::uint64_t>(V::movemask(acc));
}

template <class V, sink S> class exact_lanes_route : public piece_base<V, S> {
public:
  exact_lanes_route(const plan& pl, const unsigned char* text, out_of<S> out)
      : piece_base<V, S>(pl, text, out) {}

  size_t loop(size_t i, size_t fit_end) {
    return exact_lanes_from<V, S>(this->t_, this->pl_.n, this->pat_, this->p_, this->out_, i,
                                  fit_end, this->count_);
  }
  std::uint64_t block_bits(size_t b, size_t&) const {
    return block_in_lanes<V>(this->t_, this->pat_, this->p_, b);
  }
};

} // namespace
