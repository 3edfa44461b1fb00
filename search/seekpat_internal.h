// Internals of seekpat shared by its dispatcher, its per-ISA kernels, the tests and the
// benchmarks. Nothing here is part of search_bench's contract.
#pragma once

#include <cstddef>
#include <cstdint>

namespace seekpat_internal {

enum class kernel { automatic, sse2, avx2 };

// Knobs that seekpat fixes to measured defaults; tests shrink them so small texts reach every
// chunk boundary, every kernel and the linear fallback.
struct tuning {
  int threads = 0;                  // 0: all hardware threads the text size justifies
  std::size_t min_chunk = 2u << 20; // positions a thread must have before another is started
  std::size_t granule = 64;         // chunk boundaries are multiples of this (1 = anywhere)
  kernel kern = kernel::automatic;
  // Candidate verification may compare verify_budget bytes per position of a chunk, plus
  // verify_allowance, before the rest of the chunk goes to the linear fallback.
  std::size_t verify_budget = 4;
  std::size_t verify_allowance = 4096;
  std::size_t huge_page_min = 4u << 20; // map size from which huge pages are requested
  std::size_t stream_min = 1u << 20;    // map size from which stores bypass the cache
  std::size_t short_max = 64;           // texts shorter than this take the plain scalar loop
};

bool kernel_supported(kernel k);

// Requests 2 MiB pages for the part of buf[0, n) that covers whole huge pages; changes no byte.
void advise_huge_pages(char* buf, std::size_t n);

// seekpat with explicit lengths (the pattern may hold NUL bytes here) and explicit knobs.
void search(const char* pattern, std::size_t p, const char* text, std::size_t n, char* out,
            const tuning& tune);

// Everything a kernel needs to fill out[start, end) of one call. Read-only once built, so the
// threads of one call share it.
struct plan {
  const unsigned char* pattern;
  std::size_t p;
  const unsigned char* text;
  std::size_t n;
  unsigned char* out;
  std::size_t fit;          // positions where the pattern fits: n - p + 1 (p <= n here)
  std::size_t filter_off[3]; // offsets of three rare pattern bytes, for p > exact_max
  std::size_t verify_budget, verify_allowance;
  bool stream; // non-temporal map stores
};

// Patterns up to this length are matched exactly by comparing every byte in vector lanes;
// longer ones go through a rare-byte filter and candidate verification.
constexpr std::size_t exact_max = 8;

// Fill out[start, end) for positions start <= i < end. Each reads text only below
// min(end - 1 + p, n) and writes only out[start, end).
void search_chunk_sse2(const plan& pl, std::size_t start, std::size_t end);
void search_chunk_avx2(const plan& pl, std::size_t start, std::size_t end);

// Offsets of three pattern bytes that are rare in typical text, pairwise non-adjacent where the
// pattern is long enough; needs p >= 3. Looks at every offset when p <= max(256, fit), else at
// that many offsets spread evenly over the pattern: its cost never exceeds a small multiple of
// what a sequential search over the fit positions would spend.
void choose_filter(const unsigned char* pattern, std::size_t p, std::size_t fit,
                   std::size_t off[3]);

} // namespace seekpat_internal
