// The SSE2 build of the search kernel: 16 positions per vector step. Every x86-64 CPU runs it.
#include "seekpat_kernel.h"

#include <emmintrin.h>

namespace {

struct sse2 {
  using vec = __m128i;
  using mask = std::uint16_t;
  static constexpr std::size_t W = 16;

  static vec load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const vec*>(p));
  }
  static vec set1(unsigned char b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static vec cmpeq(vec a, vec b) { return _mm_cmpeq_epi8(a, b); }
  static vec and_(vec a, vec b) { return _mm_and_si128(a, b); }
  static mask movemask(vec v) { return static_cast<mask>(_mm_movemask_epi8(v)); }
  static vec zero() { return _mm_setzero_si128(); }
  static vec one() { return _mm_set1_epi8(1); }
  static vec sub(vec a, vec b) { return _mm_sub_epi8(a, b); }
  // The sum of the W bytes of v.
  static std::uint64_t sum_bytes(vec v) {
    const vec s = _mm_sad_epu8(v, _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(s)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
  }

  // Byte k of the result is bit k of bits: spread each half of bits over 8 bytes, keep in byte k
  // the bit of weight 1 << (k % 8), and turn "that bit is set" into 1.
  static vec expand(mask bits) {
    const std::uint64_t spread = 0x0101010101010101ull;
    const vec v = _mm_set_epi64x(static_cast<long long>((bits >> 8) * spread),
                                 static_cast<long long>((bits & 0xff) * spread));
    const vec sel = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    return _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(v, sel), sel), one());
  }

  // p must be 16-byte aligned.
  template <bool Stream> static void put(unsigned char* p, vec v) {
#ifdef SEEKPAT_STORE_ASSERTS // a Debug build's: every map store runs through here
    assert(reinterpret_cast<std::uintptr_t>(p) % W == 0);
#endif
    if (Stream)
      _mm_stream_si128(reinterpret_cast<vec*>(p), v);
    else
      _mm_store_si128(reinterpret_cast<vec*>(p), v);
  }
  static void storeu(unsigned char* p, vec v) { _mm_storeu_si128(reinterpret_cast<vec*>(p), v); }
  static void fence() { _mm_sfence(); }
};

} // namespace

namespace seekpat_internal {
extern const kernel_entries sse2_kernel = {search_piece<sse2>, small_entry<sse2>};
} // namespace seekpat_internal
