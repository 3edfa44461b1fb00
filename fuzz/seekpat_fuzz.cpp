// libFuzzer target: seekpat_internal::search against the definition of the match map, on
// fuzzer-chosen texts, patterns, kernels, thread counts, verification budgets and paths.
//
// Input: byte 0 picks the knobs, bytes 1 and 2 the pattern length (little-endian, so patterns of
// hundreds and thousands of bytes reach the sampled filter offsets and long periods), then the
// pattern, then the text. The text is copied to a buffer of its exact size, so ASan catches any
// over-read. fuzz/corpus holds seeds: periodic texts, late misses, runs, long patterns.
#include "seekpat_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace seekpat_internal;
  if (size < 3)
    return 0;
  const std::uint8_t knobs = data[0];
  std::size_t p = data[1] | static_cast<std::size_t>(data[2]) << 8;
  data += 3;
  size -= 3;
  if (p > size)
    p = size;
  const std::vector<char> pattern(data, data + p);
  const std::vector<char> text(data + p, data + size);
  const std::size_t n = text.size();

  tuning t;
  t.threads = 1 + (knobs & 3); // a few threads: enough for every kind of share boundary
  t.min_chunk = 1;
  t.granule = 1;
  t.kern = (knobs & 4) && kernel_supported(kernel::avx2) ? kernel::avx2 : kernel::sse2;
  t.stream_min = (knobs & 8) ? 0 : ~std::size_t(0);
  if ((knobs & 9) == 9) { // streaming on 2 or 4 threads: a fresh map's order of blocks
    t.fresh = 1;
    t.fresh_page = 320;
    t.fresh_block = 64;
    t.fresh_max_p = ~std::size_t(0);
  }
  if (knobs & 16)
    t.verify_budget = t.verify_allowance = 0;
  t.short_max = (knobs & 32) ? 64 : 0;
  if (knobs & 64) { // filters fitted to a sample even of tiny texts, and watched
    t.sample_min = t.sample_spacing = 64;
    t.replan_window = 256;
  }
  if (knobs & 128) // small texts on one thread through the general path rather than small_text
    t.small_max = 0;

  std::vector<char> out(n, '\x55');
  search(pattern.data(), p, text.data(), n, out.data(), t);
  for (std::size_t i = 0; i < n; ++i) {
    const bool match = p == 0 || (i + p <= n && std::memcmp(&text[i], pattern.data(), p) == 0);
    if (out[i] != static_cast<char>(match))
      std::abort();
  }
  return 0;
}
