// seekpat against a plain reference: known answers, random texts over tiny alphabets, periodic
// and adversarial input, every kernel the CPU runs, many thread counts and chunk boundaries, with
// the text, the pattern and the map each ending at an inaccessible page.
#include "guarded.h"
#include "path_knobs.h"
#include "reference.h"
#include "seekpat.h"
#include "seekpat_internal.h"
#include "textgen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using seekpat_internal::kernel;
using seekpat_internal::tuning;

std::vector<kernel> kernels() {
  std::vector<kernel> ks = {kernel::sse2};
  if (seekpat_internal::kernel_supported(kernel::avx2))
    ks.push_back(kernel::avx2);
  return ks;
}

const char* name(kernel k) { return k == kernel::avx2 ? "avx2" : "sse2"; }

// Tunings that reach every path on small inputs (see path_knobs): each kernel, thread counts whose
// pieces end anywhere, small texts through small_text and through the general path, streaming
// stores in a fresh map's order of stretches, the linear fallback, filters fitted to a sample and
// watched, and positions listed whole and in rounds of 64 and 128.
std::vector<tuning> tunings(bool all_thread_counts) {
  using namespace path_knobs;
  std::vector<tuning> ts;
  for (kernel k : kernels()) {
    for (int threads : {1, 2, 3, 7, 16}) {
      if (!all_thread_counts && threads != 1 && threads != 3)
        continue;
      ts.push_back(tuning_for(k, threads, short_path));
      ts.push_back(tuning_for(k, threads, stream | fresh_order | sampled | rounds));
      ts.push_back(tuning_for(k, threads, general_small | fallback | sampled | rounds));
      ts.back().visit_slice = 128;
    }
  }
  return ts;
}

std::string describe(const tuning& t) {
  return std::string(name(t.kern)) + " threads=" + std::to_string(t.threads) +
         (t.stream_min == 0 ? " stream fresh" : "") + (t.verify_budget == 0 ? " fallback" : "") +
         (t.sample_min == 64 ? " sampled" : "");
}

// The plan a count of pattern in text gets with these knobs: the route a test claims to take.
seekpat_internal::plan plan_for(const std::string& pattern, const std::string& text,
                                const tuning& tune) {
  return seekpat_internal::plan_search(reinterpret_cast<const unsigned char*>(pattern.data()),
                                       pattern.size(), nullptr, nullptr,
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       text.size(), seekpat_internal::sink::count, false, tune);
}

// Runs the search with the text and the pattern each ending right before an inaccessible page,
// the map pre-filled with a poison byte, canaries in front of it and `tail` canaries behind it up
// to the inaccessible page, and checks the map, the canaries and that neither input changed.
// Successive calls move the map's end by one byte (tail = 0..31), so that the map's alignment to
// the vector width, which decides where the kernels' blocks fall, is swept across the tests.
// Then counts the matches with the same knobs, without a map, alternately planning the pattern for
// this call and taking the tables of a pattern prepared ahead.
void check(const std::string& pattern, const std::string& text, const tuning& tune,
           const std::string& what, const std::string& expected) {
  static std::size_t calls = 0;
  const std::size_t tail = calls++ % 32;
  guarded_buffer t(text.size()), p(pattern.size()), out(text.size() + tail, 0x5A);
  std::memcpy(t.data(), text.data(), text.size());
  std::memcpy(p.data(), pattern.data(), pattern.size());
  std::memset(out.data(), 0xEE, text.size()); // poison: an unwritten position shows
  std::memset(out.data() + text.size(), 0x5A, tail);
  seekpat_internal::search(p.data(), pattern.size(), t.data(), text.size(), out.data(), tune);
  const std::string got(out.data(), text.size());
  if (got != expected) {
    std::size_t k = 0;
    while (got[k] == expected[k])
      ++k;
    ADD_FAILURE() << what << " [" << describe(tune) << "] n=" << text.size()
                  << " p=" << pattern.size() << " tail=" << tail << ": first wrong position " << k
                  << " got " << int(static_cast<unsigned char>(got[k])) << " want "
                  << int(expected[k]);
  }
  EXPECT_TRUE(out.front_intact()) << what << ": wrote before the map";
  EXPECT_EQ(std::string(out.data() + text.size(), tail), std::string(tail, '\x5A'))
      << what << ": wrote after the map";
  EXPECT_EQ(std::string(t.data(), text.size()), text) << what << ": text changed";
  EXPECT_EQ(std::string(p.data(), pattern.size()), pattern) << what << ": pattern changed";

  const auto* pat = reinterpret_cast<const unsigned char*>(p.data());
  const auto* txt = reinterpret_cast<const unsigned char*>(t.data());
  std::size_t counted;
  if (calls % 2) {
    const seekpat_internal::prepared prep(pat, pattern.size());
    counted = seekpat_internal::run_search(pat, pattern.size(), prep.filter_off, &prep.tables, txt,
                                           text.size(), nullptr, true, tune);
  } else {
    counted = seekpat_internal::run_search(pat, pattern.size(), nullptr, nullptr, txt, text.size(),
                                           nullptr, true, tune);
  }
  EXPECT_EQ(counted, static_cast<std::size_t>(std::count(expected.begin(), expected.end(), 1)))
      << what << " [" << describe(tune) << "]: count" << (calls % 2 ? " (prepared)" : "");

  // The positions, listed whole or handed over in rounds, on the same plan.
  std::vector<std::size_t> want, got_at;
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (expected[i] == 1)
      want.push_back(i);
  if (calls % 2) {
    got_at = seekpat_internal::find_positions(pat, pattern.size(), nullptr, nullptr, txt,
                                              text.size(), tune);
  } else {
    const seekpat_internal::prepared prep(pat, pattern.size());
    seekpat_internal::visit_positions(
        pat, pattern.size(), prep.filter_off, &prep.tables, txt, text.size(), tune,
        [](void* ctx, const std::size_t* at, std::size_t k) {
          static_cast<std::vector<std::size_t>*>(ctx)->insert(
              static_cast<std::vector<std::size_t>*>(ctx)->end(), at, at + k);
          return true;
        },
        &got_at);
  }
  EXPECT_TRUE(got_at == want) << what << " [" << describe(tune) << "]: positions (" << got_at.size()
                              << " against " << want.size() << ")" << (calls % 2 ? "" : " visited");
}

