// search_bench's own functions: the reference search and counter on answers worked out by hand,
// and run_test's verdict against deliberately wrong parallel searches. This program links its own
// seekpat (below) in place of the engine, so that every way a search can be wrong is at hand.
#include "run_program.h"
#include "search_bench.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// How the stand-in seekpat goes wrong.
enum class fault { none, marks_with_two, shifts_last_match, drops_last_match };
fault planted = fault::none;

} // namespace

extern "C" void seekpat(const char* pattern, const char* text, char* out, int n) {
  seekpat_seq(pattern, text, out, n);
  int last = n - 1;
  while (last >= 0 && out[last] == 0)
    --last;
  if (last < 0)
    return;
  switch (planted) {
  case fault::none: break;
  case fault::marks_with_two: out[last] = 2; break; // same count, wrong byte
  case fault::shifts_last_match:                    // same count, wrong place
    out[last] = 0;
    out[last - 1] = 1;
    break;
  case fault::drops_last_match: out[last] = 0; break;
  }
}

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

// The verdict compares the two maps byte for byte, and each count is its own map's.
TEST(RunTest, VerdictAndCountsAgainstWrongSearches) {
  struct row {
    fault f;
    int parallel_count;
    const char* verdict;
  };
  const row rows[] = {{fault::none, 3, "PASSED"},
                      {fault::marks_with_two, 3, "FAILED"},
                      {fault::shifts_last_match, 3, "FAILED"},
                      {fault::drops_last_match, 2, "FAILED"}};
  const std::string text = "xabyyabyyyab";
  for (const row& r : rows) {
    planted = r.f;
    testing::internal::CaptureStdout();
    run_test("ab", text.data(), static_cast<int>(text.size()), "Title");
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(mask_times(out), "Title\n    CPU took T msec\n    Device took T msec\n"
                               "    Pattern \"ab\" found 3 times sequentially\n"
                               "    Pattern \"ab\" found " +
                                   std::to_string(r.parallel_count) +
                                   " times in parallel\n    Correctness test: " + r.verdict + "\n");
  }
  planted = fault::none;
}

} // namespace
