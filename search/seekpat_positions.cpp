// Positions: the start of every match, listed or handed to a callback, on the plan a count gets.
//
// The text is planned once, as a whole. Each thread then decides its share a window at a time
// into a small map of its own, which stays in cache, and reads the matches off it: the kernel
// writes map bytes, and a window's map costs a few microseconds to read where a whole-text map
// would cost its size in memory.
#include "seekpat_internal.h"

#include <emmintrin.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <numeric>

namespace seekpat_internal {
namespace {

// Positions held in blocks that double up to a cap: the list grows without moving what it holds,
// and each block is freed as soon as it has been handed on, so that joining the lists of all
// shares into one result costs the result and one block, not the result twice.
class position_list {
public:
  void push(std::size_t x) {
    if (blocks_.empty() || blocks_.back().size() == blocks_.back().capacity())
      grow();
    blocks_.back().push_back(x);
    ++size_;
  }
  std::size_t size() const { return size_; }

  // Hands the positions to take(at, k) a block at a time, in order, freeing each block once
  // handed; stops, and returns false, where take does.
  template <class F> bool drain(F&& take) {
    for (std::vector<std::size_t>& b : blocks_) {
      const bool more = b.empty() || take(b.data(), b.size());
      std::vector<std::size_t>().swap(b);
      if (!more)
        return false;
    }
    blocks_.clear();
    size_ = 0;
    return true;
  }

private:
  // 4 Mi positions, 32 MiB: glibc's largest threshold for giving a block a mapping of its own,
  // so the largest blocks go back to the system as soon as they are freed.
  static constexpr std::size_t max_block = 4u << 20;
  void grow() {
    const std::size_t cap =
        blocks_.empty() ? 1024 : std::min(2 * blocks_.back().capacity(), max_block);
    blocks_.emplace_back();
    blocks_.back().reserve(cap);
  }
  std::vector<std::vector<std::size_t>> blocks_;
  std::size_t size_ = 0;
};

// Calls found(base + x) for every x < len where map[x] != 0, in increasing order. Matches are
// rare in most texts: 64 map bytes are skipped at a time while all zero.
template <class F>
void read_matches(const unsigned char* map, std::size_t len, std::size_t base, F&& found) {
  const __m128i zero = _mm_setzero_si128();
  std::size_t k = 0;
  for (; len - k >= 64; k += 64) {
    const auto* m = reinterpret_cast<const __m128i*>(map + k);
    const __m128i a = _mm_loadu_si128(m), b = _mm_loadu_si128(m + 1), c = _mm_loadu_si128(m + 2),
                  d = _mm_loadu_si128(m + 3);
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xFFFF)
      continue;
    auto zeros = [&](__m128i v) {
      return static_cast<std::uint64_t>(
          static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))));
    };
    for (std::uint64_t bits = ~(zeros(a) | zeros(b) << 16 | zeros(c) << 32 | zeros(d) << 48); bits;
         bits &= bits - 1)
      found(base + k + static_cast<std::size_t>(__builtin_ctzll(bits)));
  }
  for (; k < len; ++k)
    if (map[k])
      found(base + k);
}

// The window for a share of len positions: tuning::window, at least 2p, in whole cache lines,
// no larger than the share needs.
std::size_t window_for(std::size_t p, std::size_t len, const tuning& tune) {
  const std::size_t want =
      std::max({tune.window, p <= ~std::size_t(0) / 4 ? 2 * p : p, std::size_t(64)});
  const std::size_t w = std::min(want, len);
  return (w + 63) / 64 * 64;
}

using map_buffer = std::unique_ptr<unsigned char[], aligned_delete>;
map_buffer new_map(std::size_t bytes) {
  return map_buffer(new (std::align_val_t(64)) unsigned char[bytes]);
}

// Decides positions [start, end) of the plan's text (end <= pl.fit) a window at a time into map
// (window bytes) and calls found(x) for each match, in order. Each window is the plan moved to
// text[w, n): every choice made on the whole text (route, offsets, rate, tables) holds there.
// A window costs O(window + p), and O(W p) at most for its edges, so windows of 2p or more keep
// the share linear in its length.
template <class F>
void gather(const plan& pl, const dispatch& d, std::size_t start, std::size_t end,
            unsigned char* map, std::size_t window, F&& found) {
  assert(end <= pl.fit && pl.mode == sink::store);
  for (std::size_t w = start; w < end;) {
    const std::size_t len = std::min(window, end - w);
    plan at = pl;
    at.text = pl.text + w;
    at.n = pl.n - w;
    at.fit = pl.fit - w;
    at.out = map;
    d.chunk(at, 0, len);
    read_matches(map, len, w, found);
    w += len;
  }
}

