// The search kernel, written once over a vector type V and compiled once per instruction set
// (seekpat_sse2.cpp, seekpat_avx2.cpp). Everything here has internal linkage, so the copies built
// with different target flags can never be merged by the linker: the kernel instantiates no
// template over a type of another namespace (its own min and max, deleters and mask pair), and
// calls only out-of-line functions of seekpat_internal.h. scripts/check_isa_symbols.sh checks
// that on every instruction set's object, unoptimised.
//
// V provides: vec, W (lanes, bytes per vector), mask (a W-bit integer), load (unaligned),
// set1, cmpeq, and_, sub, movemask, zero, one, sum_bytes (the sum of a vector's bytes), expand
// (W bits to W bytes of 0/1), put (aligned store of W map bytes, non-temporal or not), storeu
// (unaligned store), fence (orders non-temporal stores).
//
// The kernel either writes the map (sink::store, sink::stream), only counts the matches
// (sink::count), or records their positions (sink::find, with plan::out pointing at a
// position_sink); all share every decision and differ only in what a decided block becomes.
#pragma once

#include "kernel/dense_periodic.h"
#include "kernel/exact_lanes.h"
#include "kernel/quiet_loop.h"
#include "kernel/rare_lanes.h"
#include "kernel/small_texts.h"
#include "kernel/verify.h"

namespace {

// The long-pattern path's state between blocks.
struct filter_state {
  static constexpr size_t none = quiet_verify::none; // last_match goes to and from the quiet loop
  bool run_active = false; // a run of matches decides positions from run_next on
  bool run_broken = false; // the text stopped repeating with period q at verified_end
  size_t run_next = 0;     // next position the run marks
  size_t verified_end = 0; // text[j] == text[j - q] for j in [run's first match + p, verified_end)
  size_t dead_end = 0;     // no match starts between the last periodic miss and this
  // The last match decided, or none: every position after it decided so far is a non-match.
  size_t last_match = none;
  // Runs that ended without a match of their own, in a row, and how many matches from now on
  // start none (see hold_runs).
  size_t run_start = 0, run_fails = 0, run_hold = 0;

  // Holds at the start of every block [i, i + W): the run's next match lies within one period
  // ahead, and the run has decided every position before i (verified_end - p >= i - 1); a dead
  // stretch never reaches past the fit positions.
  bool valid(size_t i, size_t p, size_t q, size_t n, size_t fit_end) const {
    if (dead_end > fit_end)
      return false;
    return !run_active || (q >= 1 && run_next >= i && run_next - i < q &&
                           verified_end + 1 >= i + p && verified_end <= n);
  }
};

template <class V, sink S> class share_searcher {
public:
  explicit share_searcher(const plan& pl)
      : pl_(pl), t_(pl.text), pat_(pl.pattern), p_(pl.p), out_(pl.out), verify_(pl.pattern, pl.p) {
    if (pl.tables) {
      fail_ = pl.tables->fail;
      q_ = pl.tables->q;
      tile_ = pl.tables->tile;
    }
  }

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
        st_ = filter_state{};
        decide(b, hi);
        hi = b;
      }
      lo = page_end;
    }
    return count_;
  }

