// Internals of seekpat shared by its planner, its per-instruction-set kernels, the library API, the
// tests and the benchmarks. Nothing here is installed or part of any public contract.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

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
  // A fresh map is filled in blocks of fresh_block bytes, the blocks of each fresh_page of the
  // map (by address) last to first. The kernel zeroes a whole huge page at its first touch;
  // filling it from its end is faster, most likely because the bytes zeroed last are the ones
  // still in cache; blocks too short defeat the hardware prefetchers (docs/design.md,
  // measurements: "Fresh maps from their end"). 0 keeps the order. Patterns longer than fresh_max_p
  // keep it too: each block's edges may verify W candidates of up to p bytes (unmeasured bound).
  std::size_t fresh_page = 2u << 20;
  std::size_t fresh_block = 256u << 10;
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
  // often than planned (the text changed character), the rest of the share is planned again on a
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

bool kernel_supported(kernel k);

// The helpers below are compiled into the kernels too, with their instruction-set flags: an
// inline function of external linkage emitted there (unoptimised builds emit them) would be a
// shared symbol, and the linker could keep that copy for every caller, on a CPU without those
// instructions. In an unnamed namespace each file has its own copy. (The kernels' own helpers
// live in their unnamed namespace: see seekpat_kernel.h.)
namespace {

// The definition of the map over positions [from, to), all of which must fit the pattern
// (to + p - 1 <= n): one memcmp each, after a first-byte check. Reads text[from, to + p - 1).
inline void define_positions(const unsigned char* text, const unsigned char* pattern, std::size_t p,
                             unsigned char* out, std::size_t from, std::size_t to) {
  for (std::size_t x = from; x < to; ++x)
    out[x] = text[x] == pattern[0] && std::memcmp(text + x, pattern, p) == 0;
}

// The number of positions in [from, to) where the pattern starts, by the same test; same
// preconditions and reads.
inline std::size_t count_positions(const unsigned char* text, const unsigned char* pattern,
                                   std::size_t p, std::size_t from, std::size_t to) {
  std::size_t c = 0;
  for (std::size_t x = from; x < to; ++x)
    c += text[x] == pattern[0] && std::memcmp(text + x, pattern, p) == 0;
  return c;
}

} // namespace

// What the long-pattern path knows of a pattern beyond its bytes. A one-shot search builds these
// lazily inside each chunk, only once they pay; a prepared pattern builds them once, ahead.
struct pattern_tables {
  const std::uint32_t* fail = nullptr; // fail[k]: longest proper border of pattern[0, k), k <= p
  std::size_t q = 0;                   // the pattern's smallest period, p - fail[p]
  const unsigned char* tile =
      nullptr; // for q <= tile_max: q + tile_slack map bytes, 1 at k % q == 0
};
// Periods up to this keep a map tile, so that every block of a run is a window of it.
constexpr std::size_t tile_max = 4096;
// A tile holds q + tile_slack bytes: windows of the widest vector (32 bytes) start below q.
constexpr std::size_t tile_slack = 31;

namespace { // see define_positions

// fail[k] = length of the longest proper border of pattern[0, k), for k = 0..p.
inline void build_failure(const unsigned char* pattern, std::size_t p, std::uint32_t* fail) {
  fail[0] = 0;
  if (p >= 1)
    fail[1] = 0;
  std::size_t k = 0;
  for (std::size_t j = 1; j < p; ++j) {
    while (k > 0 && pattern[j] != pattern[k])
      k = fail[k];
    if (pattern[j] == pattern[k])
      ++k;
    fail[j + 1] = static_cast<std::uint32_t>(k);
  }
}

// tile[k] = 1 where q divides k, for k < q + tile_slack.
inline void fill_tile(unsigned char* tile, std::size_t q) {
  std::memset(tile, 0, q + tile_slack);
  for (std::size_t k = 0; k < q + tile_slack; k += q)
    tile[k] = 1;
}

} // namespace

// Releases a tile, allocated with new (std::align_val_t(64)) unsigned char[]. (Not used by the
// kernels, which have their own: see seekpat_kernel.h.)
struct aligned_delete {
  void operator()(unsigned char* b) const { ::operator delete[](b, std::align_val_t(64)); }
};

