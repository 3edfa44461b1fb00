// The filter's route, for patterns too long for lanes: four rare pattern bytes pick candidates,
// each verified against the whole pattern; runs of matches, dead stretches and a re-plan watch
// keep it fast on every text, and a work budget hands the rest of a piece to Two-Way.
#pragma once

#include "kernel/dead_stretches.h"
#include "kernel/piece.h"
#include "kernel/runs.h"
#include "kernel/two_way.h"
#include "kernel/verify.h"
#include "kernel/watch.h"

namespace {

template <class V, sink S> class filter_search : public piece_base<V, S> {
public:
  filter_search(const plan& pl, const unsigned char* text, out_of<S> out)
      : base(pl, text, out), verify_(pl.pattern, pl.p), tables_(pl.tables, pl.pattern, pl.p),
        watch_(filter_watch::start(pl)) {}

  // Forgets what the text said before (a run, dead stretches, the last match): for a block
  // whose neighbour before it is not decided yet. The tables stay.
  void forget_text() {
    run_ = run_state{};
    gap_ = between_runs{};
  }

  size_t loop(size_t i, size_t fit_end) { return filter_loop(i, fit_end); }

  // The matches among positions [b, b + W) as bits, b + W <= fit: the plan's filter and a
  // verification of each candidate, at most W of them; every load ends inside the text
  // (b + W - 1 + p - 1 < n).
  std::uint64_t block_bits(size_t b, size_t& work) const {
    assert(b + V::W <= pl_.fit);
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

private:
  using base = piece_base<V, S>;
  using base::count_;
  using base::out_;
  using base::p_;
  using base::pat_;
  using base::pl_;
  using base::quiet_variant;
  using base::t_;

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
  // rest of the piece goes to Two-Way, which keeps the whole search O(n + p) on any input.
  size_t filter_loop(size_t i, size_t fit_end) {
    filter_watch& w = watch_;
    size_t o[4] = {w.off[0], w.off[1], w.off[2], w.off[3]};
    assert(o[0] < p_ && o[1] < p_ && o[2] < p_ && o[3] < p_ && fit_end <= pl_.fit);
    typename V::vec b[4] = {V::set1(pat_[o[0]]), V::set1(pat_[o[1]]), V::set1(pat_[o[2]]),
                            V::set1(pat_[o[3]])};
    const size_t budget = pl_.verify_budget * (fit_end - i) + pl_.verify_allowance;
    size_t work = 0;
    between_runs& s = gap_;
    // The watch (see filter_watch), in locals while the loop runs.
    const size_t window = pl_.replan_window;
    size_t watch_end = i + w.left, seen = w.seen;
    size_t allowed = w.allowed.most;
    size_t loop_bytes = w.loop_bytes, misses = w.misses;
    auto keep_watch = [&] {
      w = filter_watch{
          {o[0], o[1], o[2], o[3]},         loop_bytes, allowance{allowed}, seen, misses,
          watch_end > i ? watch_end - i : 0};
    };
    quiet_verify verify{p_ < V::W ? verify_.padded() : pat_, p_ > V::W ? pat_ + p_ - V::W : nullptr,
                        p_, pl_.n};
    // Whether the quiet loop marks held matches itself: from a match held here no more than
    // mark_span past the one before, until a run starts. Marking in the loop costs it registers,
    // some 1.5 cycles a step (docs/design.md, measurements: "Marking in the quiet loop"), and a
    // match that leaves the loop some 100 to 150 cycles: the loop marks only where matches come
    // at least every 64 steps.
    bool mark = false;
    // i + W <= fit_end = min(end, n - p + 1): filter loads end before n (see filter_mask), and
    // a run extends text only up to i + W - 1 + p <= n.
    while (fit_end - i >= V::W) {
      assert(s.valid(fit_end) && run_.valid(i, p_, pl_.n));
      if (window && i >= watch_end) {
        if (allowance{allowed}.exceeded_by(seen) &&
            filter_watch::replan(pat_, p_, t_, pl_.fit, window, i, o, allowed, loop_bytes))
          for (int k = 0; k < 4; ++k)
            b[k] = V::set1(pat_[o[k]]);
        if (vain_steps<V>(window).exceeded_by(misses))
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
      if (run_.active) { // a run starts at or after dead_end, so the two never overlap
        i = run_blocks<V, S>(run_, tables_, t_, pl_.n, p_, out_, i, fit_end, count_);
        if (fit_end - i < V::W)
          break;
        if (advance_run(i, fit_end, bits, cand)) {
          emit<V, S>::bits(out_, i, bits, count_);
          i += V::W;
          continue;
        }
      } else {
        if (work > budget) {
          keep_watch();
          return two_way<V, S>(t_, pat_, p_, out_, i, fit_end, count_);
        }
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
      decide_candidates(i, fit_end, cand, bits, work, seen, mark);
      emit<V, S>::bits(out_, i, bits, count_);
      i += V::W;
    }
    run_.active = false;
    keep_watch();
    return i;
  }

  // Verifies the candidates of block [i, i + W) in turn, marking matches in bits; a verified
  // match may start a run, which then decides the rest of the block, and a late miss may mark a
  // dead stretch. Adds verification work and candidates seen to the watch's counts; `mark` says
  // whether the quiet loop should now mark held matches itself.
  __attribute__((always_inline)) void decide_candidates(size_t i, size_t fit_end,
                                                        std::uint64_t cand, std::uint64_t& bits,
                                                        size_t& work, size_t& seen, bool& mark) {
    between_runs& s = gap_;
    while (cand) {
      const size_t bit = __builtin_ctzll(cand);
      const size_t x = i + bit;
      const size_t mis = mismatch(x);
      work += mis + 8;
      ++seen;
      cand &= cand - 1;
      if (mis != p_) {
        if (mis >= dead_min && tables_.have_failure(fit_end - x)) {
          skip_periodic_misses<V>(s, tables_.failure(), t_, pl_.n, x, mis, fit_end, work);
          cand &= ~low_bits(s.dead_end - i); // all of them when dead_end - i >= 64
        }
        continue;
      }
      bits |= 1ull << bit;
      const size_t prev = s.last_match;
      s.last_match = x;
      const size_t q = tables_.period(fit_end - x);
      if (!q)
        continue;
      if (s.run_hold && (prev == s.none || x - prev >= p_)) {
        --s.run_hold;
        mark = prev != s.none && x - prev <= mark_span;
        continue;
      }
      mark = false;
      start_run(x, prev != s.none && x - prev <= seekpat_internal::tile_max ? x - prev : q);
      if (advance_run(i, fit_end, bits, cand))
        break;
    }
  }

  // A run from the verified match x with period r (see run_state): r is the pattern's smallest
  // period, or the distance from the previous match when every position between is decided.
  void start_run(size_t x, size_t r) {
    assert(r >= tables_.known_period() && r >= 1);
    run_.begin(x, r, p_);
  }

  // The run of matches started at a verified match decides positions up to last = verified_end
  // - p. Marks its matches inside the block [i, i + W) in bits and clears the decided positions
  // from cand. Returns true when the whole block is decided; when the run ends inside it, marks
  // what its break rules out as dead.
  bool advance_run(size_t i, size_t fit_end, std::uint64_t& bits, std::uint64_t& cand) {
    between_runs& s = gap_;
    run_state& r = run_;
    const size_t last = r.extend<V>(t_, pl_.n, p_, i, bits);
    if (last >= i + V::W - 1) {
      cand = 0;
      return true;
    }
    r.active = false;
    s.last_match = r.next - r.q; // the run's first match at least: next > that
    s.run_ended(s.last_match != r.start);
    // The run broke at j0 = verified_end: text[j0] != text[j0 - q]. A match at x with
    // j0 - p < x <= j0 - q would hold both bytes, a period apart, where the pattern has equal
    // ones: nothing up to j0 - q can match, so those positions are dead rather than candidates.
    size_t decided = last + 1;
    if (r.broken && r.verified_end - r.q + 1 > decided) {
      decided = min_of(r.verified_end - r.q + 1, fit_end);
      s.dead_end = max_of(s.dead_end, decided);
    }
    cand &= ~low_bits(decided - i);
    return false;
  }

  // Failed verifications shorter than this are not worth looking for a periodic stretch.
  static constexpr size_t dead_min = 16;
  static constexpr size_t mark_span = 4096; // see filter_loop's `mark`

  verifier<V> verify_;
  lazy_tables tables_;
  run_state run_;
  between_runs gap_;
  filter_watch watch_;
};

} // namespace