void check_all(const std::string& pattern, const std::string& text, const std::string& what,
               bool all_thread_counts = false) {
  const std::string expected = reference_map(pattern, text);
  for (const tuning& t : tunings(all_thread_counts))
    check(pattern, text, t, what, expected);
}

// Seeds with answers worked out by hand, each padded with 0..34 filler bytes before and after.
TEST(SeekpatKnownAnswers, PaddedSeeds) {
  struct seed {
    const char* pattern;
    const char* text;
    std::vector<std::size_t> at;
  };
  const std::vector<seed> seeds = {
      {"a", "a", {0}},
      {"a", "bab", {1}},
      {"aa", "aaaa", {0, 1, 2}},
      {"ab", "abab", {0, 2}},
      {"aba", "ababa", {0, 2}},
      {"abc", "abcab", {0}},
      {"the", "the then other", {0, 4, 10}},
      {"xyz", "xy", {}},
      {"needle", "haystack with a needle in it and needle", {16, 33}},
      {"aaaaaaaaa", "aaaaaaaaaaa", {0, 1, 2}},
      {"abcdefghij", "abcdefghi abcdefghij", {10}},
      {"abababababab", "ababababababab", {0, 2}},
      {"\xff\x80\x7f", "\x7f\xff\x80\x7f\xff\x80", {1}},
      {"longer pattern of thirty-three b", "a longer pattern of thirty-three bytes", {2}},
  };
  for (const seed& s : seeds) {
    for (std::size_t before = 0; before <= 34; before += (before < 4 ? 1 : 5)) {
      for (std::size_t after = 0; after <= 34; after += (after < 4 ? 1 : 5)) {
        const std::string text = std::string(before, '#') + s.text + std::string(after, '#');
        std::string want(text.size(), '\0');
        for (std::size_t a : s.at)
          want[before + a] = 1;
        ASSERT_EQ(reference_map(s.pattern, text), want) << s.pattern << " in " << s.text;
        check_all(s.pattern, text, std::string("seed \"") + s.pattern + "\"");
      }
    }
  }
}

// Random texts over tiny alphabets put overlaps and near misses everywhere.
TEST(SeekpatDifferential, RandomTinyAlphabets) {
  textgen::rng r(2024);
  const char* alphabets[] = {"ab", "abc", "a\0\xff", "ab  "};
  for (int round = 0; round < 120; ++round) {
    const char* alpha = alphabets[round % 4];
    const std::size_t k = round % 4 == 2 ? 3 : std::strlen(alpha);
    const std::size_t n = r.below(400);
    std::string text(n, '\0');
    textgen::random_over(text.data(), n, alpha, k, r.next());
    const std::size_t p = 1 + r.below(round % 3 == 0 ? 70 : 12);
    std::string pattern(p, '\0');
    if (n >= p && r.below(2)) // half the time a piece of the text, so it matches at least once
      pattern = text.substr(r.below(n - p + 1), p);
    else
      textgen::random_over(pattern.data(), p, alpha, k, r.next());
    check_all(pattern, text, "round " + std::to_string(round), round < 30);
  }
}

// Every position matches ('a' x k in all-'a' text) or none does ('a' x k + 'b'), across the
// exact path, the filter path, periods and block sizes.
TEST(SeekpatAdversarial, RunsOfOneByte) {
  const std::string text(3000, 'a');
  for (std::size_t k : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 256, 1000}) {
    check_all(std::string(k, 'a'), text, "a x " + std::to_string(k));
    check_all(std::string(k, 'a') + "b", text, "a x " + std::to_string(k) + " + b");
    check_all("b" + std::string(k, 'a'), text, "b + a x " + std::to_string(k));
  }
}