// A pattern prepared once for any number of searches: its bytes, its filter offsets (chosen over
// the whole pattern) and its tables. Immutable once made, so threads share it.
struct prepared {
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t p = 0;
  std::size_t filter_off[4] = {0, 0, 0, 0};
  // Optional: without memory for them the search builds what it needs or does without.
  std::unique_ptr<std::uint32_t[]> fail;
  std::unique_ptr<unsigned char[], aligned_delete> tile;
  pattern_tables tables;

  // Copies bytes[0, p) and derives the rest; throws std::bad_alloc when the copy cannot be made.
  prepared(const unsigned char* bytes, std::size_t p);
};

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
  // pass the loop's bytes before exact lanes take the rest of the share; 0: no limit.
  double max_passes;
  std::size_t period;      // dense periodic: the pattern's period; else 0
  std::size_t text_period; // dense periodic: a longer period the text seems to have, or 0
  std::size_t verify_budget, verify_allowance;
  sink mode;
  const pattern_tables* tables; // prepared tables, or null to build them lazily
  double rate; // the sampled fraction of positions the filter passes, all four bytes, or -1
  std::size_t replan_window; // as in tuning
  // Nonzero: each share is decided in blocks of back_block positions, aligned by map address,
  // those of each back_page last to first (a fresh map; see tuning::fresh_block).
  std::size_t back_page, back_block;
};

// A plan for pattern[0, p) over a text of n bytes (p <= n), in the mode given: exact lanes for
// patterns up to exact_max, the filter offsets given (first, middle and last byte when null), the
// tables given, no periodic path, no sampled rate, the knobs' budget and watch, the map filled in
// order. plan_search refines it from a sample.
plan make_plan(const unsigned char* pattern, std::size_t p, std::size_t n, sink mode,
               const std::size_t* filter_off, const pattern_tables* tables, const tuning& tune);

// Patterns up to this length are matched exactly by comparing every byte in vector lanes (unless
// the sample shows them rare: rare_lanes); longer ones go through a rare-byte filter and candidate
// verification.
constexpr std::size_t exact_max = 8;
// Patterns up to this length that the sample shows rare compare every byte in lanes, but only in
// blocks their rare filter bytes pass (rare_lanes).
constexpr std::size_t rare_lanes_max = 16;

// The entry points of one build of the kernel, one per instruction set.
struct kernel_entries {
  // Decide positions start <= i < end of text[0, pl.n): write out[start, end) (store, stream),
  // return how many of them match (count; returns 0 otherwise), or record them (find: out is a
  // position_sink). Each reads only text[0, n) and writes only out[start, end). Never throws: an
  // allocation that fails only turns off what it would have sped up.
  std::size_t (*share)(const plan& pl, const unsigned char* text, unsigned char* out,
                       std::size_t start, std::size_t end) noexcept;
  // A whole small text on the calling thread, with no plan and no set-up: writes the map to
  // out[0, n), or, with count, adds the number of matches to *count and writes nothing. Returns
  // false, the answer unfinished, when the text holds no whole vector block of positions or when
  // verification passes `budget` bytes: the caller then searches the text the general way.
  bool (*small)(const unsigned char* pattern, std::size_t p, const unsigned char* text,
                std::size_t n, unsigned char* out, std::size_t budget, std::size_t* count) noexcept;
};
extern const kernel_entries sse2_kernel, avx2_kernel;

// The build the knobs ask for: AVX2 where automatic or asked for and the CPU runs it, else SSE2.
const kernel_entries& kernel_for(const tuning& tune);

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

// Counts a filter planned again by a share's watch, or rare lanes given up for exact lanes, and
// tells how many so far in this process: tests that claim the watch ran check it. Relaxed: at
// most once per watch window.
void note_replan() noexcept;
std::size_t replans() noexcept;

// The filter's quiet loop goes back to testing three bytes when more than one of its steps (two
// blocks) in loop_miss_steps passes the fewer bytes it tests without a candidate: a vain pass
// costs a mispredicted branch and the confirming loads, some 20-30 cycles against about 5 for a
// step. Unmeasured beyond that estimate.
constexpr std::size_t loop_miss_steps = 128;

