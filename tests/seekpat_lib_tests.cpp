// The library API: prepared patterns reused across texts against the definition, a count over more
// than 2^31 bytes, a list linear in long patterns, thread counts, concurrent callers and signals,
// and the answer to every bad argument.
#include "reference.h"
#include "seekpat.hpp"
#include "textgen.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using seekpat_lib::pattern;

void expect_all_ways(const pattern& pat, const std::string& text, unsigned threads,
                     const std::string& what, const std::vector<std::size_t>& want) {
  std::string map(text.size(), '\xEE');
  pat.map(text.data(), text.size(), map.data(), threads);
  std::string want_map(text.size(), '\0');
  for (std::size_t i : want)
    want_map[i] = 1;
  EXPECT_TRUE(map == want_map) << what << ": map";
  EXPECT_EQ(pat.count(text.data(), text.size(), threads), want.size()) << what << ": count";
  EXPECT_EQ(pat.find_all(text.data(), text.size(), threads), want) << what << ": positions";
}

// The library's helpers now running, by the name they give themselves.
std::size_t helpers_now() {
  std::size_t k = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      char name[64] = {};
      const std::string comm = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (FILE* f = e->d_name[0] != '.' ? std::fopen(comm.c_str(), "r") : nullptr) {
        k += std::fgets(name, sizeof name, f) && std::strcmp(name, "seekpat\n") == 0;
        std::fclose(f);
      }
    }
    closedir(d);
  }
  return k;
}

// One prepared pattern, many texts: nothing planned for one text may leak into the next.
TEST(SeekpatLib, PreparedPatternsReusedAcrossTexts) {
  textgen::rng r(77);
  const char* alphabets[] = {"ab", "abc", "a\0\xff"};
  for (int round = 0; round < 40; ++round) {
    const char* alpha = alphabets[round % 3];
    const std::size_t k = round % 3 == 2 ? 3 : std::strlen(alpha);
    std::string bytes(1 + r.below(round % 2 ? 60 : 9), '\0');
    textgen::random_over(bytes.data(), bytes.size(), alpha, k, r.next());
    const pattern pat(bytes.data(), bytes.size());
    EXPECT_EQ(pat.size(), bytes.size());
    for (int t = 0; t < 5; ++t) {
      std::string text(r.below(3000), '\0');
      textgen::random_over(text.data(), text.size(), alpha, k, r.next());
      if (text.size() > bytes.size() && r.below(2)) // plant a run of the pattern
        for (std::size_t at = r.below(text.size() - bytes.size());
             at + bytes.size() <= text.size() && r.below(4); at += bytes.size())
          text.replace(at, bytes.size(), bytes);
      expect_all_ways(pat, text, 1, "round " + std::to_string(round),
                      reference_positions(bytes, text));
    }
  }
  // Texts on either side of the size up to which a list comes off a map, matches at both ends.
  const pattern five("abaab");
  for (std::size_t n : {65535u, 65536u, 65537u, 65539u}) {
    std::string text(n, '\0');
    textgen::random_over(text.data(), n, "ab", 2, n);
    text.replace(0, 5, "abaab");
    text.replace(n - 5, 5, "abaab");
    for (unsigned threads : {1u, 2u})
      expect_all_ways(five, text, threads, "n=" + std::to_string(n),
                      reference_positions("abaab", text));
  }
}

// A stream in chunks of every kind (empty, one byte, shorter than the pattern, across several
// boundaries at once, large) gives what the whole text gives: each occurrence once, in order,
// at its offset; and counts alike.
TEST(SeekpatLib, StreamsInChunksAsOneText) {
  textgen::rng r(909);
  for (int round = 0; round < 60; ++round) {
    const std::size_t p = round % 10 == 0 ? 0 : 1 + r.below(round % 3 ? 6 : 90);
    std::string bytes(p, '\0'), text(r.below(round % 4 ? 3000 : 200000), '\0');
    textgen::random_over(bytes.data(), p, "ab", 2, r.next());
    textgen::random_over(text.data(), text.size(), "ab", 2, r.next());
    for (std::size_t at = 0; p && text.size() > p && at + p <= text.size(); at += 1 + r.below(300))
      text.replace(at, p, bytes);
    std::vector<std::size_t> want = reference_positions(bytes, text);
    if (p == 0) // every position of the text, none at its end
      want.pop_back();
    seekpat_lib::stream_searcher offsets{pattern(bytes)}, counts{pattern(bytes), 1};
    std::vector<std::size_t> got;
    std::uint64_t counted = 0;
    for (std::size_t at = 0; at <= text.size();) {
      const std::size_t kinds[] = {0, 1, p > 1 ? p - 2 : 0, p, r.below(3 * p + 2), 70000};
      const std::size_t k = std::min(kinds[r.below(6)], text.size() - at);
      EXPECT_TRUE(offsets.feed(text.data() + at, k, [&](std::uint64_t x) { got.push_back(x); }));
      counted += counts.feed_count(text.data() + at, k);
      at += k;
      if (at == text.size())
        break;
    }
    EXPECT_EQ(got, want) << "round " << round << " p=" << p;
    EXPECT_EQ(counted, want.size()) << "round " << round;
    EXPECT_EQ(offsets.offset(), text.size());
  }
}

