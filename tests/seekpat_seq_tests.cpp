// search_bench's reference search and counter, on answers worked out by hand.
#include <gtest/gtest.h>

#include <string>

void seekpat_seq(const char* pattern, const char* text, char* out, int n);
int count_non_zero(const char* str, int n);

namespace {

std::string seq_map(const char* pattern, const std::string& text) {
  std::string out(text.size() + 1, '\x7f'); // one sentinel past the map
  seekpat_seq(pattern, text.data(), out.data(), static_cast<int>(text.size()));
  EXPECT_EQ(out.back(), '\x7f') << "wrote past the map";
  out.pop_back();
  return out;
}

TEST(SeekpatSeq, KnownMaps) {
  EXPECT_EQ(seq_map("aa", "aaaa"), std::string("\1\1\1\0", 4));
  EXPECT_EQ(seq_map("abc", "abcabc"), std::string("\1\0\0\1\0\0", 6));
  EXPECT_EQ(seq_map("b", "abab"), std::string("\0\1\0\1", 4));
  EXPECT_EQ(seq_map("abcd", "abc"), std::string(3, '\0'));
  EXPECT_EQ(seq_map("abc", "abc"), std::string("\1\0\0", 3));
  EXPECT_EQ(seq_map("a", ""), "");
  EXPECT_EQ(seq_map("\xff", std::string("\0\xff\x7f", 3)), std::string("\0\1\0", 3));
  // The empty pattern fits at every position; the map still ends at n.
  EXPECT_EQ(seq_map("", "xy"), std::string("\1\1", 2));
}

TEST(CountNonZero, CountsEveryNonZeroByte) {
  EXPECT_EQ(count_non_zero("\0\1\2\0\xff", 5), 3);
  EXPECT_EQ(count_non_zero("\1\1", 0), 0);
  EXPECT_EQ(count_non_zero("\1\1", -4), 0);
}

} // namespace
