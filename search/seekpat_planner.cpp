// The planner: every rule that decides how a text is searched, from the pattern, the text and
// the knobs alone. The route (exact lanes, rare lanes, dense periodic, filter) with what it needs,
// the filter's bytes (through filter_bytes.h), the text's own period. plan_search is the one
// place a whole text is planned; make_plan gives the defaults.
#include "filter_bytes.h"
#include "planner.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace seekpat_internal {

std::size_t small_period(const unsigned char* pattern, std::size_t p) {
  for (std::size_t q = 1; q <= periodic_max_q && q < p; ++q)
    if (std::memcmp(pattern, pattern + q, p - q) == 0)
      return p - q <= periodic_max_span ? q : 0;
  return 0;
}

double sampled_breaks(const unsigned char* text, std::size_t fit, std::size_t spacing,
                      std::size_t q) {
  const sample_layout at = lay_out_sample(fit, spacing, 64 + q);
  const std::size_t chunks = at.chunks, gap = at.gap;
  assert(chunks >= 2);
  std::size_t breaks = 0;
  for (std::size_t k = 0; k < chunks; ++k) {
    // Bytes [start + q, start + q + 64) against those q before: below fit + 63 <= n.
    const std::size_t start = gap * k;
    for (std::size_t j = start + q; j < start + q + 64; ++j)
      breaks += text[j] != text[j - q];
  }
  return static_cast<double>(breaks) / static_cast<double>(64 * chunks);
}

std::size_t text_period(const unsigned char* text, std::size_t n, std::size_t q) {
  assert(q < n);
  const std::size_t end = std::min(n, n / 2 + 2 * text_period_max);
  std::size_t j = std::max(n / 2, q); // j >= q: text[j - q] exists
  // From the end of a stretch of breaks: started inside one, r would fall short by where.
  while (j < end && text[j] != text[j - q])
    ++j;
  while (j < end && text[j] == text[j - q])
    ++j;
  const std::size_t first = j;
  // r is the distance to the start of a later stretch of breaks: the next one, or, where one
  // period holds several (a line end splits the unit's breaks in two), one of the next few.
  for (int tries = 0; tries < 4; ++tries) {
    while (j < end && text[j] != text[j - q])
      ++j;
    while (j < end && text[j] == text[j - q])
      ++j;
    const std::size_t r = j - first;
    // Confirmed over two periods and a bit from the first break: a text that only looked
    // periodic there costs the kernel one failed attempt now and then.
    const std::size_t check_end = first + 2 * r + 64;
    if (j == end || r > text_period_max || r > first || check_end > n)
      return 0;
    std::size_t k = first;
    while (k < check_end && text[k] == text[k - r])
      ++k;
    if (k == check_end)
      return r;
  }
  return 0;
}

plan make_plan(const unsigned char* pattern, std::size_t p, std::size_t n, sink mode,
               const std::size_t* filter_off, const pattern_tables* tables, const tuning& tune) {
  assert(p >= 1 && p <= n);
  plan pl;
  pl.pattern = pattern;
  pl.p = p;
  pl.n = n;
  pl.fit = n - p + 1;
  if (filter_off) {
    std::copy(filter_off, filter_off + 4, pl.filter_off);
  } else {
    pl.filter_off[0] = 0;
    pl.filter_off[1] = p / 2;
    pl.filter_off[2] = p - 1;
    pl.filter_off[3] = p / 4;
  }
  pl.loop_bytes = 3;
  pl.prefetch = n >= tune.prefetch_min;
  pl.route = p <= exact_max ? route_kind::exact_lanes : route_kind::filter;
  pl.max_passes = 0;
  pl.period = 0;
  pl.text_period = 0;
  pl.verify_budget = tune.verify_budget;
  pl.verify_allowance = tune.verify_allowance;
  pl.mode = mode;
  pl.tables = tables;
  pl.rate = -1;
  pl.replan_window = tune.replan_window;
  pl.back_page = pl.back_stretch = 0;
  return pl;
}

