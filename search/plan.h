// What a kernel is given: the plan of one text (its route and everything the route needs), the
// sink its decisions go to, and the bounds that shape the routes. The kernels see the engine
// through this header, the filter-byte chooser and the re-plan counter alone.
#pragma once

#include "pattern_tables.h"

#include <cstddef>

namespace seekpat_internal {

// What a kernel does with the map bytes it decides: stores them, streams them past the cache,
// counts the ones, or records their positions (the map pointer then points at a position_sink).
enum class sink { store, stream, count, find };

// Where a find records positions, in increasing order: room at [at, end), and more() to make
// more; once more() fails (out of memory), failed holds and every later position is dropped.
struct position_sink {
  std::size_t* at = nullptr;
  std::size_t* end = nullptr;
  bool failed = false;
  bool (*more)(position_sink&) noexcept = nullptr;
};

// How a plan decides the positions of its text (see plan_search for when each is taken):
enum class route_kind {
  exact_lanes,    // every pattern byte compared in lanes at every block (p <= exact_max)
  rare_lanes,     // the filter's loop, then every pattern byte in lanes in the blocks it passes
                  // (p <= rare_lanes_max, rare in the sample)
  dense_periodic, // the pattern's first `period` bytes in lanes and a mask of where the text
                  // breaks that period, at every block, however many match
  filter,         // the filter's loop, candidates verified, runs and dead stretches
};

// How to search one text of n bytes for one pattern: everything a kernel needs besides the text
// and the map (or the position list), which each call gives it. Read-only once built, so the
// threads of one call share it.
struct plan {
  const unsigned char* pattern;
  std::size_t p;
  std::size_t n;
  std::size_t fit; // positions where the pattern fits: n - p + 1 (p <= n here)
  // Outside exact lanes, offsets of four rare pattern bytes: the first loop_bytes (1 to 4) filter
  // every block, the others confirm the blocks they pass (and the edges' blocks, off exact lanes).
  std::size_t filter_off[4];
  std::size_t loop_bytes;
  bool prefetch; // the quiet loops prefetch the text (n >= tuning::prefetch_min)
  route_kind route;
  // Rare lanes of a pattern short enough for exact lanes: the share of a window's steps that may
  // pass the loop's bytes before exact lanes take the rest of the piece; 0: no limit.
  double max_passes;
  std::size_t period;      // dense periodic: the pattern's period; else 0
  std::size_t text_period; // dense periodic: a longer period the text seems to have, or 0
  std::size_t verify_budget, verify_allowance;
  sink mode;
  const pattern_tables* tables; // prepared tables, or null to build them lazily
  double rate; // the sampled fraction of positions the filter passes, all four bytes, or -1
  std::size_t replan_window; // as in tuning
  // Nonzero: each piece is decided in stretches of back_stretch positions, aligned by map address,
  // those of each back_page last to first (a fresh map; see tuning::fresh_stretch).
  std::size_t back_page, back_stretch;
};

// Patterns up to this length are matched exactly by comparing every byte in vector lanes (unless
// the sample shows them rare: rare_lanes); longer ones go through a rare-byte filter and candidate
// verification.
constexpr std::size_t exact_max = 8;
// Patterns up to this length that the sample shows rare compare every byte in lanes, but only in
// blocks their rare filter bytes pass (rare_lanes).
constexpr std::size_t rare_lanes_max = 16;

// The dense periodic route's patterns: a smallest period q of at most periodic_max_q, and p - q
// at most periodic_max_span (see the planner's rule for when it is taken).
constexpr std::size_t periodic_max_q = 8, periodic_max_span = 96;

// Texts made of lines of one unit repeat as a whole with a period longer than their unit's; the
// dense periodic path then copies its map a period at a time (see periodic_route). Periods up to
// text_period_max, so that a period and a block of the map fit a run tile.
constexpr std::size_t text_period_max = 2048;

} // namespace seekpat_internal
