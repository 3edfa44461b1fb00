// The C interface as a C program links it: counts, maps, positions and streams against the
// definition on random texts, and every return code each function can give, each reached.
#include "reference.h"
#include "seekpat.h"
#include "textgen.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct seen {
  std::vector<std::uint64_t> at;
  std::size_t stop_after = SIZE_MAX; // a nonzero return once this many are seen
};

int record(void* ctx, std::uint64_t x) {
  seen& s = *static_cast<seen*>(ctx);
  s.at.push_back(x);
  return s.at.size() >= s.stop_after;
}
int record_position(void* ctx, size_t x) { return record(ctx, x); }

std::vector<std::uint64_t> widened(const std::vector<std::size_t>& v) {
  return {v.begin(), v.end()};
}

} // namespace

TEST(SeekpatC, AnswersAsTheDefinition) {
  textgen::rng r(31);
  for (int round = 0; round < 40; ++round) {
    std::string bytes(1 + r.below(round % 2 ? 5 : 40), '\0'),
        text(r.below(round % 4 ? 3000 : 300000), '\0');
    textgen::random_over(bytes.data(), bytes.size(), "ab\0", 3, r.next());
    textgen::random_over(text.data(), text.size(), "ab\0", 3, r.next());
    for (std::size_t at = 0; at + bytes.size() <= text.size(); at += 1 + r.below(400))
      text.replace(at, bytes.size(), bytes);
    const std::vector<std::size_t> want = reference_positions(bytes, text);
    const std::string what = "round " + std::to_string(round);
    seekpat_pattern* pat = nullptr;
    ASSERT_EQ(seekpat_pattern_new(bytes.data(), bytes.size(), &pat), SEEKPAT_OK);
    const unsigned threads = round % 3;
    size_t count = 0;
    EXPECT_EQ(seekpat_pattern_count(pat, text.data(), text.size(), threads, &count), SEEKPAT_OK);
    EXPECT_EQ(count, want.size()) << what;
    std::string map(text.size(), '\xEE');
    EXPECT_EQ(seekpat_pattern_map(pat, text.data(), text.size(), map.data(), threads), SEEKPAT_OK);
    EXPECT_TRUE(map == reference_map(bytes, text)) << what;
    seen listed;
    EXPECT_EQ(
        seekpat_pattern_positions(pat, text.data(), text.size(), threads, record_position, &listed),
        SEEKPAT_OK);
    EXPECT_EQ(listed.at, widened(want)) << what;
    // A stream in chunks of every size, offsets and counts; a count adds to what *count holds.
    seekpat_stream *offsets = nullptr, *counts = nullptr;
    ASSERT_EQ(seekpat_stream_new(pat, threads, &offsets), SEEKPAT_OK);
    ASSERT_EQ(seekpat_stream_new(pat, 1, &counts), SEEKPAT_OK);
    seen fed;
    std::uint64_t streamed = 7;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t k = std::min<std::size_t>(
          r.below(3) ? r.below(2 * bytes.size() + 2) : 70000, text.size() - at);
      EXPECT_EQ(seekpat_stream_feed(offsets, text.data() + at, k, record, &fed), SEEKPAT_OK);
      EXPECT_EQ(seekpat_stream_count(counts, text.data() + at, k, &streamed), SEEKPAT_OK);
      at += k;
    }
    EXPECT_EQ(fed.at, widened(want)) << what;
    EXPECT_EQ(streamed, 7 + want.size()) << what;
    seekpat_stream_free(offsets);
    seekpat_stream_free(counts);
    seekpat_pattern_free(pat);
    // The plain entry point: NUL ends its pattern.
    if (bytes.find('\0') == std::string::npos && !text.empty()) {
      std::string plain(text.size(), '\xEE');
      seekpat(bytes.c_str(), text.data(), plain.data(), static_cast<int>(text.size()));
      EXPECT_TRUE(plain == reference_map(bytes, text)) << what << ": seekpat()";
    }
  }
}

