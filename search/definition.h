// The definition of the match map, position by position: what the engine falls back to on texts
// too short for anything else, and what its fast paths must agree with.
#pragma once

#include <cstddef>
#include <cstring>

namespace seekpat_internal {

// The helpers below are compiled into the kernels too, with their instruction-set flags: an
// inline function of external linkage emitted there (unoptimised builds emit them) would be a
// shared symbol, and the linker could keep that copy for every caller, on a CPU without those
// instructions. In an unnamed namespace each file has its own copy. (The kernels' own helpers
// live in their unnamed namespace: see kernel/common.h.)
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

} // namespace seekpat_internal