// A chunk whose callback stops or throws at its first occurrence loses that chunk's reports and
// nothing else: the occurrences that later chunks complete, those that start in the chunk that
// failed included, all come; and a pattern that periodic near misses keep matching far into the
// state does the same. Broken once (the state left where the callback stopped): fails.
TEST(SeekpatLib, StreamsStayExactAfterAStopOrAnException) {
  textgen::rng r(4242);
  for (int round = 0; round < 80; ++round) {
    const std::size_t p = 2 + r.below(round % 2 ? 5 : 70);
    std::string bytes(p, '\0'), text(r.below(round % 4 ? 2000 : 150000), '\0');
    textgen::random_over(bytes.data(), p, "ab", 2, r.next());
    textgen::random_over(text.data(), text.size(), "ab", 2, r.next());
    if (round % 3 == 1) { // a periodic pattern in long runs: several ends in one short chunk
      for (std::size_t k = 0; k < p; ++k)
        bytes[k] = "aab"[k % 3];
      for (std::size_t k = 0; k < text.size(); ++k)
        text[k] = r.below(500) ? "aab"[k % 3] : 'b';
    }
    for (std::size_t at = 0; round % 3 != 1 && at + p <= text.size(); at += 1 + r.below(2 * p))
      text.replace(at, p, bytes);
    const std::vector<std::size_t> all = reference_positions(bytes, text);
    seekpat_lib::stream_searcher s{pattern(bytes), round % 3 == 0 ? 1u : 0u};
    std::vector<std::size_t> got, want;
    for (std::size_t at = 0, chunk = 0; at < text.size(); ++chunk) {
      const std::size_t kinds[] = {1, p - 1, p, r.below(3 * p + 2)};
      const std::size_t k = std::min(r.below(16) ? kinds[r.below(4)] : 70000, text.size() - at);
      const bool fail = r.below(4) == 0, by_throwing = round % 2;
      for (std::size_t x : all) // those it completes, unless it fails
        if (!fail && x + p > at && x + p <= at + k)
          want.push_back(x);
      bool stopped = false;
      try {
        stopped = !s.feed(text.data() + at, k, [&](std::uint64_t x) {
          if (fail && by_throwing)
            throw std::runtime_error("from the callback");
          if (!fail)
            got.push_back(x);
          return !fail;
        });
      } catch (const std::runtime_error&) {
        stopped = true;
      }
      const bool any = std::any_of(all.begin(), all.end(),
                                   [&](std::size_t x) { return x + p > at && x + p <= at + k; });
      EXPECT_EQ(stopped, fail && any) << "round " << round << " chunk " << chunk;
      at += k;
    }
    EXPECT_EQ(got, want) << "round " << round << " p=" << p;
    EXPECT_EQ(s.offset(), text.size());
  }
}