// A text of at most one window: its map whole, through the map's own paths for small texts.
std::vector<std::size_t> small_positions(const unsigned char* pattern, std::size_t p,
                                         const std::size_t* filter_off,
                                         const pattern_tables* tables, const unsigned char* text,
                                         std::size_t n, const tuning& tune) {
  std::vector<std::size_t> all;
  const map_buffer map = new_map(n);
  run_search(pattern, p, filter_off, tables, text, n, map.get(), false, tune);
  read_matches(map.get(), n - p + 1, 0, [&](std::size_t x) { all.push_back(x); });
  return all;
}

} // namespace

std::vector<std::size_t> find_positions(const unsigned char* pattern, std::size_t p,
                                        const std::size_t* filter_off, const pattern_tables* tables,
                                        const unsigned char* text, std::size_t n,
                                        const tuning& tune) {
  std::vector<std::size_t> all;
  if (p == 0) { // every position
    all.resize(n);
    std::iota(all.begin(), all.end(), std::size_t(0));
    return all;
  }
  if (p > n)
    return all;
  if (n <= tune.window)
    return small_positions(pattern, p, filter_off, tables, text, n, tune);

  const plan pl = plan_search(pattern, p, filter_off, tables, text, n, nullptr, sink::store, tune);
  const dispatch d = choose_dispatch(n, tune, writes::little);
  std::vector<position_list> found(d.threads);
  std::vector<std::exception_ptr> failed(d.threads);
  for_each_share(
      pl.fit, d.threads, d.granule, [&](std::size_t share, std::size_t start, std::size_t end) {
        if (start == end)
          return;
        try {
          const std::size_t window = window_for(p, end - start, tune);
          const map_buffer map = new_map(window);
          position_list& mine = found[share];
          gather(pl, d, start, end, map.get(), window, [&](std::size_t x) { mine.push(x); });
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
  all.reserve(total);
  for (position_list& f : found)
    f.drain([&](const std::size_t* at, std::size_t k) {
      all.insert(all.end(), at, at + k);
      return true;
    });
  return all;
}

bool visit_positions(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                     const pattern_tables* tables, const unsigned char* text, std::size_t n,
                     const tuning& tune, bool (*take)(void*, const std::size_t*, std::size_t),
                     void* ctx) {
  if (p == 0) { // every position, a batch at a time
    std::size_t batch[1024];
    for (std::size_t x = 0; x < n;) {
      const std::size_t k = std::min<std::size_t>(1024, n - x);
      std::iota(batch, batch + k, x);
      if (!take(ctx, batch, k))
        return false;
      x += k;
    }
    return true;
  }
  if (p > n)
    return true;
  if (n <= tune.window) {
    const std::vector<std::size_t> all =
        small_positions(pattern, p, filter_off, tables, text, n, tune);
    return all.empty() || take(ctx, all.data(), all.size());
  }

  const plan pl = plan_search(pattern, p, filter_off, tables, text, n, nullptr, sink::store, tune);
  const dispatch d = choose_dispatch(n, tune, writes::little);
  const std::size_t slice = std::max(tune.visit_slice, window_for(p, pl.fit, tune));
  const std::size_t window = window_for(p, slice, tune);
  std::vector<map_buffer> maps(d.threads);
  for (map_buffer& m : maps)
    m = new_map(window);
  std::vector<position_list> found(d.threads);
  std::vector<std::exception_ptr> failed(d.threads);
  // Rounds of up to `slice` positions per thread; the caller hands a round's positions on once
  // every thread is done with it.
  const std::size_t round = slice <= pl.fit / d.threads ? slice * d.threads : pl.fit;
  for (std::size_t r = 0; r < pl.fit;) {
    const std::size_t len = std::min(round, pl.fit - r);
    for_each_share(len, d.threads, d.granule,
                   [&](std::size_t share, std::size_t start, std::size_t end) {
                     try {
                       position_list& mine = found[share];
                       gather(pl, d, r + start, r + end, maps[share].get(), window,
                              [&](std::size_t x) { mine.push(x); });
                     } catch (...) {
                       failed[share] = std::current_exception();
                     }
                   });
    for (std::size_t s = 0; s < d.threads; ++s)
      if (failed[s])
        std::rethrow_exception(failed[s]);
    for (position_list& f : found)
      if (!f.drain([&](const std::size_t* at, std::size_t k) { return take(ctx, at, k); }))
        return false;
    r += len;
  }
  return true;
}

} // namespace seekpat_internal