// A copy of the pattern wrong at one index, for every index, beside a true copy, in texts of a
// few hundred bytes: every verification must look at every byte.
TEST(SeekpatAdversarial, NearMissesAtEveryIndex) {
  textgen::rng r(77);
  for (std::size_t p : {9, 17, 32, 33, 70}) {
    std::string pattern(p, '\0');
    textgen::random_over(pattern.data(), p, "abcd", 4, r.next());
    for (std::size_t j = 0; j < p; ++j) {
      std::string text(300, '.'), miss = pattern;
      miss[j] = 'x';
      text.replace(40, p, miss);
      text.replace(text.size() - p - 20, p, pattern);
      check_all(pattern, text, "miss at " + std::to_string(j) + " of " + std::to_string(p));
    }
  }
  // Then every near miss in one text, each after a true copy, so that matches come close enough
  // for the quiet loop to mark them itself; every other one wrong in the middle, which at
  // p = 2W + 1 its two compares of W bytes leave out.
  for (std::size_t p : {33, 65}) {
    std::string pattern(p, '\0'), text;
    textgen::random_over(pattern.data(), p, "abcdefghijklmnop", 16, r.next());
    for (std::size_t j = 0; j < 2 * p; ++j) {
      std::string miss = pattern;
      miss[j % 2 ? p / 2 : j / 2] = 'x';
      text += std::string(20 + r.below(200), '.') + pattern + std::string(20, '.') + miss;
    }
    check_all(pattern, text, "near misses among matches, p=" + std::to_string(p));
  }
}

// Periodic patterns in periodic text, with the period broken now and then so that runs of
// matches end inside vector blocks and restart.
TEST(SeekpatAdversarial, PeriodicRunsThatBreak) {
  textgen::rng r(7);
  const std::vector<std::string> units = {
      "ab", "abc", "aab", "abcdefghij", std::string(40, 'x') + "y", std::string(70, 'q') + "rs"};
  for (const std::string& unit : units) {
    for (std::size_t reps : {4, 5, 9, 20}) {
      std::string pattern;
      while (pattern.size() < unit.size() * reps)
        pattern += unit;
      pattern += unit.substr(0, unit.size() / 2);
      std::string text;
      while (text.size() < 6000) {
        text += unit;
        if (r.below(50) == 0)
          text += r.below(2) ? "#" : unit.substr(0, 1);
      }
      check_all(pattern, text, "periodic " + unit.substr(0, 3) + " x" + std::to_string(reps));
    }
  }
}

// Lines of one repeated unit, their length changing now and then: the text repeats with the line
// length, a longer period than that of the patterns cut across a line break, so that runs follow
// the distance between matches, which changes with the lines; and the dense periodic path copies
// the map a line at a time for a piece of one line, until the length changes.
TEST(SeekpatAdversarial, LinesOfARepeatedUnit) {
  textgen::rng r(55);
  for (const std::string unit : {"qaz", "ab", "abcdefg"}) {
    std::string text;
    std::size_t len = 40;
    while (text.size() < 8000) {
      if (r.below(12) == 0)
        len = 20 + r.below(110);
      for (std::size_t k = 0; k < len; ++k)
        text += unit[k % unit.size()];
      text += '\n';
    }
    for (std::size_t p : {12, 40, 64, 130}) {
      const std::size_t at = text.find('\n', 2000 + r.below(4000)) - p / 2;
      check_all(text.substr(at, p), text, "lines of " + unit + ", p=" + std::to_string(p));
    }
    // A piece of one line: frequent, of the unit's short period, which every line end breaks
    // (short enough for exact lanes, too; long enough for a break mask wider than 64 bits).
    for (std::size_t p : {6, 11, 30, 50, 90}) {
      std::size_t at = text.find('\n', 3000) + 1;
      while (text.find('\n', at) - at < p + 2)
        at = text.find('\n', at) + 1;
      check_all(text.substr(at + 2, p), text, "a line of " + unit + ", p=" + std::to_string(p));
    }
  }
  // Lines of a few lengths, changing every 40 lines, with pieces whose span past their period,
  // p - q, sits on each limit of the break mask: 64 bits with AVX2 (33, 34) and SSE2 (49, 50),
  // 128 bits (96, and 97 and 98 past the dense path); short pieces whose map the dense path
  // copies a line at a time, on lines shorter than a vector and a line a tile holds; and pieces
  // across a line end, whose runs stride by the line's length.
  struct line_set {
    const char* unit;
    std::size_t shortest, longest;
    std::vector<std::size_t> spans; // of pieces of one line
    std::vector<std::string> pieces;
    bool copied; // the dense path with the text's period
    int texts;   // drawn at random
  };
  const std::vector<line_set> sets = {
      {"q", 100, 399, {33, 34, 49, 50, 96, 97, 98}, {}, false, 1},
      {"qaz", 40, 200, {33, 34, 49, 50, 96, 97, 98}, {}, false, 1},
      {"qaz", 10, 20, {}, {"qazqaz"}, true, 6},
      {"qaz", 96, 96, {}, {"zqazqa"}, true, 1},
      {"qaz", 8, 37, {}, {"az\nqazqaz", "qazq\nqazqazqazqazqazq"}, false, 1},
  };
  for (int draw = 0; draw < 10; ++draw)
    for (const line_set& set : sets) {
      if (draw >= set.texts)
        continue;
      std::string text;
      std::size_t len = set.shortest;
      for (std::size_t line = 0; text.size() < 9000; ++line) {
        // (not around the middle, where the planner looks for the text's period)
        if (line % 40 == 39 && (text.size() < 3000 || text.size() > 6000))
          len = set.shortest + r.below(set.longest - set.shortest + 1);
        for (std::size_t k = 0; k < len; ++k)
          text += set.unit[k % std::strlen(set.unit)];
        text += '\n';
      }
      std::vector<std::string> pieces = set.pieces;
      for (std::size_t span : set.spans) {
        const std::size_t p = span + std::strlen(set.unit);
        std::size_t at = text.find('\n', 1000) + 1;
        while (text.find('\n', at) - at < p + 2)
          at = text.find('\n', at) + 1;
        pieces.push_back(text.substr(at + 1, p));
      }
      for (const std::string& piece : pieces) {
        if (set.copied) {
          const seekpat_internal::plan pl = plan_for(piece, text, tunings(false)[1]);
          EXPECT_TRUE(pl.route == seekpat_internal::route_kind::dense_periodic && pl.text_period)
              << piece << ": not copied by the dense path";
        }
        check_all(piece, text,
                  std::string("lines of ") + set.unit + ", p=" + std::to_string(piece.size()));
      }
    }
  // One line a unit longer than the others, its end swept across the blocks of the copied map.
  std::string line;
  for (int k = 0; k < 12; ++k)
    line += "qaz";
  for (std::size_t shift = 0; shift < 40; ++shift) {
    std::string text;
    for (int k = 0; k < 80; ++k)
      text += line + "\n";
    text += line + "qaz\n";
    for (int k = 0; k < 20; ++k)
      text += line + "\n";
    check_all("azqazqazqazq", text.substr(shift),
              "one longer line, shifted " + std::to_string(shift));
  }
}