// A 16 MiB pattern over 64 MiB fed in chunks of a few bytes (the first 40 MiB), then of a few
// bytes to a few MiB: each feed costs its chunk, not the pattern (a searcher that joins p - 1
// held bytes to each chunk copies some 48 MiB per feed, many minutes here; the ctest timeout
// catches that).
TEST(SeekpatLib, StreamsAreLinearInLongPatterns) {
  const std::size_t n = 64u << 20, p = 16u << 20;
  std::string text(n, 'a');
  const std::vector<std::size_t> want = {(1u << 20) + 1, (20u << 20) + 3, n - p};
  for (std::size_t at : want)
    text[at + p - 1] = 'b';
  const pattern pat(std::string(p - 1, 'a') + "b");
  seekpat_lib::stream_searcher offsets{pat}, counts{pat, 1};
  std::vector<std::size_t> got;
  std::uint64_t counted = 0;
  textgen::rng r(5);
  for (std::size_t at = 0; at < n;) {
    const bool small = at < (40u << 20) || r.below(4);
    const std::size_t k =
        std::min<std::size_t>(small ? 1 + r.below(1000) : r.below(24u << 20), n - at);
    offsets.feed(text.data() + at, k, [&](std::uint64_t x) { got.push_back(x); });
    counted += counts.feed_count(text.data() + at, k);
    at += k;
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(counted, want.size());
}

// Sizes past what an int holds: an untouched anonymous mapping reads as zeros and costs no
// memory, with occurrences planted in its last pages and one across the 2^31 mark.
TEST(SeekpatLib, CountsPastTwoGigabytes) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "reading 2 GiB under ThreadSanitizer takes minutes";
#endif
  const std::size_t n = (std::size_t(1) << 31) + 3 * 4096 + 17;
  void* m =
      mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(m, MAP_FAILED);
  char* text = static_cast<char*>(m);
  const std::string needle = "needle in a very large haystack";
  const std::vector<std::size_t> at = {(std::size_t(1) << 31) - 5, n - 9000, n - 4096,
                                       n - needle.size()};
  for (std::size_t a : at)
    std::memcpy(text + a, needle.data(), needle.size());
  const pattern pat(needle);
  for (unsigned threads : {1u, 0u}) {
    EXPECT_EQ(pat.count(text, n, threads), at.size()) << threads;
    EXPECT_EQ(pat.find_all(text, n, threads), at) << threads;
  }
  EXPECT_EQ(pattern("\0\0\0", 3).count(text, 1u << 20), (1u << 20) - 2);
  munmap(m, n);
}

// Every position a near miss of a 4 MiB pattern: listing them planned window by window on its
// own re-verified up to p bytes per 64 KiB window, minutes here. The ctest timeout catches that.
TEST(SeekpatLib, ListingIsLinearInLongPatterns) {
  const std::size_t n = 64u << 20, p = 4u << 20;
  std::string text(n, 'a');
  const std::vector<std::size_t> want = {(8u << 20) - p + 1, (30u << 20) - p + 1, n - p};
  for (std::size_t at : want)
    text[at + p - 1] = 'b';
  const pattern pat(std::string(p - 1, 'a') + "b");
  for (unsigned threads : {1u, 0u}) {
    EXPECT_EQ(pat.find_all(text.data(), n, threads), want) << threads;
    std::vector<std::size_t> seen;
    pat.for_each(
        text.data(), n, [&](std::size_t x) { seen.push_back(x); }, threads);
    EXPECT_EQ(seen, want) << threads;
  }
}

