// The knobs the engine fixes to measured defaults, which tests and benchmarks change: threads,
// the least work a thread is given, the kernel's instruction set, budgets and the sizes at which
// each path starts.
#pragma once

#include <cstddef>

namespace seekpat_internal {

enum class kernel { automatic, sse2, avx2 };

// Knobs that seekpat fixes to measured defaults; tests shrink them so small texts reach every
// chunk boundary, every kernel and the linear fallback. Each default says what chose it.
struct tuning {
  int threads = 0;          // exactly this many threads, or 0: as many as the text size justifies
  unsigned max_threads = 0; // with threads = 0, at most this many; 0: the hardware threads
  // Every thread gets at least min_share positions, fresh_min_share where the map has never
  // been touched (its page faults dominate), twice min_share where the call writes little
  // (counting runs twice as fast): where a second thread starts to gain (docs/design.md,
  // measurements: "Threads per size").
  std::size_t min_share = 2u << 20;
  std::size_t fresh_min_share = 1u << 20;
  // Whether the map has never been touched: -1 asks the kernel (map_is_fresh); 0 and 1 say so
  // (tests).
  int fresh = -1;
  // A fresh map is filled in stretches of fresh_stretch bytes, the stretches of each fresh_page of
  // the map (by address) last to first. The kernel zeroes a whole huge page at its first touch;
  // filling it from its end is faster, most likely because the bytes zeroed last are the ones
  // still in cache; stretches too short defeat the hardware prefetchers (docs/design.md,
  // measurements: "Fresh maps from their end"). 0 keeps the order. Patterns longer than fresh_max_p
  // keep it too: each stretch's edges may verify W candidates of up to p bytes (unmeasured bound).
  std::size_t fresh_page = 2u << 20;
  std::size_t fresh_stretch = 256u << 10;
  std::size_t fresh_max_p = 4096;
  // Unmeasured: chunk bounds on cache-line multiples, so no two threads write one line.
  std::size_t granule = 64;
  kernel kern = kernel::automatic;
  // Candidate verification may compare verify_budget bytes per position of a chunk, plus
  // verify_allowance, before the rest of the chunk goes to the linear fallback. Unmeasured.
  std::size_t verify_budget = 4;
  std::size_t verify_allowance = 4096;
  // Measured: non-temporal stores gain 1.3-1.45x on a large warm map; from 1 MiB, half the L2,
  // the map would evict the text anyway (threshold unmeasured).
  std::size_t stream_min = 1u << 20;
  // Measured with the small-text table of seekpat_bench: under 64 bytes the plain definition
  // beats any set-up.
  std::size_t short_max = 64;
  // Texts with at least this many positions choose their filter on a sample of themselves, one
  // 64-position chunk per sample_spacing positions (64 chunks at most): a full sample costs a
  // twentieth of a scan over what it spans (docs/design.md, measurements: "Sampling").
  // sample_min unmeasured.
  std::size_t sample_min = 128u << 10;
  std::size_t sample_spacing = 64u << 10;
  // The filter is watched over windows of this many positions: where candidates come far more
  // often than planned (the text changed character), the rest of the piece is planned again on a
  // sample of itself. Unmeasured; 0 turns the watch off.
  std::size_t replan_window = 1u << 20;
  // Texts of at most this many bytes, searched on one thread, go through small_text: no plan
  // and no set-up, which at 100 bytes would cost more than the search; at 1000 bytes the
  // general path's aligned stores win (docs/design.md, measurements: "Small texts").
  std::size_t small_max = 512;
  // The quiet loops prefetch the text ahead only from this size on: a smaller one stays in the
  // last level cache (32 MiB here; the map, written with non-temporal stores, takes none of it),
  // where the requests and their bound checks only cost (docs/design.md, measurements:
  // "Prefetching").
  std::size_t prefetch_min = 32u << 20;
  // Texts of up to this many bytes list their positions off a map of the whole text, which
  // takes the map's paths for short and small texts; larger ones record positions as the kernel
  // decides them. Unmeasured: a 64 KiB map stays in cache and is read in microseconds.
  std::size_t find_map_max = 64u << 10;
  // Positions handed to a caller's callback in order come in rounds of this many positions per
  // thread; a round's matches are held until it ends. Twice min_share: where a count takes a
  // second thread.
  std::size_t visit_slice = 4u << 20;
};

} // namespace seekpat_internal
