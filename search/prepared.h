// A pattern prepared once for any number of searches, as the library's pattern holds it.
#pragma once

#include "pattern_tables.h"

#include <cstddef>
#include <memory>
#include <new>

namespace seekpat_internal {

// Releases a tile, allocated with new (std::align_val_t(64)) unsigned char[]. (Not used by the
// kernels, which have their own: see kernel/common.h.)
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

} // namespace seekpat_internal