// Pieces of every size over small and large texts, on every thread count: each slot holds one
// piece's starts, in order, until its done, and the pieces come in order: together, the
// definition. A stop and a throw from work end it with what was handed on exact.
TEST(SeekpatLib, PiecesHandedOnInOrder) {
  textgen::rng r(61);
  std::string text(9u << 20, '\0');
  textgen::english(text.data(), text.size(), 8);
  for (int round = 0; round < 24; ++round) {
    const std::string bytes = round % 4 == 3 ? "e" : round % 4 ? " the " : "Holmes";
    const std::size_t n = round % 3 == 0 ? r.below(70000) : (1u << 20) + r.below(8u << 20);
    const std::size_t piece = round % 5 == 0 ? 1 + r.below(50) : 1 + r.below(3u << 20);
    const unsigned threads = round % 4 == 3 ? 4096 : round % 4; // a ceiling past the hardware
    const std::vector<std::size_t> want = reference_positions(bytes, text.substr(0, n));
    std::vector<std::vector<std::size_t>> slots;
    std::vector<std::size_t> got;
    std::size_t last_end = 0, pieces = 0;
    const bool all = pattern(bytes).for_each_piece(
        text.data(), n, piece, [&](std::size_t k) { slots.resize(k); },
        [&](std::size_t slot, const std::size_t* at, std::size_t k) {
          slots.at(slot).insert(slots[slot].end(), at, at + k);
        },
        [&](std::size_t slot, std::size_t end) {
          for (std::size_t x : slots.at(slot))
            EXPECT_TRUE(x >= last_end && x < end) << x << " in [" << last_end << ", " << end << ")";
          EXPECT_GT(end, last_end);
          got.insert(got.end(), slots[slot].begin(), slots[slot].end());
          slots[slot].clear();
          last_end = end;
          ++pieces;
        },
        threads);
    const std::string what = "round " + std::to_string(round) + " n=" + std::to_string(n);
    EXPECT_TRUE(all);
    EXPECT_EQ(got, want) << what;
    EXPECT_EQ(last_end, n) << what;
    EXPECT_LE(slots.size(), 8 * std::max(1u, std::thread::hardware_concurrency())) << what;
    EXPECT_LE(pieces, n / std::max<std::size_t>(piece, 1) + 1) << what;
  }
  // A ceiling past the hardware gets no more than it: eight slots per hardware thread.
  const std::string zeros(64u << 20, '\0');
  std::size_t slots_given = 0;
  pattern("needle").for_each_piece(
      zeros.data(), zeros.size(), 1u << 20, [&](std::size_t k) { slots_given = k; },
      [](std::size_t, const std::size_t*, std::size_t) {}, [](std::size_t, std::size_t) {}, 4096);
  EXPECT_LE(slots_given, 8 * std::max(1u, std::thread::hardware_concurrency()));
  const pattern e("e");
  std::size_t handed = 0;
  EXPECT_FALSE(e.for_each_piece(
      text.data(), text.size(), 1u << 16, [](std::size_t) {},
      [](std::size_t, const std::size_t*, std::size_t) {}, // on any thread: touches nothing shared
      [&](std::size_t, std::size_t) { return ++handed < 3; }));
  EXPECT_EQ(handed, 3u);
  EXPECT_THROW(e.for_each_piece(
                   text.data(), text.size(), 1u << 16, [](std::size_t) {},
                   [&](std::size_t, const std::size_t* at, std::size_t) {
                     if (*at > (4u << 20))
                       throw std::runtime_error("from work");
                   },
                   [&](std::size_t, std::size_t end) { EXPECT_LE(end, 4u << 20); }),
               std::runtime_error);
  EXPECT_THROW(e.for_each_piece(
                   text.data(), 1, 0, [](std::size_t) {},
                   [](std::size_t, const std::size_t*, std::size_t) {},
                   [](std::size_t, std::size_t) {}),
               std::invalid_argument);
}

// Any thread count gives the same answer, and one pattern serves several threads at once.
TEST(SeekpatLib, ThreadCountsAndSharing) {
  const std::size_t n = (9u << 20) + 333;
  std::string text(n, '\0');
  textgen::english(text.data(), n, 3);
  for (const char* p : {"e", " the ", "Holmes", "jazz quixotic zephyr", "absent from the text"}) {
    const pattern pat(p);
    const std::vector<std::size_t> want = reference_positions(p, text);
    for (unsigned threads : {1u, 2u, 3u, 0u})
      expect_all_ways(pat, text, threads, std::string(p) + " threads=" + std::to_string(threads),
                      want);
  }
  // One thread searches on the caller alone: a child of fork starts with no helper, and
  // has none after a search on one thread.
  const pid_t child = fork();
  if (child == 0)
    _exit(pattern(" the ").count(text.data(), n, 1) == reference_positions(" the ", text).size() &&
                  helpers_now() == 0
              ? 0
              : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "threads=1 started a helper, or counted wrong";
  // Concurrent callers asking for many threads share one set of helpers, no more than the
  // hardware has, and no thread of the library takes a signal sent to the process: the callers
  // leave signals open, this thread blocks them, so a thread started with a caller's mask would
  // get some of them.
  const pattern shared(" and ");
  const std::size_t want = reference_positions(" and ", text).size();
  static std::atomic<int> caught{0}, elsewhere{0};
  static std::atomic<pid_t> caller_tids[5]; // and this thread's, for what is pending at the end
  caller_tids[4] = gettid();
  std::vector<std::size_t> got(4);
  struct sigaction sa = {};
  sa.sa_handler = [](int) {
    bool mine = false;
    for (const std::atomic<pid_t>& t : caller_tids)
      mine |= t.load() == gettid();
    ++(mine ? caught : elsewhere);
  };
  struct sigaction old_sa;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_sa), 0);
  sigset_t usr1, old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &old_mask);
  std::atomic<int> running{4};
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < got.size(); ++c)
    callers.emplace_back([&, c] {
      caller_tids[c] = gettid();
      pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
      for (int round = 0; round < 8; ++round)
        got[c] = shared.count(text.data(), n, 64);
      --running;
    });
  std::size_t most_helpers = 0;
  while (running.load() > 0) {
    kill(getpid(), SIGUSR1);
    most_helpers = std::max(most_helpers, helpers_now());
  }
  for (std::thread& th : callers)
    th.join();
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGUSR1, &old_sa, nullptr);
  for (std::size_t g : got)
    EXPECT_EQ(g, want);
  EXPECT_EQ(elsewhere.load(), 0) << "signals taken by the library's threads (" << caught.load()
                                 << " by the callers)";
  // At most as many helpers as the hardware has threads less one (the caller is the other).
  EXPECT_GE(most_helpers, std::thread::hardware_concurrency() > 1 ? 1u : 0u);
  EXPECT_LE(most_helpers, std::thread::hardware_concurrency() - 1);
}

