// What the filter's route knows between runs: stretches of positions where no match can start
// (dead), the last match decided, and how many matches from now on start no run (holds).
#pragma once

#include "kernel/quiet_loop.h"

namespace {

struct between_runs {
  static constexpr size_t none = quiet_verify::none; // last_match goes to and from the quiet loop
  size_t dead_end = 0; // no match starts between the last periodic miss and this
  // The last match decided, or none: every position after it decided so far is a non-match.
  size_t last_match = none;
  // Runs that ended without a match of their own, in a row, and how many matches from now on
  // start none (see run_ended).
  size_t run_fails = 0, run_hold = 0;

  // Holds at the start of every block: a dead stretch never reaches past the fit positions.
  bool valid(size_t fit_end) const { return dead_end <= fit_end; }

  // Where matches are scattered (a word in prose or code) almost every run ends at its first
  // match, and starting one costs more than the match's own verification. After k runs in a row
  // that found nothing, the next 2^k - 1 matches that do not overlap the one before start none (k
  // at most 6): a match that overlaps it (the text repeats the pattern's period there, as in
  // lines of a repeated unit where a run across the line's end failed) still starts a run, where
  // it will likely find more. Longer patterns alike: a run that fails costs more (some 130
  // cycles) than verifying even 500 bytes, which is all that a held match costs
  // (docs/design.md, measurements: "Holding runs").
  void run_ended(bool found) {
    if (found) {
      run_fails = 0;
      return;
    }
    if (run_fails < 6)
      ++run_fails;
    run_hold = (size_t(1) << run_fails) - 1;
  }
};

// After candidate x failed at pattern index mis >= 1: text[x, x + mis) equals pattern[0, mis),
// whose smallest period is r = mis - fail[mis]. Where the text keeps period r on from x + mis
// up to periodic_end, no window starting in [x, periodic_end - mis) can match: its first
// mis + 1 bytes would be r-periodic, and pattern[0, mis] is not (text[x + mis] =
// text[x + mis - r] = pattern[mis - r] differs from pattern[mis]). Marks those positions dead,
// so periodic text that keeps almost matching costs one compare per byte instead of a
// verification per candidate.
template <class V>
void skip_periodic_misses(between_runs& g, const std::uint32_t* fail, const unsigned char* t,
                          size_t n, size_t x, size_t mis, size_t fit_end, size_t& work) {
  const size_t r = mis - fail[mis];
  bool broken = false;
  // Dead positions stay below fit_end: periodic_end <= fit_end - 1 + mis, which is < n as
  // mis < p.
  const size_t from = x + mis;
  const size_t periodic_end = extend_run<V>(t, n, r, from, fit_end - 1 + mis, broken);
  work += (periodic_end - from) / 8;
  if (periodic_end - mis > g.dead_end)
    g.dead_end = periodic_end - mis;
  assert(g.dead_end < fit_end);
}

} // namespace