private:
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
      case route_kind::dense_periodic: i = periodic_loop(i, fit_end); break;
      case route_kind::filter: i = filter_loop(i, fit_end); break;
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

  // The dense periodic path over text[0, n) into out (the map, or a tile with the text shifted).
  template <sink K>
  size_t periodic_dispatch(const unsigned char* t, size_t n, unsigned char* out, size_t i,
                           size_t fit_end, size_t& count) const {
    // A 64-bit break mask where the W - 1 + p - q bits that matter fit in it; else the span is
    // at least W, and the block's core decides (periodic_positions_long).
    return V::W - 1 + p_ - pl_.period <= 64 ? periodic_by_q<K, false>(t, n, out, i, fit_end, count)
                                            : periodic_by_q<K, true>(t, n, out, i, fit_end, count);
  }

  template <sink K, bool Long>
  size_t periodic_by_q(const unsigned char* t, size_t n, unsigned char* out, size_t i,
                       size_t fit_end, size_t& count) const {
    switch (pl_.period) {
    case 1: return periodic_q<K, 1, Long>(t, n, out, i, fit_end, count);
    case 2: return periodic_q<K, 2, Long>(t, n, out, i, fit_end, count);
    case 3: return periodic_q<K, 3, Long>(t, n, out, i, fit_end, count);
    case 4: return periodic_q<K, 4, Long>(t, n, out, i, fit_end, count);
    case 5: return periodic_q<K, 5, Long>(t, n, out, i, fit_end, count);
    case 6: return periodic_q<K, 6, Long>(t, n, out, i, fit_end, count);
    case 7: return periodic_q<K, 7, Long>(t, n, out, i, fit_end, count);
    default: return periodic_q<K, 8, Long>(t, n, out, i, fit_end, count);
    }
  }

  template <sink K, size_t Q, bool Long>
  size_t periodic_q(const unsigned char* t, size_t n, unsigned char* out, size_t i, size_t fit_end,
                    size_t& count) const {
    if constexpr (Long)
      return periodic_positions_long<V, K, Q>(t, n, pat_, p_, out, i, fit_end, count);
    else
      return periodic_positions<V, K, Q>(t, n, pat_, p_, out, i, fit_end, count);
  }

  size_t dense(size_t i, size_t fit_end) {
    return periodic_dispatch<S>(t_, pl_.n, out_, i, fit_end, count_);
  }

  // The dense periodic path, in text that also repeats as a whole with a longer period r (lines
  // of one unit). Wherever text[j] == text[j - r] for j in [y, y + p), window y equals window
  // y - r, and so do their map bytes. So the dense path decides one period and a block from i,
  // into the map and into a tile, and the blocks after them are windows of the tile for as long
  // as the text keeps period r through their last window: one compare per block, as in a run.
  // Where the text breaks r the dense path goes on, for a stretch that doubles after every
  // attempt that copied less than it built (up to 64 times that), so that text that only looked
  // r-periodic costs at most a sixty-fourth more.
  size_t periodic_loop(size_t i, size_t fit_end) {
    const size_t r = pl_.text_period;
    unsigned char* const tile = r ? tile_buffer() : nullptr;
    if (!tile)
      return dense(i, fit_end);
    run_tile_q_ = 0; // the buffer no longer holds a run's tile
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
      if (periodic_dispatch<sink::store>(t_ + i, pl_.n - i, tile, 0, len, none) != len) {
        i = built;
        wait = backoff;
        continue;
      }
      const size_t b = copy_blocks<V, S>(t_, pl_.n, p_, r, tile, out_, i, i + len, fit_end, count_);
      backoff = b - (i + len) >= len ? len : min_of(2 * backoff, 64 * len);
      wait = backoff;
      i = b;
    }
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

  // Calls f(K, Prefetch), both compile-time constants, for the quiet loops' variant that tests
  // loop_bytes filter bytes and prefetches as planned.
  template <class F> size_t quiet_variant(size_t loop_bytes, F&& f) const {
    auto with = [&](auto k) {
      return pl_.prefetch ? f(k, std::true_type{}) : f(k, std::false_type{});
    };
    return loop_bytes == 1   ? with(std::integral_constant<size_t, 1>{})
           : loop_bytes == 2 ? with(std::integral_constant<size_t, 2>{})
           : loop_bytes == 3 ? with(std::integral_constant<size_t, 3>{})
                             : with(std::integral_constant<size_t, 4>{});
  }

  // Whether a watch window's vain steps call for testing three bytes again: more than one in
  // loop_miss_steps costs the loop more than the bytes it saves.
  static bool too_many_misses(size_t misses, size_t window) {
    return misses > window / (2 * V::W * seekpat_internal::loop_miss_steps);
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
      size_t misses = 0;
      const size_t at = quiet_variant(loop_bytes, [&](auto k, auto prefetch) {
        return rare_lanes_positions<V, S, k, prefetch>(t_, pl_.n, pat_, p_, pl_.filter_off, out_, i,
                                                       to, count_, misses);
      });
      if (too_many_misses(misses, window))
        loop_bytes = 3;
      if (to == fit_end)
        return at;
      i = at;
    }
    return i;
  }

  // verify_.mismatch on the plan's text; needs x < fit.
  size_t mismatch(size_t x) const {
    assert(x < pl_.fit);
    return verify_.mismatch(t_, pl_.n, x);
  }

  // Long patterns. A position is a candidate when four rare pattern bytes sit at their offsets;
  // candidates are verified against the whole pattern. After a verified match at x the pattern's
  // smallest period q decides the next ones without verifying again: x + q matches exactly when
  // text[j] == text[j - q] for j in [x + p, x + q + p), and no position between x and x + q can
  // match (it would be a smaller period). So a run of matches costs one compare per text byte.
  // A candidate that fails late in periodic text marks the stretch where the text keeps the
  // period as dead (skip_periodic_misses). Verification is bounded by a work budget; past it the
  // rest of the share goes to Two-Way, which keeps the whole search O(n + p) on any input.
  size_t filter_loop(size_t i, size_t fit_end) {
    size_t o[4] = {pl_.filter_off[0], pl_.filter_off[1], pl_.filter_off[2], pl_.filter_off[3]};
    assert(o[0] < p_ && o[1] < p_ && o[2] < p_ && o[3] < p_ && fit_end <= pl_.fit);
    typename V::vec b[4] = {V::set1(pat_[o[0]]), V::set1(pat_[o[1]]), V::set1(pat_[o[2]]),
                            V::set1(pat_[o[3]])};
    const size_t budget = pl_.verify_budget * (fit_end - i) + pl_.verify_allowance;
    size_t work = 0;
    filter_state& s = st_;
    // The watch: candidates seen in the current window, and how many it allows.
    const size_t window = pl_.replan_window;
    size_t watch_end = i + window, seen = 0, allowed = allowed_candidates(pl_.rate);
    // Filter bytes tested in every step of the quiet loop, and its steps that passed them in
    // vain during this window.
    size_t loop_bytes = pl_.loop_bytes, misses = 0;
    quiet_verify verify{p_ < V::W ? verify_.padded() : pat_, p_ > V::W ? pat_ + p_ - V::W : nullptr,
                        p_, pl_.n};
    // Whether the quiet loop marks held matches itself: from a match held here no more than
    // mark_span past the one before, until a run starts. Marking in the loop costs it registers,
    // so some 1.5 cycles a step (DNA, 16 plain bases, 16 MiB, one thread: 27 GB/s without, 19
    // with), and a match that leaves the loop some 100 to 150 cycles: the loop marks only where
    // matches come at least every 64 steps.
    bool mark = false;
    // i + W <= fit_end = min(end, n - p + 1): filter loads end before n (see filter_mask), and
    // a run extends text only up to i + W - 1 + p <= n.
    while (fit_end - i >= V::W) {
      assert(s.valid(i, p_, rq_, pl_.n, fit_end));
      if (window && i >= watch_end) {
        if (seen > allowed)
          replan(i, fit_end, o, b, allowed, loop_bytes);
        if (too_many_misses(misses, window))
          loop_bytes = 3;
        seen = misses = 0;
        watch_end = i + window;
      }
      std::uint64_t bits = 0, cand = ~0ull;
      if (s.dead_end > i) { // no match starts below dead_end
        i = zero_blocks<V, S>(out_, i, s.dead_end, fit_end);
        if (fit_end - i < V::W)
          break;
      }
      if (s.run_active) { // a run starts at or after dead_end, so the two never overlap
        i = run_blocks(i, fit_end);
        if (fit_end - i < V::W)
          break;
        if (advance_run(i, fit_end, bits, cand)) {
          emit<V, S>::bits(out_, i, bits, count_);
          i += V::W;
          continue;
        }
      } else {
        if (work > budget)
          return two_way(i, fit_end);
        // Matches that would start no run the loop marks itself (see quiet_verify).
        verify.hold = s.run_hold;
        verify.last = s.last_match;
        auto quiet = [&](auto marking) {
          return quiet_variant(loop_bytes, [&](auto k, auto prefetch) {
            return skip_quiet_blocks<V, S, k, prefetch, marking>(t_, out_, pat_, o, i, fit_end,
                                                                 misses, verify);
          });
        };
        i = mark ? quiet(std::true_type{}) : quiet(std::false_type{});
        seen += verify.seen;
        count_ += verify.count;
        s.run_hold = verify.hold;
        s.last_match = verify.last;
        verify.seen = verify.count = 0;
        if (fit_end - i < V::W)
          break;
      }
      // Only now, once i is the block that will be decided (skip_quiet_blocks may have moved
      // it), do the dead positions in it come off the candidates.
      if (s.dead_end > i)
        cand &= ~low_bits(s.dead_end - i); // all of them when dead_end - i >= 64
      cand &= candidates<V>(t_, i, o, b);
      while (cand) {
        const size_t bit = __builtin_ctzll(cand);
        const size_t x = i + bit;
        const size_t mis = mismatch(x);
        work += mis + 8;
        ++seen;
        cand &= cand - 1;
        if (mis != p_) {
          if (mis >= dead_min && have_failure(x, fit_end)) {
            skip_periodic_misses(x, mis, fit_end, work);
            cand &= ~low_bits(s.dead_end - i); // all of them when dead_end - i >= 64
          }
          continue;
        }
        bits |= 1ull << bit;
        const size_t prev = s.last_match;
        s.last_match = x;
        if (!want_runs(x, fit_end))
          continue;
        if (s.run_hold && (prev == s.none || x - prev >= p_)) {
          --s.run_hold;
          mark = prev != s.none && x - prev <= mark_span;
          continue;
        }
        mark = false;
        start_run(x, prev != s.none && x - prev <= seekpat_internal::tile_max ? x - prev : q_);
        if (advance_run(i, fit_end, bits, cand))
          break;
      }
      emit<V, S>::bits(out_, i, bits, count_);
      i += V::W;
    }
    s.run_active = false;
    return i;
  }

  // How many candidates a window of the filter may see at the given passing rate before it is
  // planned again.
  size_t allowed_candidates(double rate) const {
    const double r =
        rate >= 0 && rate * seekpat_internal::replan_factor > seekpat_internal::replan_floor
            ? rate * seekpat_internal::replan_factor
            : seekpat_internal::replan_floor;
    return static_cast<size_t>(r * static_cast<double>(pl_.replan_window));
  }

  // The filter let through far more than planned: the text has changed character. Chooses the
  // offsets again on a sample of what comes next: positions [i, i + ahead) of the share, one
  // window or 4096 positions, whichever is more, in 64 chunks of 64, whose loads end at or
  // before fit_end - 1 + p - 1 < n; keeps the old ones when that is too short to sample. The
  // window's allowance then follows the new rate, so a text that no offsets can filter better is
  // not planned again at every window; the quiet loop tests as many bytes as the new sample asks.
  void replan(size_t i, size_t fit_end, size_t o[4], typename V::vec b[4], size_t& allowed,
              size_t& loop_bytes) {
    size_t fresh[4];
    const size_t spacing = pl_.replan_window / 64 > 64 ? pl_.replan_window / 64 : 64;
    const size_t ahead = 64 * spacing;
    double rate = -1;
    if (seekpat_internal::choose_filter_sampled(pat_, p_, t_ + i,
                                                fit_end - i < ahead ? fit_end - i : ahead, 128,
                                                spacing, fresh, &rate, &loop_bytes) < 0)
      return;
    for (int k = 0; k < 4; ++k) {
      assert(fresh[k] < p_);
      o[k] = fresh[k];
      b[k] = V::set1(pat_[o[k]]);
    }
    allowed = allowed_candidates(rate);
  }

  // Whether the failure function is at hand, building it when enough positions remain for what
  // it enables (runs, skipping periodic misses) to pay for its O(p) cost. Without memory for it
  // those stay off and candidates are verified one by one, under the work budget.
  bool have_failure(size_t x, size_t fit_end) {
    if (!fail_) {
      // Borders are held in 32 bits: longer patterns do without the table.
      if (no_memory_ || p_ >= UINT32_MAX || fit_end - x < 2 * p_)
        return false;
      own_fail_.reset(new (std::nothrow) std::uint32_t[p_ + 1]);
      if (!own_fail_) {
        no_memory_ = true;
        return false;
      }
      seekpat_internal::build_failure(pat_, p_, own_fail_.get());
      fail_ = own_fail_.get();
    }
    return true;
  }

  // Whether to follow matches as runs; needs the pattern's smallest period.
  bool want_runs(size_t x, size_t fit_end) {
    if (q_ == 0) {
      if (!have_failure(x, fit_end))
        return false;
      q_ = p_ - fail_[p_];
    }
    return true;
  }

  // A run from the verified match x with period r, where r is the pattern's smallest period q,
  // or the distance from the previous match when every position between the two is decided a
  // non-match. Either way, while text[j] == text[j - r] for j from x + p on, x + r, x + 2r, ...
  // match and nothing between them does. For q this is the pattern's own periodicity. For the
  // distance d from the previous match x - d: a window y in (x, x + d) equals the window y - d,
  // a non-match, because text[y - d, x + p - d) is text[y, x + p) (both lie in the overlap of
  // two copies of the pattern) and the text repeats with period d beyond x + p. When d < p both
  // matches overlap, so d is a period of the pattern, which is what the run's dead rule needs.
  // Text that repeats with a period longer than the pattern's (lines of a repeated unit, records
  // of one shape) thus costs one compare per byte instead of a verification per match.
  void start_run(size_t x, size_t r) {
    assert(r >= q_ && r >= 1);
    filter_state& s = st_;
    s.run_active = true;
    s.run_broken = false;
    s.run_next = x + r;
    s.run_start = x;
    s.verified_end = x + p_;
    if (r != rq_) {
      rq_ = r;
      rstride_ = r < 64 ? strides.of[r] : 1;
    }
  }

  // The tile of the current run's period, or null (runs then mark their matches bit by bit):
  // a prepared pattern's own for its period, else one filled here for the period, which costs
  // one byte per position since the previous match. Without memory for a tile, null.
  const unsigned char* run_tile() {
    if (rq_ > seekpat_internal::tile_max)
      return nullptr;
    if (rq_ == q_ && tile_)
      return tile_;
    if (!tile_buffer())
      return nullptr;
    if (run_tile_q_ != rq_) {
      seekpat_internal::fill_tile(run_tile_.get(), rq_);
      run_tile_q_ = rq_;
    }
    return run_tile_.get();
  }

  // The buffer of the run tile, tile_max + tile_slack bytes on 64, allocated once; null without
  // memory for it.
  unsigned char* tile_buffer() {
    if (!run_tile_ && !tile_failed_) {
      run_tile_.reset(new (
          std::align_val_t(64),
          std::nothrow) unsigned char[seekpat_internal::tile_max + seekpat_internal::tile_slack]);
      tile_failed_ = !run_tile_;
    }
    return run_tile_.get();
  }

  // After candidate x failed at pattern index mis >= 1: text[x, x + mis) equals pattern[0, mis),
  // whose smallest period is r = mis - fail[mis]. Where the text keeps period r on from x + mis
  // up to periodic_end, no window starting in [x, periodic_end - mis) can match: its first
  // mis + 1 bytes would be r-periodic, and pattern[0, mis] is not (text[x + mis] =
  // text[x + mis - r] = pattern[mis - r] differs from pattern[mis]). Marks those positions dead,
  // so periodic text that keeps almost matching costs one compare per byte instead of a
  // verification per candidate.
  void skip_periodic_misses(size_t x, size_t mis, size_t fit_end, size_t& work) {
    const size_t r = mis - fail_[mis];
    bool broken = false;
    // Dead positions stay below fit_end: periodic_end <= fit_end - 1 + mis, which is < n as
    // mis < p.
    const size_t from = x + mis;
    const size_t periodic_end = extend_run<V>(t_, pl_.n, r, from, fit_end - 1 + mis, broken);
    work += (periodic_end - from) / 8;
    if (periodic_end - mis > st_.dead_end)
      st_.dead_end = periodic_end - mis;
    assert(st_.dead_end < fit_end);
  }

  // Where matches are scattered (a word in prose or code) almost every run ends at its first match,
  // and starting one costs more than the match's own verification: measured, "unsafe" in source
  // code at 14 GB/s on one thread with a run per match, 17 without. After k runs in a row that
  // found nothing, the next 2^k - 1 matches that do not overlap the one before start none (k at
  // most 6): a match that overlaps it (the text repeats the pattern's period there, as in lines of
  // a repeated unit where a run across the line's end failed) still starts a run, where it will
  // likely find more. Before, a match up to W past the one before also started one: "    assign" in
  // a hardware description, on lines some 20 bytes apart, started a run at every match, and ran at
  // 1.8 GB/s against 7.6 now, its held matches marked in the quiet loop (one thread, 4 MiB). Longer
  // patterns alike: a run that fails costs more (some 130 cycles) than verifying even 500 bytes,
  // which is all that a held match costs. Measured on one thread, 4 MiB of a server log whose
  // records repeat every few kB with other numbers, 40- to 80-byte pieces of a record 15-17 ->
  // 25-28 GB/s; a sweep over the corpora with 32- to 500-byte pieces lost nowhere beyond the noise.
  void hold_runs(bool found) {
    filter_state& s = st_;
    if (found) {
      s.run_fails = 0;
      return;
    }
    if (s.run_fails < 6)
      ++s.run_fails;
    s.run_hold = (size_t(1) << s.run_fails) - 1;
  }

  // While a run decides whole blocks, writes them in a tight loop (state in locals, which stay
  // in registers); returns the first block the run does not decide whole, undecided.
  __attribute__((noinline)) size_t run_blocks(size_t i, size_t fit_end) {
    const unsigned char* const t = t_;
    unsigned char* const out = out_;
    const size_t p = p_, q = rq_, n = pl_.n;
    size_t next = st_.run_next, ver = st_.verified_end;
    bool broken = st_.run_broken;
    size_t count = 0;
    // Filling a tile costs q bytes: it waits until the run has verified q bytes past its first
    // match, so that a run that breaks soon (records of one shape, a field apart) costs only its
    // compares. Measured on one thread, 4 MiB of a server log whose records repeat every few kB
    // with other numbers, 33- to 80-byte pieces of a record 13.1-13.2 -> 14.9-19.8 GB/s.
    const size_t start = st_.run_start + p; // verified_end when the run began
    const unsigned char* const tile =
        (rq_ == q_ && tile_) || ver - start >= q ? run_tile() : nullptr;
    // Whether a tile may still come, once the run has verified enough.
    const bool may_tile = q <= seekpat_internal::tile_max && !tile_failed_;
    if (tile) {
      // The map of a run is periodic: block i is tile_[off, off + W) with off = (i - next) mod q.
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
      const std::uint64_t stride = rstride_;
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
    st_.run_next = next;
    st_.verified_end = ver;
    st_.run_broken = broken;
    count_ += count;
    return i;
  }

  // The run of matches started at a verified match decides positions up to last = verified_end
  // - p. Marks its matches inside the block [i, i + W) in bits and clears the decided positions
  // from cand. Returns true when the whole block is decided; when the run ends inside it, marks
  // what its break rules out as dead.
  bool advance_run(size_t i, size_t fit_end, std::uint64_t& bits, std::uint64_t& cand) {
    filter_state& s = st_;
    // Deciding position i + W - 1 needs text below need = i + W - 1 + p <= n.
    if (!s.run_broken)
      s.verified_end =
          extend_run<V>(t_, pl_.n, rq_, s.verified_end, i + V::W - 1 + p_, s.run_broken);
    const size_t last = s.verified_end - p_; // >= i - 1: the previous block was fully decided
    const size_t hi = last < i + V::W - 1 ? last : i + V::W - 1;
    bits |= stride_bits(rstride_, rq_, i, hi, s.run_next);
    if (last >= i + V::W - 1) {
      cand = 0;
      return true;
    }
    s.run_active = false;
    s.last_match = s.run_next - rq_; // the run's first match at least: run_next > that
    hold_runs(s.last_match != s.run_start);
    // The run broke at j0 = verified_end: text[j0] != text[j0 - q]. A match at x with
    // j0 - p < x <= j0 - q would hold both bytes, a period apart, where the pattern has equal
    // ones: nothing up to j0 - q can match, so those positions are dead rather than candidates.
    size_t decided = last + 1;
    if (s.run_broken && s.verified_end - rq_ + 1 > decided) {
      decided = min_of(s.verified_end - rq_ + 1, fit_end);
      s.dead_end = max_of(s.dead_end, decided);
    }
    cand &= ~low_bits(decided - i);
    return false;
  }

  // Maximal suffix of x[0, m) under the byte order (reversed when `rev`): returns the index
  // before it (-1 when it is all of x) and sets per to its period.
  static std::ptrdiff_t max_suffix(const unsigned char* x, std::ptrdiff_t m, bool rev,
                                   std::ptrdiff_t& per) {
    std::ptrdiff_t ms = -1, j = 0, k = 1;
    per = 1;
    while (j + k < m) { // ms < j, so ms + k < m
      const unsigned char a = x[j + k], b = x[ms + k];
      if (rev ? a > b : a < b) {
        j += k;
        k = 1;
        per = j - ms;
      } else if (a == b) {
        if (k != per) {
          ++k;
        } else {
          j += per;
          k = 1;
        }
      } else {
        ms = j;
        j = ms + 1;
        k = per = 1;
      }
    }
    return ms;
  }

  // The linear fallback: Two-Way (Crochemore-Perrin) over positions [i, fit_end), reading
  // text[i, fit_end - 1 + p). O(fit_end - i + p) time and no memory, so it runs whatever else
  // could not be allocated.
  size_t two_way(size_t i, size_t fit_end) {
    const unsigned char* const x = pat_;
    const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(p_);
    std::ptrdiff_t per1, per2;
    const std::ptrdiff_t ms1 = max_suffix(x, m, false, per1);
    const std::ptrdiff_t ms2 = max_suffix(x, m, true, per2);
    // The critical factorisation: x = x[0, ell] x[ell + 1, m), ell in [-1, m - 1).
    const std::ptrdiff_t ell = ms1 > ms2 ? ms1 : ms2;
    std::ptrdiff_t per = ms1 > ms2 ? per1 : per2;
    size_t w = i; // the map is decided below w
    auto hit = [&](size_t s) {
      emit<V, S>::zero_range(out_, w, s);
      emit<V, S>::one(out_, s, count_);
      w = s + 1;
    };
    // Every compare below reads text[j + k] with j < fit_end and k < m: below fit_end - 1 + p.
    const unsigned char* const y = t_;
    if (ell + 1 + per <= m && std::memcmp(x, x + per, static_cast<size_t>(ell + 1)) == 0) {
      // x has period per: after a match only the last per bytes are new (memory).
      std::ptrdiff_t memory = -1;
      for (size_t j = i; j < fit_end;) {
        std::ptrdiff_t k = (ell > memory ? ell : memory) + 1;
        while (k < m && x[k] == y[j + k])
          ++k;
        if (k >= m) {
          k = ell;
          while (k > memory && x[k] == y[j + k])
            --k;
          if (k <= memory)
            hit(j);
          j += per;
          memory = m - per - 1;
        } else {
          j += k - ell;
          memory = -1;
        }
      }
    } else {
      per = (ell + 1 > m - ell - 1 ? ell + 1 : m - ell - 1) + 1;
      for (size_t j = i; j < fit_end;) {
        std::ptrdiff_t k = ell + 1;
        while (k < m && x[k] == y[j + k])
          ++k;
        if (k >= m) {
          k = ell;
          while (k >= 0 && x[k] == y[j + k])
            --k;
          if (k < 0)
            hit(j);
          j += per;
        } else {
          j += k - ell;
        }
      }
    }
    emit<V, S>::zero_range(out_, w, fit_end);
    return fit_end;
  }

  // Failed verifications shorter than this are not worth looking for a periodic stretch.
  static constexpr size_t dead_min = 16;
  static constexpr size_t mark_span = 4096; // see filter_loop's `mark`

  const plan& pl_;
  const unsigned char* t_;
  const unsigned char* pat_;
  size_t p_;
  unsigned char* out_;
  size_t count_ = 0;
  verifier<V> verify_;

  // The pattern's tables: the plan's when prepared, else built here on first need.
  const std::uint32_t* fail_ = nullptr;
  size_t q_ = 0;                        // smallest period, 0 until needed
  const unsigned char* tile_ = nullptr; // a prepared pattern's tile for q_
  // The current run's period, and bits at its multiples below 64 (bit 0 alone from 64 on).
  size_t rq_ = 0;
  std::uint64_t rstride_ = 0;
  // The tile of runs whose period has no prepared one, filled for run_tile_q_.
  owned<unsigned char, tile_delete> run_tile_;
  size_t run_tile_q_ = 0;
  bool tile_failed_ = false; // an allocation of a tile failed: runs mark bit by bit
  bool no_memory_ = false;   // an allocation failed: do without the tables
  owned<std::uint32_t, table_delete> own_fail_;
  filter_state st_;
};

template <class V> size_t search_share(const plan& pl, size_t start, size_t end) noexcept {
  switch (pl.mode) {
  case sink::stream: {
    share_searcher<V, sink::stream>(pl).run(start, end);
    V::fence();
    return 0;
  }
  case sink::count: return share_searcher<V, sink::count>(pl).run(start, end);
  case sink::find: share_searcher<V, sink::find>(pl).run(start, end); return 0;
  default: share_searcher<V, sink::store>(pl).run(start, end); return 0;
  }
}

} // namespace