// Runs of every period up to the 64 whose strides a table holds, and past it: a pattern of three
// units in some 30 KB of the unit with one byte changed. A stride looked up for too few periods
// marks most of a run's matches wrongly (periods 17-31 on AVX2: 1,497 of 1,995).
TEST(SeekpatAdversarial, RunsOfEveryPeriod) {
  textgen::rng r(1717);
  for (std::size_t q = 1; q <= 70; ++q) {
    std::string unit(q, '\0');
    do
      textgen::random_over(unit.data(), q, "abcdefgh", 8, r.next());
    while (q > 1 && unit.find_first_not_of(unit[0]) == std::string::npos);
    std::string text;
    for (int k = 0; k < 2000; ++k)
      text += unit;
    text[text.size() / 2] ^= 1;
    const std::string pattern = unit + unit + unit, what = "period " + std::to_string(q);
    check_all(pattern, text, what);
    for (kernel k : kernels()) { // and as the library's callers plan it
      tuning t;
      t.kern = k;
      check(pattern, text, t, what + " default knobs", reference_map(pattern, text));
    }
  }
}

// A pattern of 24 bytes over two or three letters twice in a 62-byte unit, 29 bytes apart, in
// copies of the unit with every third broken: matches the quiet loop marks itself beside
// others, overlapping ones among them, that the search decides outside it. Each call of the loop
// must start from the last match the search saw (else: 197 of 198).
TEST(SeekpatAdversarial, QuietMatchesBesideOthers) {
  textgen::rng r(6229);
  for (int round = 0; round < 24; ++round) {
    std::string unit(62, '\0');
    textgen::random_over(unit.data(), unit.size(), "abc", round % 2 ? 2 : 3, r.next());
    const std::string pattern = unit.substr(0, 24);
    unit.replace(29, 24, pattern);
    std::string text;
    for (int k = 0; k < 114; ++k) {
      std::string copy = unit;
      if (k % 3 == 2)
        copy[r.below(62)] ^= 1;
      text += copy;
    }
    const std::string what = "round " + std::to_string(round),
                      expected = reference_map(pattern, text);
    check_all(pattern, text, what);
    for (kernel k : kernels()) { // as the library's callers plan it
      tuning t;
      t.kern = k;
      check(pattern, text, t, what + " default knobs", expected);
    }
  }
}

// A period longer than the map tiles kept for runs (4096 bytes): such runs mark their matches
// bit by bit instead.
TEST(SeekpatAdversarial, RunsWithALongPeriod) {
  textgen::rng r(11);
  std::string unit(5000, '\0');
  textgen::random_over(unit.data(), unit.size(), "abcdefgh", 8, r.next());
  const std::string pattern = unit + unit.substr(0, 300);
  std::string text;
  for (int k = 0; k < 7; ++k)
    text += unit;
  text += unit.substr(0, 1000) + "#" + unit;
  check_all(pattern, text, "period 5000");
}