namespace {

// The route of a text the filter's bytes were fitted to: rate is the sampled fraction of positions
// that pass the first three filter bytes (the paths are chosen on those, as measured; the watch
// counts what all four pass), matched the fraction where the whole pattern matches, or -1 where
// the sample did not try every offset. The first rule that applies names the route; where none
// does, make_plan's stays: exact lanes up to exact_max bytes, else the filter.
void choose_route(plan& pl, const unsigned char* text, double rate, double matched,
                  const tuning& tune) {
  const std::size_t p = pl.p;
  const bool counting = pl.mode == sink::count;
  auto take = [&](route_kind r) { pl.route = r; };
  // Rare lanes for short patterns the filter's bytes let almost nothing through.
  if (p <= rare_lanes_max && rate <= short_filter_max_rate)
    return take(route_kind::rare_lanes);
  // Rare lanes also for patterns too long for exact lanes whose candidates are mostly true
  // matches, which no filter can spare a verification; not where they are so frequent that runs
  // or the dense periodic path decide blocks at one or a few compares each.
  if (p > exact_max && p <= rare_lanes_max && rate < periodic_min_rate &&
      matched >= rate * lanes_min_true_share)
    return take(route_kind::rare_lanes);
  // And, when counting, for patterns short enough for exact lanes in small alphabets (DNA), where
  // the filter's bytes pass too often to count as rare but the pattern matches almost nowhere:
  // exact lanes would compare every byte in most blocks, rare lanes only in the blocks the filter
  // passes. Writing a map, rare lanes lost there on two threads (docs/design.md, measurements:
  // "Rare lanes in small alphabets").
  if (counting && p <= exact_max && rate < periodic_min_rate && matched >= 0 &&
      matched < rate * exact_max_true_share)
    return take(route_kind::rare_lanes);
  // And, when counting, patterns of 5 to exact_max bytes in any alphabet whose filter passes few
  // positions and which match fewer, watched: exact lanes take over where too many steps pass.
  if (counting && p >= 5 && p <= exact_max && rate <= counted_rare_max_rate && matched >= 0 &&
      matched < (p >= 6 ? 1 : 0.5) * counted_rare_max_match) {
    pl.max_passes = rare_max_passes;
    return take(route_kind::rare_lanes);
  }
  static_assert(short_filter_max_rate < periodic_min_rate &&
                    counted_rare_max_rate < periodic_min_rate,
                "no pattern the rules above take is frequent enough for the rules below");
  // Frequent periodic patterns: where the text keeps breaking their period, the dense periodic
  // path; where it rarely does, runs (one compare per block), even for patterns short enough for
  // exact lanes (p compares per block). The dense path compares q bytes a block and one vector
  // more for the breaks, so it also takes short patterns of two whole periods or more. A period
  // of one byte (blanks in code) keeps the exact lanes. A pattern shorter than two periods is
  // periodic only through a short border and goes to the filter (docs/design.md, measurements:
  // "Dense path or runs").
  const std::size_t q = rate >= periodic_min_rate ? small_period(pl.pattern, p) : 0;
  if (!q || pl.fit < 64 + q)
    return;
  const bool breaks_often =
      sampled_breaks(text, pl.fit, tune.sample_spacing, q) >= periodic_min_breaks;
  if (breaks_often && p >= 2 * q && (p > exact_max || q >= 2)) {
    pl.period = q;
    pl.text_period = text_period(text, pl.n, q);
    return take(route_kind::dense_periodic);
  }
  if (!breaks_often && p <= exact_max)
    return take(route_kind::filter);
}

} // namespace

plan plan_search(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                 const pattern_tables* tables, const unsigned char* text, std::size_t n, sink mode,
                 bool fresh_map, const tuning& tune) {
  plan pl = make_plan(pattern, p, n, mode, filter_off, tables, tune);
  // Large texts: the filter fitted to a sample of the text, and the route chosen on what it saw.
  double matched = -1;
  const double rate =
      p >= 4 && pl.fit >= tune.sample_min
          ? choose_filter_sampled(pattern, p, text, pl.fit, tune.sample_min, tune.sample_spacing,
                                  pl.filter_off, &pl.rate, &pl.loop_bytes, &matched)
          : -1;
  if (rate >= 0) {
    choose_route(pl, text, rate, matched, tune);
  } else if (!filter_off && p > exact_max && pl.fit >= 4096) {
    // Ranking the pattern's bytes pays only when there are many positions to filter; with few,
    // first, middle and last byte do: under 4096 positions the ranking costs more than the
    // candidates it saves (docs/design.md, measurements: "Ranking the filter's bytes").
    choose_filter(pattern, p, pl.fit, pl.filter_off);
  }
  // A fresh map: each page filled from its end, in stretches (see tuning::fresh_stretch); not
  // for patterns past fresh_max_p, whose stretches' edges would verify too much.
  if (fresh_map && tune.fresh_stretch && tune.fresh_page && p <= tune.fresh_max_p) {
    pl.back_page = tune.fresh_page;
    pl.back_stretch = tune.fresh_stretch;
  }
  return pl;
}

} // namespace seekpat_internal