// A window of the filter is re-planned when its candidates exceed replan_factor times the
// planned rate, or replan_floor of its positions where no rate was sampled.
constexpr double replan_factor = 8, replan_floor = 1.0 / 256;

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
// exact lanes take the rest of the share (docs/design.md, measurements: "Rare lanes for
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
constexpr std::size_t periodic_max_q = 8, periodic_max_span = 96;
constexpr double periodic_min_rate = 1.0 / 64, periodic_min_breaks = 1.0 / 1024;

// The smallest period of pattern[0, p) if it is at most periodic_max_q and p - period <=
// periodic_max_span, else 0.
std::size_t small_period(const unsigned char* pattern, std::size_t p);

// The fraction of bytes text[j] != text[j - q] over a sample like choose_filter_sampled's.
// Needs fit >= 64 + q; reads below fit + 63.
double sampled_breaks(const unsigned char* text, std::size_t fit, std::size_t spacing,
                      std::size_t q);

// Texts made of lines of one unit repeat as a whole with a period longer than their unit's; the
// dense periodic path then copies its map a period at a time (see periodic_route). Periods up to
// text_period_max, so that a period and a block of the map fit a run tile.
constexpr std::size_t text_period_max = 2048;

// A period r <= text_period_max of text[0, n) guessed from its middle, where the text breaks the
// period q: the distance from the start of one stretch of bytes that break q to the start of one
// of the next few, kept if the text repeats with it over a few periods from there; 0 when none
// is found. A guess: the kernel checks every byte it relies on. Needs q < n; reads text[0, n).
std::size_t text_period(const unsigned char* text, std::size_t n, std::size_t q);

// How a call shares an n-byte text: the kernel that searches each share, the number of threads,
// the granule share bounds fall on, and the smallest piece a thread takes.
struct sharing {
  std::size_t (*share)(const plan&, const unsigned char*, unsigned char*, std::size_t,
                       std::size_t) noexcept;
  std::size_t threads;
  std::size_t granule;
  std::size_t min_piece; // see run_plan: a sixteenth of min_share, at least a granule
};
// What a call writes, which sets where a second thread starts to pay: a warm map, a map never
// touched (see map_is_fresh), or nothing much (a count, or positions gathered through a buffer
// that stays in cache).
enum class writes { warm_map, fresh_map, little };
sharing choose_sharing(std::size_t n, const tuning& tune, writes w = writes::warm_map);

// Whether the page in the middle of out[0, n) is not yet in memory: a map just allocated, whose
// page faults will cost more than the search. One system call; false when it cannot tell.
bool map_is_fresh(const unsigned char* out, std::size_t n);

// The hardware threads, asked once: the query reads a file under /sys, which costs more than a
// small search.
std::size_t hardware_threads();

// Runs run(ctx, s) once for each s in [0, shares), on the calling thread and up to `helpers`
// of the helper threads the library keeps (started on first need, shared with concurrent calls,
// never more than the hardware threads less one); each s goes to whichever comes first, and any
// that no helper takes runs on the calling thread. first(ctx), where given, runs on the calling
// thread once the helpers are woken and before it takes a share of its own, so that the caller's
// other work overlaps the shares. Returns once every s is done. run and first must not throw.
void run_shares(std::size_t shares, std::size_t helpers, void (*run)(void*, std::size_t), void* ctx,
                void (*first)(void*) = nullptr) noexcept;

// Runs fn(t, start, end) for share t of `threads` contiguous shares of [0, n) and returns once
// every share is done. Share t is [bound(t), bound(t + 1)): floor(n t / threads) rounded down to
// the granule, and n for t = threads, so the shares are in order, cover [0, n) and never overlap
// (some may be empty). The shares go to the calling thread and the kept helpers (run_shares).
// fn must not throw.
template <class F>
void for_each_share(std::size_t n, std::size_t threads, std::size_t granule, const F& fn) noexcept {
  // n t / threads without forming n t; n % threads * t < threads^2 cannot overflow.
  auto bound = [&](std::size_t t) {
    return t >= threads ? n : (n / threads * t + n % threads * t / threads) / granule * granule;
  };
  auto share = [&](std::size_t t) {
    const std::size_t start = bound(t), end = bound(t + 1);
    assert(start <= end && end <= n);
    fn(t, start, end);
  };
  if (threads <= 1) {
    share(0);
    return;
  }
  using share_t = decltype(share);
  run_shares(
      threads, std::min(threads, hardware_threads()) - 1,
      [](void* ctx, std::size_t t) { (*static_cast<const share_t*>(ctx))(t); },
      const_cast<void*>(static_cast<const void*>(&share)));
}