// Every filter byte lines up at every other position and verification fails only at the
// pattern's end: (ab) x 40 + "aa" in "abab...". Verifying each candidate would be quadratic; with
// the default budget the linear fallback takes over early in each chunk.
TEST(SeekpatAdversarial, CandidatesThatFailLate) {
  std::string unit;
  for (int k = 0; k < 40; ++k)
    unit += "ab";
  const std::string pattern = unit + "aa";
  std::string text;
  while (text.size() < 30000)
    text += "ab";
  check_all(pattern, text, "late failures");
  text.replace(17001, pattern.size(), pattern); // one match, at an odd position
  text.replace(9000, pattern.size(), pattern);  // and one at an even one
  check_all(pattern, text, "late failures, two matches");
  for (kernel k : kernels()) { // the default budget, one thread, so the fallback really runs
    tuning t;
    t.kern = k;
    t.threads = 1;
    check(pattern, text, t, "late failures, default budget", reference_map(pattern, text));
    // A small text: first, middle and last byte pass at every other position, and each
    // candidate fails at index 60, past the budget of the small text's pass.
    std::string late = unit + "a", small = text.substr(0, 500);
    late[60] = 'b';
    check(late, small, t, "late failures, small text", reference_map(late, small));
  }
}

// Texts made of a short random unit repeated, with now and then a byte changed, and patterns
// cut from them with a byte changed near the end: candidates that verify far before failing,
// periodic stretches that end anywhere, and matches right after them.
TEST(SeekpatDifferential, NearlyPeriodicTexts) {
  textgen::rng r(31337);
  for (int round = 0; round < 60; ++round) {
    std::string unit(1 + r.below(6), '\0');
    textgen::random_over(unit.data(), unit.size(), "abc", 3, r.next());
    std::string text;
    while (text.size() < 2500)
      text += unit;
    for (int k = 0, flips = static_cast<int>(r.below(6)); k < flips; ++k)
      text[r.below(text.size())] = "abc"[r.below(3)];
    const std::size_t p = 17 + r.below(80);
    std::string pattern = text.substr(r.below(text.size() - p), p);
    if (r.below(3) != 0)
      pattern[p - 1 - r.below(4)] = "abc"[r.below(3)];
    check_all(pattern, text, "nearly periodic round " + std::to_string(round), round < 10);
  }
}

// Texts that change character part-way: prose, then copies of the pattern with its last byte
// changed (candidates at every copy, each failing at its end) and now and then the pattern, then
// prose again. A filter planned for prose lets the copies through, and the watch must plan it
// again on what comes next, then find the matches among the copies.
TEST(SeekpatDifferential, TextsThatChangeCharacter) {
  textgen::rng r(4242);
  for (int round = 0; round < 8; ++round) {
    std::string text(24000, '\0');
    textgen::english(text.data(), text.size(), r.next());
    const std::size_t p = 9 + r.below(40);
    const std::string pattern = text.substr(r.below(10000), p);
    std::string almost = pattern;
    almost[p - 1] = static_cast<char>(almost[p - 1] ^ 1);
    // In half the rounds the copies run to the text's end, where the watch samples what is left.
    const std::size_t from = round % 2 ? text.size() - 3000 : 16000;
    for (std::size_t at = from; at + p <= from + 3000; at += p)
      text.replace(at, p, r.below(20) ? almost : pattern);
    const std::string expected = reference_map(pattern, text);
    for (kernel k : kernels())
      for (int threads : {1, 3}) {
        tuning t; // the default plan for prose, watched over short windows
        t.kern = k;
        t.threads = threads;
        t.min_share = 1;
        t.replan_window = 256;
        t.sample_spacing = 64;
        const std::string what = "changing round " + std::to_string(round);
        EXPECT_EQ(plan_for(pattern, text, t).route, seekpat_internal::route_kind::filter) << what;
        check(pattern, text, t, what, expected);
        // The watch follows a fresh map's pieces too, whose stretches are decided last to first:
        // wherever it plans the filter again on a warm map, it does on a fresh one.
        t.fresh_page = 320;
        t.fresh_stretch = 64;
        t.fresh_max_p = ~std::size_t(0);
        std::size_t replanned[2];
        for (int fresh : {0, 1}) {
          t.fresh = fresh;
          std::string map(text.size(), '\0');
          const std::size_t before = seekpat_internal::replans();
          seekpat_internal::search(pattern.data(), p, text.data(), text.size(), map.data(), t);
          replanned[fresh] = seekpat_internal::replans() - before;
          EXPECT_EQ(map, expected) << what << (fresh ? " fresh" : " warm");
        }
        EXPECT_TRUE(replanned[1] || !replanned[0]) << what << ": no watch on a fresh map";
      }
  }
}

