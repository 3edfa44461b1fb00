// The filter's re-plan watch: what it keeps from block to block of a piece, and planning the
// filter again when a window lets through far more candidates than planned.
#pragma once

#include "filter_bytes.h"
#include "kernel/common.h"
#include "kernel/paying.h"
#include "replans.h"

namespace {

// Carried from block to block of a piece whatever order they are decided in (a fresh map's goes
// backwards through each page): the filter's offsets and the bytes its quiet loop tests, as
// planned or as planned again, how many candidates a window allows, and the current window's
// candidates, vain steps (that passed the loop's bytes in vain) and positions left.
struct filter_watch {
  size_t off[4];
  size_t loop_bytes;
  allowance allowed;
  size_t seen, misses, left;

  // The watch at a piece's start: the plan's filter, a whole window ahead.
  static filter_watch start(const plan& pl) {
    return {{pl.filter_off[0], pl.filter_off[1], pl.filter_off[2], pl.filter_off[3]},
            pl.loop_bytes,
            allowed_candidates(pl.rate, pl.replan_window),
            0,
            0,
            pl.replan_window};
  }

  // How many candidates a window of the filter may see at the given passing rate before it is
  // planned again.
  static allowance allowed_candidates(double rate, size_t window) {
    const double r =
        rate >= 0 && rate * replan_factor > replan_floor ? rate * replan_factor : replan_floor;
    return {static_cast<size_t>(r * static_cast<double>(window))};
  }

  // The filter let through far more than planned: the text has changed character. Chooses the
  // offsets o again on a sample of what comes next: positions [i, i + ahead) of the text (fit
  // positions in all), one window or 4096 positions, whichever is more, in 64 chunks of 64,
  // whose loads end at or before fit - 1 + p - 1 < n; returns false, keeping the old ones, when
  // that is too short to sample. The window's allowance then follows the new rate, so a text
  // that no offsets can filter better is not planned again at every window; the quiet loop tests
  // as many bytes as the new sample asks.
  static bool replan(const unsigned char* pat, size_t p, const unsigned char* t, size_t fit,
                     size_t window, size_t i, size_t o[4], size_t& allowed, size_t& loop_bytes) {
    size_t fresh[4];
    const size_t spacing = window / 64 > 64 ? window / 64 : 64;
    const size_t ahead = 64 * spacing;
    double rate = -1;
    if (seekpat_internal::choose_filter_sampled(pat, p, t + i, fit - i < ahead ? fit - i : ahead,
                                                128, spacing, fresh, &rate, &loop_bytes) < 0)
      return false;
    seekpat_internal::note_replan();
    for (int k = 0; k < 4; ++k) {
      assert(fresh[k] < p);
      o[k] = fresh[k];
    }
    allowed = allowed_candidates(rate, window).most;
    return true;
  }
};

} // namespace
