// The AVX2 build of the search kernel: 32 positions per vector step. This file is compiled with
// -mavx2 (and BMI, BMI2, POPCNT); kernel_for picks it only after checking the CPU for all of
// them.
#include "seekpat_kernel.h"

#include <immintrin.h>

namespace {

struct avx2 {
  using vec = __m256i;
  using mask = std::uint32_t;
  static constexpr std::size_t W = 32;

  static vec load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const vec*>(p));
  }
  static vec set1(unsigned char b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static vec cmpeq(vec a, vec b) { return _mm256_cmpeq_epi8(a, b); }
  static vec and_(vec a, vec b) { return _mm256_and_si256(a, b); }
  static mask movemask(vec v) { return static_cast<mask>(_mm256_movemask_epi8(v)); }
  static vec zero() { return _mm256_setzero_si256(); }
  static vec one() { return _mm256_set1_epi8(1); }
  static vec sub(vec a, vec b) { return _mm256_sub_epi8(a, b); }
  // The sum of the W bytes of v.
  static std::uint64_t sum_bytes(vec v) {
    const vec s = _mm256_sad_epu8(v, _mm256_setzero_si256());
    const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(h)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(h, h)));
  }

  // Byte k of the result is bit k of bits: copy byte k / 8 of bits into byte k (the broadcast
  // puts all four bytes in both 128-bit lanes, as the in-lane shuffle needs), keep the bit of
  // weight 1 << (k % 8), and turn "that bit is set" into 1.
  static vec expand(mask bits) {
    const vec spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2,
                                        2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const vec sel = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    const vec v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
    return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(v, sel), sel), one());
  }

  // p must be 32-byte aligned.
  template <bool Stream> static void put(unsigned char* p, vec v) {
#ifdef SEEKPAT_STORE_ASSERTS // a Debug build's: every map store runs through here
    assert(reinterpret_cast<std::uintptr_t>(p) % W == 0);
#endif
    if (Stream)
      _mm256_stream_si256(reinterpret_cast<vec*>(p), v);
    else
      _mm256_store_si256(reinterpret_cast<vec*>(p), v);
  }
  static void storeu(unsigned char* p, vec v) { _mm256_storeu_si256(reinterpret_cast<vec*>(p), v); }
  static void fence() { _mm_sfence(); }
};

} // namespace

namespace seekpat_internal {
extern const kernel_entries avx2_kernel = {search_piece<avx2>, small_entry<avx2>};
} // namespace seekpat_internal
