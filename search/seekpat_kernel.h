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
// position_sink); all share every decision and differ only in what a decided block becomes.
#pragma once

#include "kernel/dense_periodic.h"
#include "kernel/exact_lanes.h"
#include "kernel/filter.h"
#include "kernel/rare_lanes.h"
#include "kernel/small_texts.h"
#include "kernels.h"
#include "replans.h"

namespace {

// The router: decides one share, block by block where the map is fresh, by the route the plan
// names; each route lives in a file of its own under kernel/.
template <class V, sink S> class share_searcher : private filter_search<V, S> {
public:
  share_searcher(const plan& pl, const unsigned char* text, unsigned char* out)
      : filter_search<V, S>(pl, text, out) {}

  // Decides positions [start, end); returns how many match when counting. Positions at or past
  // pl.fit cannot hold a match.
  size_t run(size_t start, size_t end) {
    const size_t page = pl_.back_page, block = pl_.back_block;
    if (!block)
      return decide(start, end);
    // A fresh map: the blocks of each page, last to first, each decided in order. What a block
    // learnt of the text (a run, a dead stretch, the last match) says nothing of the block
    // before it, so each starts from a clean state; only the tables carry over.
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(out_);
    for (size_t lo = start; lo < end;) {
      const size_t page_end = min_of(end, lo + (page - (base + lo) % page));
      for (size_t hi = page_end; hi > lo;) {
        const size_t in_block = (base + hi - 1) % block; // hi - 1 lies in the block
        const size_t b = in_block < hi - 1 - lo ? hi - 1 - in_block : lo;
        this->forget_text();
        decide(b, hi);
        hi = b;
      }
      lo = page_end;
    }
    return count_;
  }

private:
  using filter_search<V, S>::count_;
  using filter_search<V, S>::mismatch;
  using filter_search<V, S>::out_;
  using filter_search<V, S>::p_;
  using filter_search<V, S>::pat_;
  using filter_search<V, S>::pl_;
  using filter_search<V, S>::quiet_variant;
  using filter_search<V, S>::t_;
  using filter_search<V, S>::tables_;
  using filter_search<V, S>::too_many_misses;

  // Decides positions [start, end) in order.
  size_t decide(size_t start, size_t end) {
    assert(start <= end && end <= pl_.n && pl_.fit + p_ - 1 == pl_.n);
    const size_t fit_end = end < pl_.fit ? end : pl_.fit;
    size_t i = start;
    if (i < fit_end) {
      // A head up to the first position whose map byte is vector-aligned, so that every
      // vector store below is an aligned one.
      // Counting and finding store nothing, and have no map.
      const size_t misalign = S == sink::count || S == sink::find
                                  ? 0
                                  : reinterpret_cast<std::uintptr_t>(out_ + i) % V::W;
      const size_t head = misalign ? V::W - misalign : 0;
      const size_t head_end = fit_end - i > head ? i + head : fit_end;
      edge(i, head_end);
      i = head_end;
      switch (pl_.route) {
      case route_kind::exact_lanes: i = exact_dispatch(i, fit_end); break;
      case route_kind::rare_lanes: i = rare_lanes_loop(i, fit_end); break;
      case route_kind::dense_periodic:
        i = periodic_route<V, S>(t_, pl_.n, pat_, p_, pl_.period, pl_.text_period,
                                 pl_.text_period ? tables_.scratch() : nullptr, out_, i, fit_end,
                                 count_);
        break;
      case route_kind::filter: i = this->filter_loop(i, fit_end); break;
      }
      edge(i, fit_end);
      i = fit_end;
    }
    if (i < end)
      emit<V, S>::zero_range(out_, i, end);
    return count_;
  }

  static constexpr typename V::mask full = static_cast<typename V::mask>(~typename V::mask(0));

  // The head and the tail, and whatever the main loops leave: positions [from, to), to <= fit,
  // decided W at a time by blocks placed where they fit, block_bits(min(from, fit - W)), which
  // may cover positions before `from` (their bits are dropped: nothing is written or counted
  // twice). One position at a time only when the text holds no whole block. Each block verifies
  // at most W candidates, so the edges of a share cost O(W p) at worst.
  void edge(size_t from, size_t to) {
    assert(from <= to && to <= pl_.fit);
    if (pl_.fit < V::W) {
      if constexpr (S == sink::count) {
        count_ += seekpat_internal::count_positions(t_, pat_, p_, from, to);
      } else if constexpr (S == sink::find) {
        for (size_t x = from; x < to; ++x)
          if (seekpat_internal::count_positions(t_, pat_, p_, x, x + 1))
            record(positions(out_), x);
      } else {
        seekpat_internal::define_positions(t_, pat_, p_, out_, from, to);
      }
      return;
    }
    while (from < to) {
      const size_t b = from < pl_.fit - V::W ? from : pl_.fit - V::W;
      const size_t hi = to - b < V::W ? to : b + V::W;
      size_t work = 0; // bounded by W candidates
      const std::uint64_t bits = block_bits(b, work) >> (from - b) & low_bits(hi - from);
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

  // The matches among positions [b, b + W) as bits, b + W <= fit: every load ends inside the
  // text (b + W - 1 + p - 1 < n). Exact lanes for exact plans, else the plan's filter and a
  // verification of each candidate.
  std::uint64_t block_bits(size_t b, size_t& work) const {
    assert(b + V::W <= pl_.fit);
    if (pl_.route == route_kind::exact_lanes) {
      typename V::vec acc = V::cmpeq(V::load(t_ + b), V::set1(pat_[0]));
      for (size_t k = 1; k < p_; ++k)
        acc = V::and_(acc, V::cmpeq(V::load(t_ + b + k), V::set1(pat_[k])));
      return static_cast<std::uint64_t>(V::movemask(acc));
    }
    const size_t* o = pl_.filter_off;
    const typename V::vec v[4] = {V::set1(pat_[o[0]]), V::set1(pat_[o[1]]), V::set1(pat_[o[2]]),
                                  V::set1(pat_[o[3]])};
    std::uint64_t cand = candidates<V>(t_, b, o, v), bits = 0;
    for (; cand; cand &= cand - 1) {
      const size_t bit = __builtin_ctzll(cand);
      const size_t mis = mismatch(b + bit);
      work += mis + 8;
      if (mis == p_)
        bits |= 1ull << bit;
    }
    return bits;
  }

  size_t exact_dispatch(size_t i, size_t fit_end) {
    const size_t n = pl_.n;
    switch (p_) {
    case 1: return exact_positions<V, S, 1>(t_, n, pat_, out_, i, fit_end, count_);
    case 2: return exact_positions<V, S, 2>(t_, n, pat_, out_, i, fit_end, count_);
    case 3: return exact_positions<V, S, 3>(t_, n, pat_, out_, i, fit_end, count_);
    case 4: return exact_positions<V, S, 4>(t_, n, pat_, out_, i, fit_end, count_);
    case 5: return exact_positions<V, S, 5>(t_, n, pat_, out_, i, fit_end, count_);
    case 6: return exact_positions<V, S, 6>(t_, n, pat_, out_, i, fit_end, count_);
    case 7: return exact_positions<V, S, 7>(t_, n, pat_, out_, i, fit_end, count_);
    default: return exact_positions<V, S, 8>(t_, n, pat_, out_, i, fit_end, count_);
    }
  }

  // Rare patterns (plan::rare_lanes), a watch window at a time: the loop goes back to three bytes
  // where fewer pass in vain too often, as in filter_loop.
  size_t rare_lanes_loop(size_t i, size_t fit_end) {
    size_t loop_bytes = pl_.loop_bytes;
    // With the watch off (replan_window 0), the whole share in one window.
    const size_t window = !pl_.replan_window             ? ~size_t(0)
                          : pl_.replan_window > 2 * V::W ? pl_.replan_window
                                                         : 2 * V::W;
    while (fit_end - i >= V::W) {
      const size_t to = fit_end - i > window ? i + window : fit_end;
      size_t misses = 0, passes = 0;
      const size_t at = quiet_variant(loop_bytes, [&](auto k, auto prefetch) {
        return rare_lanes_positions<V, S, k, prefetch>(t_, pl_.n, pat_, p_, pl_.filter_off, out_, i,
                                                       to, count_, misses, passes);
      });
      // A pattern short enough for exact lanes, watched: where too many steps pass the loop's
      // bytes, each a branch mispredicted about as often as taken, exact lanes, which never
      // branch on the text, take the rest of the share.
      if (pl_.max_passes > 0 && static_cast<double>(passes) >
                                    static_cast<double>((at - i) / (2 * V::W)) * pl_.max_passes) {
        seekpat_internal::note_replan();
        return exact_dispatch(at, fit_end);
      }
      if (too_many_misses(misses, window))
        loop_bytes = 3;
      if (to == fit_end)
        return at;
      i = at;
    }
    return i;
  }
};

template <class V>
size_t search_share(const plan& pl, const unsigned char* text, unsigned char* out, size_t start,
                    size_t end) noexcept {
  switch (pl.mode) {
  case sink::stream: {
    share_searcher<V, sink::stream>(pl, text, out).run(start, end);
    V::fence();
    return 0;
  }
  case sink::count: return share_searcher<V, sink::count>(pl, text, out).run(start, end);
  case sink::find: share_searcher<V, sink::find>(pl, text, out).run(start, end); return 0;
  default: share_searcher<V, sink::store>(pl, text, out).run(start, end); return 0;
  }
}

} // namespace
