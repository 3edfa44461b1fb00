// The planner: how a text is searched, from the pattern, the text and the knobs alone. Every rule
// that picks a route, and the thresholds behind them.
#pragma once

#include "plan.h"
#include "tuning.h"

#include <cstddef>

namespace seekpat_internal {

// A plan for pattern[0, p) over a text of n bytes (p <= n), in the mode given: exact lanes for
// patterns up to exact_max, the filter offsets given (first, middle and last byte when null), the
// tables given, no periodic path, no sampled rate, the knobs' budget and watch, the map filled in
// order. plan_search refines it from a sample.
plan make_plan(const unsigned char* pattern, std::size_t p, std::size_t n, sink mode,
               const std::size_t* filter_off, const pattern_tables* tables, const tuning& tune);

// Patterns up to rare_lanes_max bytes take rare-byte steps (rare_lanes_positions) instead of
// exact lanes or the filter when the sample lets through at most this fraction of positions: then
// a step of one to three compares for two blocks, and p compares for the rare block that holds a
// candidate, cost less than p compares per block, and less than leaving the loop for each
// candidate (docs/design.md, measurements: "Rare lanes' rates").
constexpr double short_filter_max_rate = 1.0 / 1024;
// Patterns of exact_max + 1 to rare_lanes_max bytes take rare lanes however often the filter
// passes where at least this share of what passes its first three bytes is a true match: each
// would cost a verification, and leaving the loop for it, on the filter's path (docs/design.md,
// measurements: "Rare lanes' rates").
constexpr double lanes_min_true_share = 0.5;
// Counting, patterns of up to exact_max bytes whose filter passes less than periodic_min_rate of
// the positions, of which less than this share match, take rare lanes instead of exact lanes
// (docs/design.md, measurements: "Rare lanes in small alphabets").
constexpr double exact_max_true_share = 1.0 / 16;
// Counting, patterns of 6 to exact_max bytes whose filter passes at most counted_rare_max_rate
// of the sampled positions take rare lanes where under counted_rare_max_match of them match (5
// bytes, under half that): exact lanes compare every byte in every block, rare lanes three bytes
// in most steps, and the steps that pass are few. Where a window then finds more than
// rare_max_passes of its steps passing (text of frequent words, whose bytes pass at random),
// exact lanes take the rest of the piece (docs/design.md, measurements: "Rare lanes for
// counting").
constexpr double counted_rare_max_rate = 1.0 / 256, counted_rare_max_match = 1.0 / 512,
                 rare_max_passes = 1.0 / 8;

// Patterns whose smallest period q is at most periodic_max_q, with p - q <= periodic_max_span, go
// through the dense periodic path (q compares and a break mask per block, however many match)
// when the sample lets through at least periodic_min_rate of the positions and the text breaks
// its period q at least at periodic_min_breaks of the sampled bytes: there the filter would hand
// nearly every block to verification and to runs that keep ending. A run that ends costs about
// 100 ns before the next one starts, and the dense path wins from about one break in 13 KB;
// 1/1024 is the rate a full sample (4096 bytes) tells from none with some confidence. Where the
// period breaks more rarely, runs are faster (docs/design.md, measurements: "Dense path or
// runs").
constexpr double periodic_min_rate = 1.0 / 64, periodic_min_breaks = 1.0 / 1024;

// The smallest period of pattern[0, p) if it is at most periodic_max_q and p - period <=
// periodic_max_span, else 0.
std::size_t small_period(const unsigned char* pattern, std::size_t p);

// The fraction of bytes text[j] != text[j - q] over a sample laid out as choose_filter_sampled's
// (lay_out_sample). Needs fit >= 64 + q and fit >= 2 spacing; reads below fit + 63.
double sampled_breaks(const unsigned char* text, std::size_t fit, std::size_t spacing,
                      std::size_t q);
// A period r <= text_period_max of text[0, n) guessed from its middle, where the text breaks the
// period q: the distance from the start of one stretch of bytes that break q to the start of one
// of the next few, kept if the text repeats with it over a few periods from there; 0 when none
// is found. A guess: the kernel checks every byte it relies on. Needs q < n; reads text[0, n).
std::size_t text_period(const unsigned char* text, std::size_t n, std::size_t q);

// The plan for pattern[0, p) over the whole of text[0, n) (1 <= p <= n): make_plan's, refined on a
// sample of the text where it is large enough (the filter's offsets and rate, rare lanes, the
// dense periodic path), and, for a map never touched (fresh_map: the caller asked map_is_fresh),
// the order its blocks are filled in. Every way of searching a text takes its plan from here; the
// plan keeps no pointer to the text.
plan plan_search(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                 const pattern_tables* tables, const unsigned char* text, std::size_t n, sink mode,
                 bool fresh_map, const tuning& tune);

} // namespace seekpat_internal