// The plan for pattern[0, p) over the whole of text[0, n) (1 <= p <= n): make_plan's, refined on a
// sample of the text where it is large enough (the filter's offsets and rate, rare lanes, the
// dense periodic path), and, for a map never touched (fresh_map: the caller asked map_is_fresh),
// the order its blocks are filled in. Every way of searching a text takes its plan from here; the
// plan keeps no pointer to the text.
plan plan_search(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                 const pattern_tables* tables, const unsigned char* text, std::size_t n, sink mode,
                 bool fresh_map, const tuning& tune);

// Decides every position of text[0, pl.n) into out with the chosen kernel and threads; returns
// the number of matches when counting. Never throws.
std::size_t run_plan(const plan& pl, const unsigned char* text, unsigned char* out,
                     const sharing& d) noexcept;

// One search of pattern[0, p) over text[0, n): writes the map to out[0, n) and returns 0, or, with
// `count`, writes nothing (out may be null) and returns the number of matches. filter_off and
// tables come from a prepared pattern, or are null to be chosen for this call. Never throws.
std::size_t run_search(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                       const pattern_tables* tables, const unsigned char* text, std::size_t n,
                       unsigned char* out, bool count, const tuning& tune) noexcept;

// The start of every occurrence of pattern[0, p) in text[0, n), in increasing order, on the plan
// a count gets; filter_off and tables as for run_search. Holds the list and, per thread, the
// positions of its share in blocks, which it hands over to the list a block at a time. Throws
// std::bad_alloc.
std::vector<std::size_t> find_positions(const unsigned char* pattern, std::size_t p,
                                        const std::size_t* filter_off, const pattern_tables* tables,
                                        const unsigned char* text, std::size_t n,
                                        const tuning& tune);

// The same positions handed to take(ctx, at, k), k >= 1 positions at[0, k) at a time, in
// increasing order, on the calling thread; the search stops where take returns false, and then
// so does this (true otherwise). Holds one round of positions at a time (tuning::visit_slice),
// whatever n. Throws std::bad_alloc, and whatever take throws.
bool visit_positions(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                     const pattern_tables* tables, const unsigned char* text, std::size_t n,
                     const tuning& tune, bool (*take)(void*, const std::size_t*, std::size_t),
                     void* ctx);

// The same positions a piece of the text at a time, for callers whose work per position is
// worth sharing too (seekpat_lib::pattern::for_each_piece, which says what each call may do).
// Pieces of `piece` bytes (at least 2p, a multiple of the granule) go in rounds of four per
// thread, planned once for the whole text: calls.work(ctx, slot, at, k) with the positions of a
// piece, on the thread that found them; calls.done(ctx, slot, end) on the calling thread in the
// pieces' order, while the next round is searched. Throws std::bad_alloc, and whatever work or
// done throws once the round in flight is over.
struct piece_calls {
  void (*slots)(void* ctx, std::size_t count);
  void (*work)(void* ctx, std::size_t slot, const std::size_t* at, std::size_t k);
  bool (*done)(void* ctx, std::size_t slot, std::size_t end);
};
bool visit_pieces(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                  const pattern_tables* tables, const unsigned char* text, std::size_t n,
                  const tuning& tune, std::size_t piece, const piece_calls& calls, void* ctx);

// seekpat with explicit lengths (the pattern may hold NUL bytes here) and explicit knobs.
void search(const char* pattern, std::size_t p, const char* text, std::size_t n, char* out,
            const tuning& tune) noexcept;

} // namespace seekpat_internal
