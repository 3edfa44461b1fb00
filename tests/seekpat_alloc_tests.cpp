// seekpat when memory runs out: each allocation it makes is failed in turn (that one alone, and
// every one from there on), and the map must still come out whole and right. This program
// replaces operator new, so that any allocation can be made to fail on demand.
#include "reference.h"
#include "seekpat.hpp"
#include "seekpat_internal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

// While armed, allocation number k (counted from 0 across all threads) fails when
// fail_from <= k <= fail_to.
std::atomic<bool> armed{false};
std::atomic<long> made{0};
long fail_from = -1, fail_to = -1;

bool must_fail() {
  if (!armed.load(std::memory_order_relaxed))
    return false;
  const long k = made.fetch_add(1);
  return k >= fail_from && k <= fail_to;
}

void* allocate(std::size_t size, std::size_t align) {
  if (must_fail())
    return nullptr;
  void* p = nullptr;
  if (align <= alignof(std::max_align_t))
    p = std::malloc(size ? size : 1);
  else if (posix_memalign(&p, align, size ? size : 1) != 0)
    p = nullptr;
  return p;
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
  if (void* p = allocate(size, align))
    return p;
  throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using seekpat_internal::tuning;

// Runs the search with allocations [from, to] failing; returns how many it attempted.
long search_failing(const std::string& pattern, const std::string& text, std::string& out,
                    const tuning& tune, long from, long to) {
  out.assign(text.size(), '\xEE');
  fail_from = from;
  fail_to = to;
  made = 0;
  armed = true;
  seekpat_internal::search(pattern.data(), pattern.size(), text.data(), text.size(), out.data(),
                           tune);
  armed = false;
  return made.load();
}

// Inputs that make the search allocate everything it can: a failure table (runs of matches and
// periodic near misses), a map tile, and threads.
TEST(SeekpatAllocationFailure, EveryAllocationFailingInTurnLeavesTheMapRight) {
  std::string unit;
  for (int k = 0; k < 20; ++k)
    unit += "ab";
  std::string text;
  while (text.size() < 20000)
    text += (text.size() / 1000) % 3 ? "ab" : "abb"; // runs that break, and late misses
  struct input {
    std::string pattern;
    const char* what;
  };
  const input inputs[] = {{unit + "a", "runs"}, {unit + "aa", "late misses"}};
  for (const input& in : inputs) {
    const std::string expected = reference_map(in.pattern, text);
    for (int threads : {1, 3}) {
      tuning t;
      t.threads = threads;
      t.min_share = 1;
      std::string out;
      const long total = search_failing(in.pattern, text, out, t, -1, -1);
      ASSERT_EQ(out, expected) << in.what;
      ASSERT_GE(total, threads == 1 ? 1 : 4) << in.what << ": fewer allocations than expected";
      for (long k = 0; k <= total; ++k) {
        for (long to : {k, 1L << 40}) { // the k-th alone, then all from the k-th on
          search_failing(in.pattern, text, out, t, k, to);
          EXPECT_TRUE(out == expected) << in.what << " threads=" << threads << ": allocations " << k
                                       << ".." << to << " failing";
        }
      }
#ifndef __SANITIZE_THREAD__ // which cannot start threads in a child of a threaded process
      // A child of fork starts with no helpers: there the helpers' crew and threads are among the
      // allocations that fail, and what they would have searched falls to the caller.
      for (long k = 0; threads > 1 && k <= total + 4; ++k) {
        const pid_t child = fork();
        if (child == 0) {
          search_failing(in.pattern, text, out, t, k, 1L << 40);
          _exit(out == expected ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0) << in.what << " in a new process: allocations from " << k
                             << " failing";
      }
#endif
    }
  }
}

// Positions listed while allocations fail: each one failing in turn (alone, then all from it on),
// the list comes out whole or the call throws std::bad_alloc, never a part of it.
TEST(SeekpatAllocationFailure, ListsWholeOrNone) {
  std::string text(200000, 'x');
  for (std::size_t at = 0; at + 6 <= text.size(); at += 78)
    text.replace(at, 6, "needle");
  const std::vector<std::size_t> want = reference_positions("needle", text);
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const auto* pat = reinterpret_cast<const unsigned char*>("needle");
  for (int threads : {1, 3}) {
    tuning tune;
    tune.threads = threads;
    tune.min_share = 1;
    int thrown = 0;
    for (long k = 0; k < 2 * 40; ++k) {
      fail_from = k / 2;
      fail_to = k % 2 ? 1L << 40 : k / 2;
      made = 0;
      armed = true;
      try {
        const std::vector<std::size_t> got =
            seekpat_internal::find_positions(pat, 6, nullptr, nullptr, t, text.size(), tune);
        armed = false;
        EXPECT_EQ(got.size(), want.size()) << "allocations " << fail_from << ".." << fail_to;
        EXPECT_TRUE(got == want);
      } catch (const std::bad_alloc&) {
        armed = false;
        ++thrown;
      }
      if (fail_from > made.load())
        break;
    }
    EXPECT_GT(thrown, 0) << threads;
  }
}

// A pattern and its stream searcher made while allocations fail: where both are made (a pattern
// without memory for its failure function makes the searcher hold bytes instead), the stream in
// chunks of every size gives every occurrence once, as the whole text does.
TEST(SeekpatAllocationFailure, StreamsMadeShortOfMemoryStayExact) {
  const std::string pat = "abaabaabaab"; // overlaps itself at 3, 6 and 8
  std::string text;
  for (int i = 0; text.size() < 5000; ++i) // whole copies, runs of them, and prefixes
    text += i % 4 ? pat.substr(0, 3 + i % 9) : pat + pat.substr(3);
  const std::vector<std::size_t> want = reference_positions(pat, text);
  ASSERT_GT(want.size(), 100u);
  int made_both = 0;
  for (long k = 0; k < 2 * 64; ++k) { // the k/2-th alone, then all from it on
    fail_from = k / 2;
    fail_to = k % 2 ? 1L << 40 : k / 2;
    made = 0;
    armed = true;
    bool made_it = false;
    std::vector<std::size_t> got;
    try {
      seekpat_lib::stream_searcher s{seekpat_lib::pattern(pat), 1};
      armed = false;
      made_it = true;
      for (std::size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 97 + 1) {
        const std::size_t len = std::min(step, text.size() - at);
        s.feed(text.data() + at, len, [&](std::uint64_t x) { got.push_back(x); });
      }
    } catch (const std::bad_alloc&) {
    }
    const long tried = made.load();
    armed = false;
    if (made_it) {
      ++made_both;
      EXPECT_EQ(got, want) << "allocations " << fail_from << ".." << fail_to << " failing";
    }
    if (fail_from > tried) // nothing failed: every allocation was tried
      break;
  }
  EXPECT_GE(made_both, 3);
}

} // namespace
