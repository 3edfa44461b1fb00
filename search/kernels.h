// The entry points of the kernel's builds, one per instruction set (the runtime chooses
// among them).
#pragma once

#include "plan.h"

#include <cstddef>

namespace seekpat_internal {

// Where one piece's decisions go, as its plan's sink says: the map (store, stream), nothing
// (count), or the list of positions (find).
struct piece_output {
  unsigned char* map = nullptr;  // store, stream
  position_sink* list = nullptr; // find
};

// The entry points of one build of the kernel, one per instruction set.
struct kernel_entries {
  // Decide positions start <= i < end of text[0, pl.n): write out.map[start, end) (store,
  // stream), return how many of them match (count; returns 0 otherwise), or record them in
  // out.list (find). Each reads only text[0, n) and writes only those map bytes. Never throws: an
  // allocation that fails only turns off what it would have sped up.
  std::size_t (*piece)(const plan& pl, const unsigned char* text, piece_output out,
                       std::size_t start, std::size_t end) noexcept;
  // A whole small text on the calling thread, with no plan and no set-up: writes the map to
  // out[0, n), or, with count, adds the number of matches to *count and writes nothing. Returns
  // false, the answer unfinished, when the text holds no whole vector block of positions or when
  // verification passes `budget` bytes: the caller then searches the text the general way.
  bool (*small)(const unsigned char* pattern, std::size_t p, const unsigned char* text,
                std::size_t n, unsigned char* out, std::size_t budget, std::size_t* count) noexcept;
};
extern const kernel_entries sse2_kernel, avx2_kernel;

} // namespace seekpat_internal
