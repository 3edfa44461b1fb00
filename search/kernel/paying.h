// Whether a route is still paying for itself: each piece counts what its plan bet on over windows
// of the text, and a window that counts more than its allowance changes the plan for the rest of
// the piece (the filter planned again, fewer quiet-loop bytes given up, rare lanes handed to exact
// lanes).
#pragma once

#include <cstddef>

namespace {

// At most `most` events a window: one more and the route has stopped paying.
struct allowance {
  std::size_t most;
  bool exceeded_by(std::size_t seen) const { return seen > most; }
};

// The filter's quiet loop goes back to testing three bytes when more than one of its steps (two
// blocks) in loop_miss_steps passes the fewer bytes it tests without a candidate: a vain pass
// costs a mispredicted branch and the confirming loads, some 20-30 cycles against about 5 for a
// step. Unmeasured beyond that estimate.
constexpr std::size_t loop_miss_steps = 128;

// The vain steps a quiet loop may take in a window of `window` positions, W a block.
template <class V> allowance vain_steps(std::size_t window) {
  return {window / (2 * V::W * loop_miss_steps)};
}

// A window of the filter is re-planned when its candidates exceed replan_factor times the
// planned rate, or replan_floor of its positions where no rate was sampled.
constexpr double replan_factor = 8, replan_floor = 1.0 / 256;

} // namespace
