// The search kernel, written once over a vector type V and compiled once per instruction set
// (seekpat_sse2.cpp, seekpat_avx2.cpp). Everything here has internal linkage, so the copies built
// with different target flags can never be merged by the linker: the kernel instantiates no
// template over a type of another namespace (its own min and max, deleters and mask pair), and
// calls only out-of-line functions of the engine (the filter-byte chooser, the re-plan counter).
// scripts/check_isa_symbols.sh checks that on every instruction set's object, unoptimised.
//
// V provides: vec, W (lanes, bytes per vector), mask (a W-bit integer), load (unaligned),
// set1, cmpeq, and_, sub, movemask, zero, one, sum_bytes (the sum of a vector's bytes), expand
// (W bits to W bytes of 0/1), put (aligned store of W map bytes, non-temporal or not), storeu
// (unaligned store), fence (orders non-temporal stores).
//
// The kernel either writes the map (sink::store, sink::stream), only counts the matches
// (sink::count), or records their positions (sink::find, the map pointer then pointing at a
// position_sink); all take every decision alike and differ only in what a decided block becomes.
#pragma once

#include "kernel/dense_periodic.h"
#include "kernel/exact_lanes.h"
#include "kernel/filter.h"
#include "kernel/rare_lanes.h"
#include "kernel/small_texts.h"
#include "kernels.h"

namespace {

using seekpat_internal::piece_output;

// The router: decides one piece by the route the plan names, stretch by stretch where the map
// is fresh. Each route lives in a file of its own under kernel/ as a class over piece_base (see
// kernel/piece.h for what it gives the router); the router decides the piece's head up to the
// first vector-aligned map byte and its tail, block by block through the route's block_bits, and
// the rest through the route's loop.
template <class V, sink S, class Route> class piece_searcher {
public:
  piece_searcher(const plan& pl, const unsigned char* text, out_of<S> out)
      : pl_(pl), t_(text), out_(out), route_(pl, text, out) {}

  // Decides positions [start, end); returns how many match when counting. Positions at or past
  // pl.fit cannot hold a match.
  size_t run(size_t start, size_t end) {
    const size_t page = pl_.back_page, stretch = pl_.back_stretch;
    if (!stretch) {
      decide(start, end);
      return count_ + route_.count();
    }
    // A fresh map: the stretches of each page, last to first, each decided in order. What a
    // stretch learnt of the text (a run, a dead stretch, the last match) says nothing of the one
    // before it, so each starts from a clean state; only the tables carry over.
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(out_);
    for (size_t lo = start; lo < end;) {
      const size_t page_end = min_of(end, lo + (page - (base + lo) % page));
      for (size_t hi = page_end; hi > lo;) {
        const size_t in_stretch = (base + hi - 1) % stretch; // hi - 1 lies in the stretch
        const size_t b = in_stretch < hi - 1 - lo ? hi - 1 - in_stretch : lo;
        route_.forget_text();
        decide(b, hi);
        hi = b;
      }
      lo = page_end;
    }
    return count_ + route_.count();
  }

private:
  // Decides positions [start, end) in order.
  void decide(size_t start, size_t end) {
    const size_t p = pl_.p;
    assert(start <= end && end <= pl_.n && pl_.fit + p - 1 == pl_.n);
    const size_t fit_end = end < pl_.fit ? end : pl_.fit;
    size_t i = start;
    if (i < fit_end) {
      // A head up to the first position whose map byte is vector-aligned, so that every
      // vector store below is an aligned one.
      // Counting and finding store nothing, and have no map.
      size_t misalign = 0;
      if constexpr (S != sink::count && S != sink::find)
        misalign = reinterpret_cast<std::uintptr_t>(out_ + i) % V::W;
      const size_t head = misalign ? V::W - misalign : 0;
      const size_t head_end = fit_end - i > head ? i + head : fit_end;
      edge(i, head_end);
      i = route_.loop(head_end, fit_end);
      edge(i, fit_end);
      i = fit_end;
    }
    if (i < end)
      emit<V, S>::zero_range(out_, i, end);
  }

  // The head and the tail, and whatever the main loops leave: positions [from, to), to <= fit,
  // decided W at a time by blocks placed where they fit, the route's block_bits(min(from,
  // fit - W)), which may cover positions before `from` (their bits are dropped: nothing is
  // written or counted twice). One position at a time only when the text holds no whole block.
  // Each block verifies at most W candidates, so the edges of a piece cost O(W p) at worst.
  void edge(size_t from, size_t to) {
    assert(from <= to && to <= pl_.fit);
    const unsigned char* pat = pl_.pattern;
    const size_t p = pl_.p;
    if (pl_.fit < V::W) {
      if constexpr (S == sink::count) {
        count_ += seekpat_internal::count_positions(t_, pat, p, from, to);
      } else if constexpr (S == sink::find) {
        for (size_t x = from; x < to; ++x)
          if (seekpat_internal::count_positions(t_, pat, p, x, x + 1))
            record(*out_, x);
      } else {
        seekpat_internal::define_positions(t_, pat, p, out_, from, to);
      }
      return;
    }
    while (from < to) {
      const size_t b = from < pl_.fit - V::W ? from : pl_.fit - V::W;
      const size_t hi = to - b < V::W ? to : b + V::W;
      size_t work = 0; // bounded by W candidates
      assert(b + V::W <= pl_.fit);
      const std::uint64_t bits = route_.block_bits(b, work) >> (from - b) & low_bits(hi - from);
      if constexpr (S == sink::count) {
        count_ += static_cast<size_t>(__builtin_popcountll(bits));
      } else if constexpr (S == sink::find) {
        emit<V, S>::bits(out_, from, bits, count_);
      } else {
        alignas(64) unsigned char bytes[V::W];
        V::template put<false>(bytes, V::expand(static_cast<typename V::mask>(bits)));
        std::memcpy(out_ + from, bytes, hi - from);
      }
      from = hi;
    }
  }

  const plan& pl_;
  const unsigned char* t_;
  out_of<S> out_;
  size_t count_ = 0; // the matches the edges decided, when counting
  Route route_;
};

// One piece of the plan's route, into sink S.
template <class V, sink S>
size_t route_piece(const plan& pl, const unsigned char* text, out_of<S> out, size_t start,
                   size_t end) {
  switch (pl.route) {
  case route_kind::exact_lanes:
    return piece_searcher<V, S, exact_lanes_route<V, S>>(pl, text, out).run(start, end);
  case route_kind::rare_lanes:
    return piece_searcher<V, S, rare_lanes_route<V, S>>(pl, text, out).run(start, end);
  case route_kind::dense_periodic:
    return piece_searcher<V, S, dense_periodic_route<V, S>>(pl, text, out).run(start, end);
  case route_kind::filter: break;
  }
  return piece_searcher<V, S, filter_search<V, S>>(pl, text, out).run(start, end);
}

template <class V>
size_t search_piece(const plan& pl, const unsigned char* text, piece_output out, size_t start,
                    size_t end) noexcept {
  switch (pl.mode) {
  case sink::stream: {
    route_piece<V, sink::stream>(pl, text, out.map, start, end);
    V::fence();
    return 0;
  }
  case sink::count: return route_piece<V, sink::count>(pl, text, nullptr, start, end);
  case sink::find: route_piece<V, sink::find>(pl, text, out.list, start, end); return 0;
  default: route_piece<V, sink::store>(pl, text, out.map, start, end); return 0;
  }
}

} // namespace
