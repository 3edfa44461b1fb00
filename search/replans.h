// How often a plan has been changed during a search, for the tests that claim it was.
#pragma once

#include <cstddef>

namespace seekpat_internal {

// Counts a filter planned again by a piece's watch, or rare lanes given up for exact lanes, and
// tells how many so far in this process: tests that claim the watch ran check it. Relaxed: at
// most once per watch window.
void note_replan() noexcept;
std::size_t replans() noexcept;

} // namespace seekpat_internal