// Texts whose sample never sees the rarest pattern bytes together: the quiet loop (of the filter,
// or of the rare lanes of patterns up to 16 bytes) tests one byte ('a' only where planted) or two
// ('a' and 'b' each common, never at the pattern's distance but where planted) and decides the rest
// where those pass. Matches are planted outside the sample at every alignment, so they fall in
// either block of a step. In the last third near misses pass the loop's bytes in vain (and the
// watch takes it back to three), or miss by one byte, the last among them.
TEST(SeekpatDifferential, QuietLoopOnFewerBytes) {
  textgen::rng r(77);
  for (int round = 0; round < 12; ++round) {
    const std::size_t loop_bytes = 1 + round % 2, n = 40000 + r.below(3000);
    const std::size_t p = round < 8 ? 4 + r.below(13) : 17 + r.below(40);
    std::string text(n, '\0'), pattern(p, '\0');
    textgen::random_over(text.data(), n, "xyz", 3, r.next());
    textgen::random_over(pattern.data(), p, "xyz", 3, r.next());
    const std::size_t ja = r.below(p - 2), jb = ja + 2 + 2 * r.below((p - ja - 1) / 2);
    pattern[ja] = 'a';
    if (loop_bytes == 2) { // 'a' at even positions only, 'b' at odd ones: jb - ja is even
      pattern[jb] = 'b';
      for (std::size_t x = 0; x + 1 < n; x += 2 + 2 * r.below(40))
        text[x] = 'a', text[x + 1 + 2 * r.below(20) % (n - x - 1)] = 'b';
    }
    const std::size_t fit = n - p + 1, gap = (fit - 64) / 63; // the sample's chunks
    for (std::size_t k = 0; k < 80; ++k) {
      std::size_t at = r.below(fit - p);
      if (at % gap < 64 + p || at / gap >= 63)
        continue;
      std::string copy = pattern;
      if (at > 2 * n / 3 && k % 2) // a near miss: the loop's bytes in place, every other one wrong
        for (std::size_t j = 0; j < p; ++j)
          copy[j] = copy[j] >= 'x' ? "yzx"[copy[j] - 'x'] : copy[j];
      else if (at > 2 * n / 3) // one byte wrong, often the last
        for (std::size_t j = k % 3 ? r.below(p) : p - 1;; j = (j + p - 1) % p)
          if (copy[j] >= 'x') {
            copy[j] = "yzx"[copy[j] - 'x'];
            break;
          }
      text.replace(at, p, copy);
    }
    std::size_t off[4], chosen = 0;
    seekpat_internal::choose_filter_sampled(reinterpret_cast<const unsigned char*>(pattern.data()),
                                            p, reinterpret_cast<const unsigned char*>(text.data()),
                                            fit, 64, 64, off, nullptr, &chosen);
    EXPECT_EQ(chosen, loop_bytes) << "round " << round;
    const std::string expected = reference_map(pattern, text);
    for (kernel k : kernels())
      for (int threads : {1, 3}) {
        tuning t;
        t.kern = k;
        t.threads = threads;
        t.min_share = 1;
        t.sample_min = t.sample_spacing = 64;
        t.replan_window = 4096;
        check(pattern, text, t, "fewer bytes round " + std::to_string(round), expected);
      }
  }
}

// A four-letter alphabet, unevenly used as in DNA: the three rarest bytes of a pattern of up to
// 8 bytes pass one position in a few hundred, so most blocks hold a candidate for exact lanes to
// compare every byte of, while the pattern itself matches almost nowhere: a count takes rare
// lanes (plan_for plans a count). Where its copies are planted every 40 bytes,
// its candidates are mostly matches and exact lanes stay.
TEST(SeekpatDifferential, SmallAlphabetsTakeRareLanes) {
  textgen::rng r(64);
  std::string text(40000, '\0');
  textgen::random_over(text.data(), text.size(), "aaaccgtt", 8, r.next());
  for (std::size_t p : {6, 8}) {
    const std::string pattern = text.substr(r.below(30000), p);
    EXPECT_EQ(plan_for(pattern, text, tunings(false)[1]).route,
              seekpat_internal::route_kind::rare_lanes)
        << pattern;
    check_all(pattern, text, "acgt, p=" + std::to_string(p));
    std::string dense = text;
    for (std::size_t at = 0; at + p <= dense.size(); at += 40)
      dense.replace(at, p, pattern);
    EXPECT_EQ(plan_for(pattern, dense, tunings(false)[1]).route,
              seekpat_internal::route_kind::exact_lanes)
        << pattern;
    check_all(pattern, dense, "acgt planted, p=" + std::to_string(p));
  }
}

