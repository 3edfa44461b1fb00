// libFuzzer target: seekpat_internal::search against the definition of the match map, on
// fuzzer-chosen texts, patterns, kernels, thread counts, verification budgets and paths.
//
// Input: byte 0 picks the knobs, bytes 1 and 2 the pattern length (little-endian, so patterns of
// hundreds and thousands of bytes reach the sampled filter offsets and long periods), then the
// pattern, then the text. The text is copied to a buffer of its exact size, so ASan catches any
// over-read. fuzz/corpus holds seeds: periodic texts, late misses, runs, long patterns.
#include "path_knobs.h"
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

  using namespace path_knobs;
  const kernel k = (knobs & 4) && kernel_supported(kernel::avx2) ? kernel::avx2 : kernel::sse2;
  // A few threads: enough for every kind of share boundary. Streaming on 2 or 4 threads takes a
  // fresh map's order of blocks.
  const tuning t =
      tuning_for(k, 1 + (knobs & 3),
                 ((knobs & 8) ? stream : 0) | ((knobs & 9) == 9 ? fresh_order : 0) |
                     ((knobs & 16) ? fallback : 0) | ((knobs & 32) ? short_path : 0) |
                     ((knobs & 64) ? sampled : 0) | ((knobs & 128) ? general_small : 0));

  std::vector<char> out(n, '\x55');
  search(pattern.data(), p, text.data(), n, out.data(), t);
  for (std::size_t i = 0; i < n; ++i) {
    const bool match = p == 0 || (i + p <= n && std::memcmp(&text[i], pattern.data(), p) == 0);
    if (out[i] != static_cast<char>(match))
      std::abort();
  }
  return 0;
}
