// The library API: a prepared pattern holds what the search derives from the pattern alone, so
// that each call plans only what depends on the text (its size, the threads, the kernel).
#include "seekpat.hpp"
#include "seekpat_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <numeric>
#include <stdexcept>

namespace seekpat_internal {

prepared::prepared(const unsigned char* src, std::size_t len) : p(len) {
  bytes.reset(new unsigned char[p ? p : 1]);
  if (p)
    std::memcpy(bytes.get(), src, p);
  const unsigned char* pat = bytes.get();
  if (p <= exact_max)
    return;
  // Offsets over the whole pattern, as for the largest texts: chosen once, good for any text.
  choose_filter(pat, p, ~std::size_t(0), filter_off);
  if (p >= UINT32_MAX) // borders are held in 32 bits
    return;
  fail.reset(new (std::nothrow) std::uint32_t[p + 1]);
  if (!fail)
    return;
  build_failure(pat, p, fail.get());
  tables.fail = fail.get();
  tables.q = p - fail[p];
  if (tables.q <= tile_max) {
    tile.reset(new (std::align_val_t(64), std::nothrow) unsigned char[tables.q + tile_slack]);
    if (tile)
      fill_tile(tile.get(), tables.q);
    tables.tile = tile.get();
  }
}

} // namespace seekpat_internal

namespace seekpat_lib {

using namespace seekpat_internal;

struct pattern::state : prepared {
  using prepared::prepared;
};

pattern::pattern(const void* bytes, std::size_t p) {
  if (bytes == nullptr && p > 0)
    throw std::invalid_argument("seekpat_lib::pattern: null bytes with a nonzero length");
  state_ = std::make_shared<const state>(static_cast<const unsigned char*>(bytes), p);
}

std::size_t pattern::size() const noexcept { return state_->p; }

std::string_view pattern::bytes() const noexcept {
  return {reinterpret_cast<const char*>(state_->bytes.get()), state_->p};
}

namespace {

void check_args(const void* text, std::size_t n, const void* out, bool need_out) {
  if (n > 0 && (text == nullptr || (need_out && out == nullptr)))
    throw std::invalid_argument(need_out ? "seekpat_lib: null text or map with a nonzero length"
                                         : "seekpat_lib: null text with a nonzero length");
}

tuning tuning_for(unsigned threads) {
  tuning t;
  t.max_threads = threads;
  return t;
}

} // namespace

void pattern::map(const void* text, std::size_t n, void* out, unsigned threads) const {
  check_args(text, n, out, true);
  const prepared& st = *state_;
  run_search(st.bytes.get(), st.p, st.filter_off, &st.tables,
             static_cast<const unsigned char*>(text), n, static_cast<unsigned char*>(out), false,
             tuning_for(threads));
}

std::size_t pattern::count(const void* text, std::size_t n, unsigned threads) const {
  check_args(text, n, nullptr, false);
  const prepared& st = *state_;
  return run_search(st.bytes.get(), st.p, st.filter_off, &st.tables,
                    static_cast<const unsigned char*>(text), n, nullptr, true, tuning_for(threads));
}

std::vector<std::size_t> pattern::find_all(const void* text, std::size_t n,
                                           unsigned threads) const {
  check_args(text, n, nullptr, false);
  const prepared& st = *state_;
  const std::size_t p = st.p;
  std::vector<std::size_t> all;
  if (p == 0) { // every position
    all.resize(n);
    std::iota(all.begin(), all.end(), std::size_t(0));
    return all;
  }
  if (p > n)
    return all;

  // Each share maps its positions a window at a time into a small buffer of its own, which stays
  // in cache, and collects the starts; the shares' lists are joined in order.
  constexpr std::size_t window = 1u << 16;
  const tuning tune = tuning_for(threads);
  const dispatch d = choose_dispatch(n, tune, writes::little);
  std::vector<std::vector<std::size_t>> found(d.threads);
  std::vector<std::exception_ptr> failed(d.threads);
  const auto* t = static_cast<const unsigned char*>(text);
  for_each_share(n, d.threads, d.granule,
                 [&](std::size_t share, std::size_t start, std::size_t end) {
                   try {
                     std::unique_ptr<std::uint64_t[]> buf(new std::uint64_t[window / 8]);
                     unsigned char* const map = reinterpret_cast<unsigned char*>(buf.get());
                     std::vector<std::size_t>& mine = found[share];
                     for (std::size_t w = start; w < end && n - w >= p; w += window) {
                       // Positions [w, we) of the text are positions [0, we - w) of the sub-text
                       // that starts at w and ends where the last of them can end: min(n, we - 1 +
                       // p).
                       const std::size_t we = std::min(end, w + window);
                       const std::size_t sub_n = std::min(n - w, we - w + p - 1);
                       plan pl = make_plan(st.bytes.get(), p, t + w, sub_n, map, sink::store,
                                           st.filter_off, &st.tables, tune);
                       pl.replan_window = 0; // 64 Ki positions: too short a share to watch
                       d.chunk(pl, 0, we - w);
                       // Matches are rare in most texts: eight map bytes at a time are skipped
                       // while zero.
                       const std::size_t len = we - w;
                       for (std::size_t k = 0; k < len; k += 8) {
                         if (len - k >= 8 && buf[k / 8] == 0)
                           continue;
                         for (std::size_t j = k; j < len && j < k + 8; ++j)
                           if (map[j])
                             mine.push_back(w + j);
                       }
                     }
                   } catch (...) {
                     failed[share] = std::current_exception();
                   }
                 });
  std::size_t total = 0;
  for (std::size_t s = 0; s < d.threads; ++s) {
    if (failed[s])
      std::rethrow_exception(failed[s]);
    total += found[s].size();
  }
  if (d.threads == 1)
    return std::move(found[0]);
  all.reserve(total);
  for (const std::vector<std::size_t>& f : found)
    all.insert(all.end(), f.begin(), f.end());
  return all;
}

} // namespace seekpat_lib