// Counting, a pattern of up to 8 bytes whose filter bytes pass a few positions in a thousand and
// that matches about one in 2000 takes rare lanes, watched; where the text turns into near-copies
// that pass the loop's bytes in every step, exact lanes take over, and the count stays exact.
TEST(SeekpatDifferential, RareLanesGiveWayToExactLanes) {
  textgen::rng r(77);
  for (std::size_t p : {6, 8}) {
    std::string text(60000, '\0');
    textgen::random_over(text.data(), text.size(), "abcdefgh", 8, r.next());
    const std::string pattern = text.substr(100, p);
    for (std::size_t at = 2000; at + p <= text.size(); at += 2000 + r.below(100))
      text.replace(at, p, pattern);
    const tuning sampled = tunings(false)[1];
    const seekpat_internal::plan pl = plan_for(pattern, text, sampled);
    ASSERT_EQ(pl.route, seekpat_internal::route_kind::rare_lanes) << pattern;
    EXPECT_GT(pl.max_passes, 0) << pattern;
    // From 30000 on, copies that differ in a byte the loop does not test, every 40 bytes.
    std::size_t spare = 0;
    while (spare == pl.filter_off[0] || spare == pl.filter_off[1] || spare == pl.filter_off[2])
      ++spare;
    std::string near = pattern;
    near[spare] = near[spare] == 'a' ? 'b' : 'a';
    for (std::size_t at = 30000; at + p <= text.size(); at += 40)
      text.replace(at, p, r.below(10) ? near : pattern);
    const std::size_t want = reference_positions(pattern, text).size();
    for (kernel k : kernels()) {
      tuning t = sampled;
      t.kern = k;
      t.replan_window = 4096;
      const std::size_t before = seekpat_internal::replans();
      EXPECT_EQ(seekpat_internal::run_search(reinterpret_cast<const unsigned char*>(pattern.data()),
                                             p, nullptr, nullptr,
                                             reinterpret_cast<const unsigned char*>(text.data()),
                                             text.size(), nullptr, true, t),
                want)
          << pattern << " " << name(k);
      EXPECT_GT(seekpat_internal::replans(), before) << pattern << " " << name(k);
    }
    check_all(pattern, text, "near copies, p=" + std::to_string(p));
  }
}

// Records of ';'-separated fields, most of them ending in one run of fields: a pattern of 9 to 16
// bytes from that run matches at most positions its filter passes, which the sample sees, and
// takes rare lanes.
TEST(SeekpatDifferential, RecordsWhoseCandidatesAreMostlyMatches) {
  textgen::rng r(31);
  std::string text;
  while (text.size() < 30000)
    text += std::to_string(r.below(100000)) + ";CHARACTER NAME " + std::to_string(r.below(1000)) +
            " WITH A LONGER DESCRIPTION" +
            (r.below(4) ? ";Lu;0;L;;;;;N;;;;;\n" : ";Ll;0;R;;;;;Y;;;;;\n");
  for (const std::string pattern : {";0;L;;;;;N;", "u;0;L;;;;;N;;;;;"}) {
    const seekpat_internal::plan pl = plan_for(pattern, text, tunings(false)[1]);
    EXPECT_EQ(pl.route, seekpat_internal::route_kind::rare_lanes) << pattern;
    check_all(pattern, text, "records, p=" + std::to_string(pattern.size()));
  }
}

TEST(SeekpatEdges, EmptyTextLongPatternAndWholeText) {
  check_all("a", "", "n = 0");
  check_all("abc", "ab", "p > n");
  check_all(std::string(100, 'x'), std::string(99, 'x'), "p = n + 1");
  check_all(std::string(100, 'x'), std::string(100, 'x'), "p = n");
  check_all("z", std::string(257, 'z'), "every position, p = 1");
}

// The planner's samples at the smallest texts they take, a sample every position: a periodic
// pattern in texts of 60 to 80 bytes, and lines of 2,049 to 4,095 bytes, longer than a run tile
// holds, of a periodic unit; the guards of both (pl.fit >= 64 + q, text_period_max) keep every
// read inside the text and every mark inside the tile.
TEST(SeekpatEdges, SamplesAtTheirSmallestTexts) {
  for (kernel k : kernels()) {
    tuning t = path_knobs::tuning_for(k, 1, path_knobs::general_small | path_knobs::sampled);
    t.sample_spacing = 1;
    for (std::size_t n = 60; n <= 80; ++n) {
      std::string text;
      while (text.size() < n)
        text += "ab";
      text.resize(n);
      text[n / 3] = 'c';
      check("abab", text, t, "n=" + std::to_string(n), reference_map("abab", text));
    }
  }
  // Lines that repeat whole, each breaking the pattern's period often at its end: the text's
  // period is the line, past what a run tile holds from 2,049 bytes on.
  std::string unit;
  for (int j = 0; j < 20; ++j)
    unit += "ab";
  for (std::size_t line : {2046u, 2050u, 3000u, 4080u, 4094u}) {
    std::string row;
    while (row.size() < line)
      row += "ab";
    row.resize(line);
    for (std::size_t at : {std::size_t(300), std::size_t(1100), line - 16}) // breaks, unevenly
      row.replace(at, 16, "xyzwxyzwxyzwxyz\n");
    std::string text;
    while (text.size() < 40000)
      text += row;
    const std::string what = "lines of " + std::to_string(line);
    const seekpat_internal::plan pl = plan_for(unit, text, tunings(false)[1]);
    EXPECT_EQ(pl.route, seekpat_internal::route_kind::dense_periodic) << what;
    EXPECT_EQ(pl.text_period, line <= seekpat_internal::text_period_max ? line : 0) << what;
    check_all(unit, text, what);
  }
}

