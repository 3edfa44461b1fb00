// The benchmark's harness: the clock, work split over every hardware thread, the floors that
// seekpat is measured against (copying the text into a fresh map, reading it, a streaming copy),
// seekpat timed on a fresh map as search_bench hands one over, and throughput on a prefix for
// slow methods.
#pragma once

#include "search_bench.h"
#include "seekpat.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <immintrin.h>
#include <string>
#include <thread>
#include <vector>

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs share(t, start, end) for share t of [0, n) on every hardware thread, share 0 on the calling
// one, and returns when all are done. Bounds are multiples of `align`, the last one n.
template <class F> void on_every_thread(std::size_t n, std::size_t align, const F& share) {
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto bound = [&](unsigned t) { return t == threads ? n : n / threads * t / align * align; };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t)
    pool.emplace_back([&, t] { share(t, bound(t), bound(t + 1)); });
  share(0u, std::size_t(0), bound(1));
  for (std::thread& th : pool)
    th.join();
}

// The floor: what any search that writes an n-byte map into fresh memory must at least pay.
// Copies the text into a fresh, huge-page-advised buffer with every hardware thread.
double time_floor(const char* text, std::size_t n) {
  const double start = now();
  char* buf = static_cast<char*>(std::malloc(n));
  advise_huge_pages(buf, n);
  on_every_thread(
      n, 1, [=](unsigned, std::size_t a, std::size_t b) { std::memcpy(buf + a, text + a, b - a); });
  const double t = now() - start;
  std::free(buf);
  return t;
}

// Reads a share of the text as fast as the core can and folds it into one word, so that the reads
// cannot be dropped.
__attribute__((target("avx2"))) std::uint64_t read_share_avx2(const char* text, std::size_t n) {
  __m256i a = _mm256_setzero_si256(), b = a;
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    a = _mm256_xor_si256(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i)));
    b = _mm256_xor_si256(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32)));
  }
  std::uint64_t acc = static_cast<std::uint64_t>(_mm256_extract_epi64(_mm256_xor_si256(a, b), 0));
  for (; i < n; ++i)
    acc ^= static_cast<unsigned char>(text[i]);
  return acc;
}

// The read-only floor: what any search that writes no map must at least pay, reading the text
// once with every hardware thread.
double time_read_floor(const char* text, std::size_t n) {
  std::vector<std::uint64_t> folded(std::max(1u, std::thread::hardware_concurrency()));
  const double start = now();
  on_every_thread(n, 1, [&](unsigned t, std::size_t a, std::size_t b) {
    folded[t] = read_share_avx2(text + a, b - a);
  });
  const double t = now() - start;
  volatile std::uint64_t sink = 0;
  for (std::uint64_t f : folded)
    sink = sink ^ f;
  return t;
}

// The streaming floor for a warm map: the text copied into it by every hardware thread with
// vector loads and non-temporal stores, the least a search that writes the map must move.
// out must be 32-byte aligned.
__attribute__((target("avx2"))) void stream_share(const char* text, char* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32)
    _mm256_stream_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i)));
  std::memcpy(out + i, text + i, n - i);
  _mm_sfence();
}

double time_stream_floor(const char* text, char* out, std::size_t n) {
  const double start = now();
  on_every_thread(n, 64, [=](unsigned, std::size_t a, std::size_t b) {
    stream_share(text + a, out + a, b - a); // a is a multiple of 64: out + a stays aligned
  });
  return now() - start;
}

// seekpat as search_bench calls it: a fresh, never-touched map each time (the allocation and
// the release are outside the timing, as in search_bench).
double time_fresh(const std::string& pattern, const char* text, std::size_t n,
                  std::vector<char>* keep) {
  char* out = static_cast<char*>(std::malloc(n)); // as search_bench hands it over
  advise_huge_pages(out, n);
  const double start = now();
  seekpat(pattern.c_str(), text, out, static_cast<int>(n));
  const double t = now() - start;
  if (keep)
    keep->assign(out, out + n);
  std::free(out);
  return t;
}

// One slow method on a prefix of the text: grows the prefix until a run takes about `target`
// seconds (or the text is used up); returns bytes per second and the prefix length in *used.
double throughput(const std::function<void(std::size_t)>& run, std::size_t n, double target,
                  std::size_t* used) {
  std::size_t len = std::min<std::size_t>(n, 1u << 16);
  for (;;) {
    const double start = now();
    run(len);
    const double t = now() - start;
    if (len == n || t >= target / 4) {
      double best = t;
      if (t < target) { // one more run to take the faster of two
        const double s2 = now();
        run(len);
        best = std::min(best, now() - s2);
      }
      *used = len;
      return static_cast<double>(len) / best;
    }
    const double grow = t > 0 ? target / t : 64;
    len = std::min<std::size_t>(
        n, static_cast<std::size_t>(static_cast<double>(len) * std::min(grow, 64.0)));
  }
}

std::string show_pattern(const std::string& p) {
  std::string s;
  for (std::size_t k = 0; k < p.size() && k < 12; ++k)
    s += (p[k] >= 32 && p[k] < 127) ? p[k] : '?';
  if (p.size() > 12)
    s += "...";
  return s;
}

} // namespace
