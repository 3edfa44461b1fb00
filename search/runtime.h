// The runtime: the entry points that plan a whole text and run the plan on the chosen kernel and
// threads, for maps, counts and positions.
#pragma once

#include "kernels.h"
#include "plan.h"
#include "tuning.h"

#include <cstddef>
#include <vector>

namespace seekpat_internal {

// Whether this CPU runs the build k (automatic and sse2 always).
bool kernel_supported(kernel k);

// The build the knobs ask for: AVX2 where automatic or asked for and the CPU runs it, else SSE2.
const kernel_entries& kernel_for(const tuning& tune);

// How a call shares an n-byte text among threads: the kernel that decides each piece, the number
// of threads, the granule piece bounds fall on, and the smallest piece a thread takes.
struct sharing {
  std::size_t (*piece)(const plan&, const unsigned char*, piece_output, std::size_t,
                       std::size_t) noexcept;
  std::size_t threads;
  std::size_t granule;
  std::size_t min_piece; // see piece_rule: a sixteenth of min_share, at least a granule
};
// What a call writes, which sets where a second thread starts to pay: a warm map, a map never
// touched (see map_is_fresh), or nothing much (a count, or positions gathered through a buffer
// that stays in cache).
enum class writes { warm_map, fresh_map, little };
sharing choose_sharing(std::size_t n, const tuning& tune, writes w = writes::warm_map);

// Whether the page in the middle of out[0, n) is not yet in memory: a map just allocated, whose
// page faults will cost more than the search. One system call; false when it cannot tell.
bool map_is_fresh(const unsigned char* out, std::size_t n);

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
// a count gets; filter_off and tables as for run_search. Holds the list and the positions of
// each piece of the text in chunks, which it hands over to the list a chunk at a time. Throws
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