TEST(SeekpatLib, BadArguments) {
  EXPECT_THROW(pattern(nullptr, 1), std::invalid_argument);
  const pattern empty(nullptr, 0); // the empty pattern occurs at every position
  std::string map(3, '\xEE');
  empty.map("abc", 3, map.data());
  EXPECT_EQ(map, std::string(3, '\1'));
  EXPECT_EQ(empty.count("abc", 3), 3u);
  EXPECT_EQ(empty.find_all("abc", 3), (std::vector<std::size_t>{0, 1, 2}));

  const pattern pat("ab");
  EXPECT_THROW(pat.map(nullptr, 1, map.data()), std::invalid_argument);
  EXPECT_THROW(pat.map("ab", 2, nullptr), std::invalid_argument);
  EXPECT_THROW(pat.count(nullptr, 1), std::invalid_argument);
  EXPECT_THROW(pat.find_all(nullptr, 1), std::invalid_argument);
  pat.map(nullptr, 0, nullptr); // n = 0: nothing to read or write
  EXPECT_EQ(pat.count(nullptr, 0), 0u);
  EXPECT_TRUE(pat.find_all(nullptr, 0).empty());
  EXPECT_EQ(pat.count("a", 1), 0u); // longer than the text
  std::string both = "abab";
  EXPECT_THROW(pat.map(both.data(), 4, both.data() + 3), std::invalid_argument); // overlap
  EXPECT_THROW(pat.map(both.data() + 1, 3, both.data()), std::invalid_argument);
  pat.map(both.data(), 2, both.data() + 2); // side by side
  EXPECT_EQ(both, std::string("ab\1\0", 4));

  pattern from("abc"), to("x");
  to = std::move(from); // moving is copying: both stay valid
  const pattern moved(std::move(to));
  for (const pattern* q : std::vector<const pattern*>{&from, &to, &moved}) {
    EXPECT_EQ(q->bytes(), "abc");
    EXPECT_EQ(q->count("abcabc", 6), 2u);
  }
  std::size_t visited = 0; // a callback that returns false stops the search
  EXPECT_FALSE(pattern("a").for_each("aaaa", 4, [&](std::size_t) { return ++visited < 2; }));
  EXPECT_EQ(visited, 2u);
  EXPECT_TRUE(pattern("a").for_each("aaaa", 4, [&](std::size_t) { ++visited; }));
  EXPECT_EQ(visited, 6u);
  std::string sparse(10u << 20, 'x'); // past the small texts' path: planned in rounds
  for (std::size_t at = 0; at + 6 <= sparse.size(); at += 4096)
    sparse.replace(at, 6, "needle");
  for (unsigned threads : {1u, 0u}) {
    std::size_t calls = 0;
    EXPECT_FALSE(pattern("needle").for_each(
        sparse.data(), sparse.size(), [&](std::size_t) { return ++calls > 5; }, threads));
    EXPECT_EQ(calls, 1u) << threads;
  }

  const pattern nul(std::string("a\0b", 3)); // NUL is an ordinary byte
  EXPECT_EQ(nul.count("a\0ba\0b\0", 7), 2u);
  EXPECT_EQ(nul.bytes(), std::string("a\0b", 3));
}

} // namespace
