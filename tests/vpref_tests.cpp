#include "guarded.h"
#include "vpref.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int both(const std::string& a, const std::string& b) {
  const int got = vpref(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
  EXPECT_EQ(got,
            vpref_ok(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size())))
      << "a=\"" << a << "\" b=\"" << b << "\"";
  return got;
}

// The five sentence pairs of prefix_test, answers worked out by hand.
TEST(VprefKnownAnswers, SentencePairs) {
  EXPECT_EQ(
      both("Questo e' un primo test per verificare la correttezza", "Questo e' un primo test"), 1);
  EXPECT_EQ(
      both("Questo e' un secondo test", "Questo e' un secondo test per verificare la correttezza"),
      1);
  EXPECT_EQ(
      both("Questo e' un Terzo test", "Questo e' un terzo test per verificare la correttezza"), 0);
  EXPECT_EQ(both("Questo e' un quarto test per verificare la correttezza",
                 "Questo e' un quarto test per verificare la correttezza"),
            1);
  EXPECT_EQ(both("Questo e' un quinto test per verificare la correttezza",
                 "Questo e' un quinto test per verificare la correttezzA"),
            0);
}

// Every compared length 0..64 against every single-byte difference, in both argument orders and
// with the other string longer; 15/16/17 and 31/32/33 are where block and tail meet.
TEST(VprefSweep, EveryLengthEveryMismatchPosition) {
  for (int len = 0; len <= 64; ++len) {
    std::string a(static_cast<std::size_t>(len), 'x');
    for (int k = 0; k < len; ++k)
      a[static_cast<std::size_t>(k)] = static_cast<char>('a' + k % 26);
    const std::string longer = a + "tail beyond the compared length";
    EXPECT_EQ(both(a, a), 1) << len;
    EXPECT_EQ(both(a, longer), 1) << len;
    EXPECT_EQ(both(longer, a), 1) << len;
    for (int pos = 0; pos < len; ++pos) {
      std::string b = a;
      b[static_cast<std::size_t>(pos)] ^= 0x20; // a case flip: the one-letter difference
      EXPECT_EQ(both(a, b), 0) << len << " " << pos;
      EXPECT_EQ(both(b, a), 0) << len << " " << pos;
      EXPECT_EQ(both(b, longer), 0) << len << " " << pos;
      EXPECT_EQ(both(longer, b), 0) << len << " " << pos;
    }
  }
}

TEST(VprefEdges, EqualPointersZeroAndNegativeLengths) {
  const char* s = "identical object compared with itself, 48 bytes!";
  const int len = static_cast<int>(std::strlen(s));
  EXPECT_EQ(vpref(s, s, len, len), 1);
  EXPECT_EQ(vpref_ok(s, s, len, len), 1);
  // Nothing is compared, so even unreadable pointers are never touched.
  for (int la : {0, -1, -16, -2147483647 - 1})
    for (int lb : {0, 5, -3, 100}) {
      EXPECT_EQ(vpref(nullptr, nullptr, la, lb), 1) << la << " " << lb;
      EXPECT_EQ(vpref(nullptr, nullptr, lb, la), 1) << la << " " << lb;
      EXPECT_EQ(vpref_ok(nullptr, nullptr, la, lb), 1) << la << " " << lb;
    }
}

// Bytes >= 0x80 compare as raw values: equal high bytes agree, and a high byte never equals the
// low byte it would be if sign or case were mangled.
TEST(VprefEdges, HighBytes) {
  std::string a(40, '\0');
  for (int k = 0; k < 40; ++k)
    a[static_cast<std::size_t>(k)] = static_cast<char>(0x80 + k * 3);
  EXPECT_EQ(both(a, a + "\xff"), 1);
  for (std::size_t pos : {0u, 15u, 16u, 33u, 39u}) {
    std::string b = a;
    b[pos] = static_cast<char>(b[pos] & 0x7f);
    EXPECT_EQ(both(a, b), 0) << pos;
  }
}

// Each string's last compared byte sits right before an inaccessible page, at every start
// alignment: any read past the compared length faults.
TEST(VprefBounds, GuardPagesAtEveryAlignment) {
  for (int len = 0; len <= 80; ++len) {
    for (int shift = 0; shift < 16; ++shift) {
      guarded_buffer ga(static_cast<std::size_t>(len + shift)), gb(static_cast<std::size_t>(len));
      char* a = ga.data() + shift; // ends exactly at the guard page
      char* b = gb.data();
      for (int k = 0; k < len; ++k)
        a[k] = b[k] = static_cast<char>('A' + (k * 7) % 50);
      // Lengths beyond the buffers are never passed: min(len, len + 9) = len.
      EXPECT_EQ(vpref(a, b, len, len + 9 * (shift & 1)), 1);
      EXPECT_EQ(vpref(b, a, len + 9 * (shift & 1), len), 1);
      if (len > 0) {
        b[len - 1] ^= 1;
        EXPECT_EQ(vpref(a, b, len, len), 0) << len << " " << shift;
        EXPECT_EQ(vpref_ok(a, b, len, len), 0) << len << " " << shift;
      }
    }
  }
}

} // namespace
