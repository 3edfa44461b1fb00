// Knobs that send even tiny inputs down each path of the engine, for the differential tests and
// the fuzz target alike: small pieces that end anywhere, and each path chosen by a flag.
#pragma once

#include "seekpat_internal.h"

#include <cstddef>

namespace path_knobs {

enum : unsigned {
  short_path = 1,     // texts under 64 bytes take the definition (else the vector kernels do)
  stream = 2,         // non-temporal stores from the first byte
  fresh_order = 4,    // with stream: a fresh map's order, blocks of pages last to first, some
                      // partial, and the quiet loops' prefetches up to the text's end
  fallback = 8,       // a zero verification budget: the linear fallback at once
  sampled = 16,       // filters fitted to a sample even of tiny texts, and watched
  general_small = 32, // small texts through the general path rather than small_text
  rounds = 64,        // positions recorded by the kernel even on tiny texts, handed on in rounds
                      // of 64
};

inline seekpat_internal::tuning tuning_for(seekpat_internal::kernel k, int threads,
                                           unsigned paths) {
  seekpat_internal::tuning t;
  t.kern = k;
  t.threads = threads;
  t.min_share = 1; // every thread count splits even a tiny text
  t.granule = 1;   // at any position
  t.short_max = paths & short_path ? 64 : 0;
  t.stream_min = paths & stream ? 0 : ~std::size_t(0);
  if (paths & fresh_order) {
    t.prefetch_min = 0;
    t.fresh = 1;
    t.fresh_page = 320;
    t.fresh_stretch = 64;
    t.fresh_max_p = ~std::size_t(0);
  }
  if (paths & fallback)
    t.verify_budget = t.verify_allowance = 0;
  if (paths & sampled) {
    t.sample_min = t.sample_spacing = 64;
    t.replan_window = 256;
  }
  if (paths & general_small)
    t.small_max = 0;
  if (paths & rounds) {
    t.find_map_max = 0;
    t.visit_slice = 64;
  }
  return t;
}

} // namespace path_knobs
