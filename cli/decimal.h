// Decimal digits for the offsets and counts the tool prints: where listing offsets spends its
// time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace seekpat_cli {

// Writes v in decimal and a newline at dst, which has room for 21 bytes; returns how many it
// wrote. Listing offsets, this is where the time goes: the digits go straight to dst, two at a
// time from the last, once their number is known (a copy from a scratch buffer would load what
// was just stored in pieces, which the processor cannot forward), and eight at a time in four
// independent pairs, so that the divisions do not wait on one another.
inline std::size_t decimal_line(char* dst, std::uint64_t v) {
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233"
      "34353637383940414243444546474849505152535455565758596061626364656667"
      "6869707172737475767778798081828384858687888990919293949596979899";
  static constexpr std::uint64_t pow10[20] = {1ull,
                                              10ull,
                                              100ull,
                                              1000ull,
                                              10000ull,
                                              100000ull,
                                              1000000ull,
                                              10000000ull,
                                              100000000ull,
                                              1000000000ull,
                                              10000000000ull,
                                              100000000000ull,
                                              1000000000000ull,
                                              10000000000000ull,
                                              100000000000000ull,
                                              1000000000000000ull,
                                              10000000000000000ull,
                                              100000000000000000ull,
                                              1000000000000000000ull,
                                              10000000000000000000ull};
  // The digits: t = floor(log10(2^bits)) (1233 / 4096 just above log10 2), one more when v
  // reaches 10^t; 0 has one.
  const unsigned bits = 64u - static_cast<unsigned>(__builtin_clzll(v | 1));
  const std::size_t t = bits * 1233u >> 12;
  const std::size_t len = std::max<std::size_t>(1, t + (v >= pow10[t]));
  char* at = dst + len;
  auto two = [&](std::uint32_t x) {
    at -= 2;
    std::memcpy(at, pairs + 2 * x, 2);
  };
  while (v >= 100000000) {
    const auto low = static_cast<std::uint32_t>(v % 100000000);
    v /= 100000000;
    const std::uint32_t a = low / 10000, b = low % 10000;
    two(b % 100);
    two(b / 100);
    two(a % 100);
    two(a / 100);
  }
  auto w = static_cast<std::uint32_t>(v);
  for (; w >= 100; w /= 100)
    two(w % 100);
  if (w >= 10)
    two(w);
  else
    *--at = static_cast<char>('0' + w);
  dst[len] = '\n';
  return len + 1;
}
} // namespace seekpat_cli
