// The peers seekpat is compared with, each writing the same map: a glibc memmem restart loop,
// std::boyer_moore_horspool_searcher, and Hyperscan in block mode where it is installed.
#pragma once

#include "harness.h"

#include <cstring>
#include <functional>
#include <string>

#if __has_include(<hs/hs.h>) && defined(SEEKPAT_BENCH_HYPERSCAN)
#include <hs/hs.h>
#define HAVE_HYPERSCAN 1
constexpr bool have_hyperscan = true;
#else
constexpr bool have_hyperscan = false;
#endif

namespace {

struct peer {
  const char* name;
  std::function<void(const std::string&, const char*, std::size_t, char*)> fill;
};

void memmem_fill(const std::string& pat, const char* text, std::size_t n, char* out) {
  std::memset(out, 0, n);
  const char* at = text;
  const char* end = text + n;
  while (const void* hit = memmem(at, static_cast<std::size_t>(end - at), pat.data(), pat.size())) {
    const char* h = static_cast<const char*>(hit);
    out[h - text] = 1;
    at = h + 1;
  }
}

void bmh_fill(const std::string& pat, const char* text, std::size_t n, char* out) {
  std::memset(out, 0, n);
  const std::boyer_moore_horspool_searcher<std::string::const_iterator> s(pat.begin(), pat.end());
  const char* at = text;
  const char* end = text + n;
  for (;;) {
    const char* h = std::search(at, end, s);
    if (h == end)
      break;
    out[h - text] = 1;
    at = h + 1;
  }
}

#ifdef HAVE_HYPERSCAN
struct hs_ctx {
  char* out;
  std::size_t p;
};
int on_match(unsigned, unsigned long long, unsigned long long to, unsigned, void* ctx) {
  hs_ctx* c = static_cast<hs_ctx*>(ctx);
  c->out[to - c->p] = 1;
  return 0;
}
// Hyperscan block mode with one literal; the database is compiled outside the timing.
struct hyperscan_peer {
  hs_database_t* db = nullptr;
  hs_scratch_t* scratch = nullptr;
  std::string compiled;
  void prepare(const std::string& pat) {
    if (pat == compiled)
      return;
    hs_free_scratch(scratch);
    hs_free_database(db);
    scratch = nullptr;
    db = nullptr;
    hs_compile_error_t* err = nullptr;
    if (hs_compile_lit(pat.data(), 0, pat.size(), HS_MODE_BLOCK, nullptr, &db, &err) !=
        HS_SUCCESS) {
      std::fprintf(stderr, "hyperscan: %s\n", err->message);
      std::exit(1);
    }
    hs_alloc_scratch(db, &scratch);
    compiled = pat;
  }
  void fill(const std::string& pat, const char* text, std::size_t n, char* out) {
    std::memset(out, 0, n);
    hs_ctx c{out, pat.size()};
    hs_scan(db, text, static_cast<unsigned>(n), 0, scratch, on_match, &c);
  }
  // The text split over every hardware thread, each with a scratch of its own; a share scans on
  // until its last start position's window ends, and keeps only matches that start inside it.
  void fill_threaded(const std::string& pat, const char* text, std::size_t n, char* out) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<hs_scratch_t*> scratches(threads, nullptr);
    for (unsigned t = 0; t < threads; ++t)
      hs_clone_scratch(scratch, &scratches[t]);
    struct share_ctx {
      char* out;
      std::size_t p, start, end;
    };
    on_every_thread(n, 1, [&](unsigned t, std::size_t a, std::size_t b) {
      std::memset(out + a, 0, b - a);
      const std::size_t scan_end = std::min(n, b + pat.size() - 1);
      share_ctx c{out, pat.size(), a, b};
      hs_scan(
          db, text + a, static_cast<unsigned>(scan_end - a), 0, scratches[t],
          [](unsigned, unsigned long long, unsigned long long to, unsigned, void* ctx) {
            share_ctx* sc = static_cast<share_ctx*>(ctx);
            const std::size_t at = sc->start + to - sc->p;
            if (at < sc->end)
              sc->out[at] = 1;
            return 0;
          },
          &c);
    });
    for (hs_scratch_t* sc : scratches)
      hs_free_scratch(sc);
  }
};
hyperscan_peer hyperscan;
#endif

} // namespace