// Patterns longer than both 256 bytes and the positions where they fit: the filter looks at
// offsets sampled over the pattern, which must all lie inside it, apart from one another.
TEST(SeekpatEdges, FilterOffsetsSampledOverLongPatterns) {
  textgen::rng r(5);
  for (std::size_t p : {300, 1000, 4099}) {
    std::string text(p + 256 + r.below(200), '\0');
    textgen::random_over(text.data(), text.size(), "abcd", 4, r.next());
    const std::string pattern = text.substr(text.size() - p - 1, p);
    check_all(pattern, text, "sampled filter, p=" + std::to_string(p));
    std::size_t off[4];
    seekpat_internal::choose_filter(reinterpret_cast<const unsigned char*>(pattern.data()), p,
                                    text.size() - p + 1, off);
    for (int k = 0; k < 4; ++k) {
      EXPECT_LT(off[k], p);
      for (int j = 0; j < k; ++j)
        EXPECT_GT(off[k] > off[j] ? off[k] - off[j] : off[j] - off[k], 1u);
    }
  }
  // Long patterns that depart from the text only at their end: a lone rare byte, with or without
  // a sample, and a break of the text's period (the last byte tested together with another).
  // Offsets that miss it make every position, or every other one, a candidate.
  std::string ab(1u << 20, 'a'), ab_tail;
  for (std::size_t k = 1; k < ab.size(); k += 2)
    ab[k] = 'b';
  for (int k = 0; k < 499; ++k)
    ab_tail += "ab";
  ab_tail += "aa";
  const std::string rare_tail = std::string(1000, 'a') + "b", all_a(1u << 20, 'a');
  std::size_t off[4];
  auto sampled = [&](const std::string& pattern, const std::string& text) {
    return seekpat_internal::choose_filter_sampled(
        reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size(),
        reinterpret_cast<const unsigned char*>(text.data()), text.size() - pattern.size() + 1,
        128u << 10, 16u << 10, off);
  };
  EXPECT_EQ(sampled(rare_tail, all_a), 0.0);
  EXPECT_EQ(sampled(ab_tail, ab), 0.0);
  // Lines of 64 hex digits: the line end is the rarest byte, but a second one a line further on
  // adds nothing; four bytes of four values pass about one position in 270000.
  std::string lines(1u << 20, '\n');
  for (std::size_t at = 0; at + 65 <= lines.size(); at += 65)
    textgen::random_over(&lines[at], 64, "0123456789abcdef", 16, at);
  const std::string piece = lines.substr(lines.size() / 3, 500);
  sampled(piece, lines);
  std::size_t passed = 0;
  for (std::size_t x = 0; x + piece.size() <= lines.size(); ++x) {
    bool pass = true;
    for (const std::size_t o : off)
      pass &= lines[x + o] == piece[o];
    passed += pass;
  }
  EXPECT_LT(passed, lines.size() / 16384);
  seekpat_internal::choose_filter(reinterpret_cast<const unsigned char*>(rare_tail.data()),
                                  rare_tail.size(), 300, off);
  EXPECT_TRUE(off[0] == 1000 || off[1] == 1000 || off[2] == 1000);
}

// Piece bounds land on every position of small texts when 16 threads share them.
TEST(SeekpatParallel, EveryChunkBoundary) {
  textgen::rng r(99);
  for (std::size_t n = 1; n <= 160; n += 3) {
    std::string text(n, '\0');
    textgen::random_over(text.data(), n, "ab", 2, r.next());
    for (const char* pattern : {"a", "ab", "aba", "abababab", "ababababa", "aaaaaaaaaaaa"})
      for (kernel k : kernels()) {
        tuning t;
        t.kern = k;
        t.threads = 16;
        t.min_share = 1;
        t.granule = 1;
        t.short_max = 0;
        check(pattern, text, t, "n=" + std::to_string(n), reference_map(pattern, text));
      }
  }
}

// Through the public entry point with its real defaults: a text large enough for several
// threads, streaming stores and huge-page advice.
TEST(SeekpatPublic, LargeTextWithDefaults) {
  const std::size_t n = (9u << 20) + 77;
  std::string text(n, '\0');
  textgen::english(text.data(), n, 5);
  for (const char* pattern : {"e", " the ", "Holmes", "quixotic jazz", "not in this text at all"}) {
    guarded_buffer out(n);
    std::memset(out.data(), 0xEE, n);
    seekpat(pattern, text.data(), out.data(), static_cast<int>(n));
    EXPECT_TRUE(std::string(out.data(), n) == reference_map(pattern, text)) << pattern;
    EXPECT_TRUE(out.front_intact());
  }
}

TEST(SeekpatPublic, EmptyPatternMarksEveryPositionAndNonPositiveNWritesNothing) {
  char out[4] = {9, 9, 9, 9};
  seekpat("", "abc", out, 3);
  EXPECT_EQ(std::string(out, 4), std::string("\1\1\1\x09", 4));
  seekpat("a", "abc", out, 0);
  seekpat("a", "abc", out, -5);
  EXPECT_EQ(std::string(out, 4), std::string("\1\1\1\x09", 4));
}

} // namespace
