// Choosing the filter's bytes: a leaf below the planner, which chooses them for a whole text, and
// the kernel's watch, which chooses them again for the rest of a piece.
#pragma once

#include <cstddef>

namespace seekpat_internal {

// Where a sample of a text with `fit` positions lies: `chunks` chunks of 64 positions, one per
// `spacing` positions and 64 at most, the first at 0 and each `gap` after the one before, so that
// the last starts at or before fit - span (span >= 64: how far past its start a chunk reads).
// Fewer than two chunks (or fit < span): too small to sample. Every sample of the engine lies so.
struct sample_layout {
  std::size_t chunks, gap;
};
inline sample_layout lay_out_sample(std::size_t fit, std::size_t spacing, std::size_t span) {
  const std::size_t per = spacing > 0 ? spacing : 1;
  const std::size_t chunks = fit / per < 64 ? fit / per : 64;
  if (chunks < 2 || fit < span)
    return {0, 0};
  return {chunks, (fit - span) / (chunks - 1)};
}

// Offsets of four pattern bytes that are rare in typical text, rarest first, pairwise
// non-adjacent where the pattern is long enough, distinct where it has four bytes (with three,
// the fourth repeats one); needs p >= 3. Looks at every offset when p <= max(256, fit), else at
// that many offsets spread evenly from the first to the last: its cost never exceeds a small
// multiple of what a sequential search over the fit positions would spend. Every offset is below
// p.
void choose_filter(const unsigned char* pattern, std::size_t p, std::size_t fit,
                   std::size_t off[4]);

// Filter offsets chosen on a sample of the text itself: K chunks of 64 positions spread evenly
// over the fit positions, K = min(64, fit / spacing), so the cost stays a small fraction of one
// scan. Offsets (every one, or max(256, fit / 1024) spread evenly from the first to the last) are
// ranked by the sampled frequency of their pattern byte, then picked one by one
// for the fewest sampled positions that pass together with those already picked: that catches
// bytes that always come together, as in periodic text, which frequencies alone cannot. Writes
// four offsets below p, distinct where the pattern has four bytes (with three, the fourth repeats
// the first), and returns the fraction of sampled positions that pass the first three, storing
// the fraction that pass all four in *confirmed when given; returns -1, writing nothing, when the
// text is too small to sample (fit < min_fit or fewer than two chunks). In *loop_bytes, when
// given, how many of the offsets, first first, the filter's quiet loop should test: 1 or 2 when a
// full sample (64 chunks) sees no position pass them, 4 when three pass 1 position in 1024 or
// more and the fourth cuts that by 4 or more (small alphabets), else 3. In *matched, when given,
// the fraction of sampled positions where the whole pattern matches, where every offset was tried
// (p <= 32), else -1. Needs p >= 3 and fit + p - 1 <= the text's length.
double choose_filter_sampled(const unsigned char* pattern, std::size_t p, const unsigned char* text,
                             std::size_t fit, std::size_t min_fit, std::size_t spacing,
                             std::size_t off[4], double* confirmed = nullptr,
                             std::size_t* loop_bytes = nullptr, double* matched = nullptr);

} // namespace seekpat_internal
