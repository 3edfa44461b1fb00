// When a share's plan stops paying: the watch's thresholds.
#pragma once

#include <cstddef>

namespace {

// The filter's quiet loop goes back to testing three bytes when more than one of its steps (two
// blocks) in loop_miss_steps passes the fewer bytes it tests without a candidate: a vain pass
// costs a mispredicted branch and the confirming loads, some 20-30 cycles against about 5 for a
// step. Unmeasured beyond that estimate.
constexpr std::size_t loop_miss_steps = 128;

// A window of the filter is re-planned when its candidates exceed replan_factor times the
// planned rate, or replan_floor of its positions where no rate was sampled.
constexpr double replan_factor = 8, replan_floor = 1.0 / 256;

} // namespace