// Each code each function can return, each reached; a failed _new leaves its handle null.
TEST(SeekpatC, EveryReturnCode) {
  seekpat_pattern* pat = reinterpret_cast<seekpat_pattern*>(1);
  EXPECT_EQ(seekpat_pattern_new("ab", 2, nullptr), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_new(nullptr, 2, &pat), SEEKPAT_EINVAL);
  EXPECT_EQ(pat, nullptr);
#ifndef SANITIZED // the sanitizers' allocator ends the process on a request this size
  pat = reinterpret_cast<seekpat_pattern*>(1);
  EXPECT_EQ(seekpat_pattern_new("ab", std::size_t(1) << 62, &pat), SEEKPAT_ENOMEM);
  EXPECT_EQ(pat, nullptr);
#endif
  ASSERT_EQ(seekpat_pattern_new("aa", 2, &pat), SEEKPAT_OK);
  const char text[] = "aaaa";
  size_t count = 99;
  char map[8];
  seen s;
  EXPECT_EQ(seekpat_pattern_count(nullptr, text, 4, 0, &count), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_count(pat, text, 4, 0, nullptr), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_count(pat, nullptr, 4, 0, &count), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_count(pat, nullptr, 0, 0, &count), SEEKPAT_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(seekpat_pattern_map(nullptr, text, 4, map, 0), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_map(pat, nullptr, 4, map, 0), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_map(pat, text, 4, nullptr, 0), SEEKPAT_EINVAL);
  std::string both = "aaaaaaaa";
  EXPECT_EQ(seekpat_pattern_map(pat, both.data(), 4, both.data() + 2, 0), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_positions(nullptr, text, 4, 0, record_position, &s), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_positions(pat, text, 4, 0, nullptr, &s), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_pattern_positions(pat, nullptr, 4, 0, record_position, &s), SEEKPAT_EINVAL);
  s.stop_after = 2;
  EXPECT_EQ(seekpat_pattern_positions(pat, text, 4, 0, record_position, &s), SEEKPAT_STOPPED);
  EXPECT_EQ(s.at, (std::vector<std::uint64_t>{0, 1}));

  seekpat_stream* stream = reinterpret_cast<seekpat_stream*>(1);
  EXPECT_EQ(seekpat_stream_new(pat, 0, nullptr), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_stream_new(nullptr, 0, &stream), SEEKPAT_EINVAL);
  EXPECT_EQ(stream, nullptr);
  ASSERT_EQ(seekpat_stream_new(pat, 0, &stream), SEEKPAT_OK);
  std::uint64_t streamed = 0;
  seen fed;
  EXPECT_EQ(seekpat_stream_feed(nullptr, text, 4, record, &fed), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_stream_feed(stream, text, 4, nullptr, &fed), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_stream_feed(stream, nullptr, 4, record, &fed), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_stream_count(nullptr, text, 4, &streamed), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_stream_count(stream, text, 4, nullptr), SEEKPAT_EINVAL);
  EXPECT_EQ(seekpat_stream_count(stream, nullptr, 4, &streamed), SEEKPAT_EINVAL);
  // A stop takes the chunk whole: the next chunk's first occurrence, across the bound, comes.
  fed.stop_after = 1;
  EXPECT_EQ(seekpat_stream_feed(stream, text, 3, record, &fed), SEEKPAT_STOPPED);
  fed.stop_after = SIZE_MAX;
  EXPECT_EQ(seekpat_stream_feed(stream, "a", 1, record, &fed), SEEKPAT_OK);
  EXPECT_EQ(fed.at, (std::vector<std::uint64_t>{0, 2}));
  seekpat_stream_free(stream);
  seekpat_stream_free(nullptr);
  seekpat_pattern_free(pat);
  seekpat_pattern_free(nullptr);

  // seekpat() has no code to return: null arguments and n <= 0 write nothing.
  std::string out(4, '\xEE');
  seekpat(nullptr, text, out.data(), 4);
  seekpat("aa", nullptr, out.data(), 4);
  seekpat("aa", text, nullptr, 4);
  seekpat("aa", text, out.data(), 0);
  seekpat("aa", text, out.data(), -1);
  EXPECT_EQ(out, std::string(4, '\xEE'));
  seekpat("aa", text, out.data(), 4);
  EXPECT_EQ(out, std::string("\1\1\1\0", 4));
}
