#include "vpref.h"

#include <smmintrin.h>

#include <cassert>

// Reads only a[0, m) and b[0, m), m = min(len_a, len_b); needs SSE2 and SSE4.1 (PTEST).
int vpref(const char* a, const char* b, int len_a, int len_b) {
  const int m = len_a < len_b ? len_a : len_b;
  int i = 0;
  // 0 <= i <= m inside the loop, so m - i cannot overflow; the loop runs while at least 16 bytes
  // remain (i + 15 < m), so both unaligned loads end inside the compared length.
  for (; m - i > 15; i += 16) {
    assert(0 <= i && i + 16 <= m);
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i eq = _mm_cmpeq_epi8(x, y);
    const __m128i ones = _mm_cmpeq_epi32(eq, eq);
    // PTEST sets the carry flag exactly when eq has no zero bit, i.e. every byte lane matched.
    if (!_mm_testc_si128(eq, ones))
      return 0;
  }
  // At most 15 bytes are left; a negative m skips this too and yields 1.
  for (; i < m; ++i)
    if (a[i] != b[i])
      return 0;
  return 1;
}
