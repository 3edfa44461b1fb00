// What the engine derives from a pattern alone, beyond its bytes: its failure function, its
// smallest period and a map tile of that period, with the functions that build them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace seekpat_internal {

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

namespace { // compiled into the kernels too: see definition.h

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

} // namespace seekpat_internal
