// Positions: the start of every match, listed or handed to a callback, on the plan a count gets.
//
// The text is planned once, as a whole, and cut into pieces as a count's is (for_each_piece); each
// piece is decided in one call of the kernel, which records each match's position as it decides it
// (sink::find): nothing is written per position that does not match, and nothing is decided
// twice, so a list costs what a count does where matches are few and stays linear in n + p
// whatever the pattern.
#include "planner.h"
#include "prepared.h"
#include "runtime.h"
#include "threads.h"

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>

namespace seekpat_internal {
namespace {

// Positions held in chunks that double up to a cap: the kernel writes them in place, the list
// grows without moving what it holds, and each chunk is freed as soon as it has been handed on,
// so that joining the lists of all pieces into one result costs the result and one chunk, not
// the result twice.
class position_list : public position_sink {
public:
  position_list() { more = &grow; }
  position_list(const position_list&) = delete;
  position_list& operator=(const position_list&) = delete;

  std::size_t size() const {
    std::size_t k = 0;
    for (const chunk& b : chunks_)
      k += b.cap;
    return chunks_.empty() ? 0 : k - static_cast<std::size_t>(end - at);
  }

  // Hands the positions to take(at, k) a chunk at a time, in order, freeing each chunk once
  // handed; stops, and returns false, where take does.
  template <class F> bool drain(F&& take) {
    for (std::size_t k = 0; k < chunks_.size(); ++k) {
      chunk& b = chunks_[k];
      const std::size_t len = k + 1 < chunks_.size() ? b.cap : b.cap - (end - at);
      const bool go_on = len == 0 || take(b.data.get(), len);
      b.data.reset();
      if (!go_on)
        return false;
    }
    chunks_.clear();
    at = end = nullptr;
    return true;
  }

private:
  struct chunk {
    std::unique_ptr<std::size_t[]> data;
    std::size_t cap;
  };
  // 4 Mi positions, 32 MiB: glibc's largest threshold for giving a chunk a mapping of its own,
  // so the largest chunks go back to the system as soon as they are freed.
  static constexpr std::size_t max_chunk = 4u << 20;

  static bool grow(position_sink& s) noexcept {
    position_list& l = static_cast<position_list&>(s);
    const std::size_t cap =
        l.chunks_.empty() ? 1024 : std::min(2 * l.chunks_.back().cap, max_chunk);
    try {
      l.chunks_.push_back(chunk{std::unique_ptr<std::size_t[]>(new std::size_t[cap]), cap});
    } catch (...) { // std::bad_alloc: the list is incomplete, and the search says so
      l.failed = true;
      return false;
    }
    l.at = l.chunks_.back().data.get();
    l.end = l.at + cap;
    return true;
  }

  std::vector<chunk> chunks_;
};

// Decides positions [start, end) of the plan's text (end <= pl.fit) into `into`, in one call of
// the kernel, which hands each match to the list as it decides it.
void find_piece(const plan& pl, const unsigned char* text, const sharing& d, std::size_t start,
                std::size_t end, position_list& into) {
  assert(end <= pl.fit && pl.mode == sink::find);
  d.piece(pl, text, piece_output{nullptr, &into}, start, end);
}

// Positions [from, to) of the plan's text (to <= pl.fit) in pieces (for_each_piece), each
// piece's matches in a list of its own; once every piece is done, ready(total) learns how many
// they hold, and take(at, k) gets them a chunk at a time in increasing order, each chunk freed
// once handed; stops, and returns false, where take does. `found` holds a
// slot per worker, empty, and is left empty when this returns. Pieces are at least 2p long, so that
// restarting the kernel in each, at a cost of O(p) at most, keeps the whole linear. Throws
// std::bad_alloc where a piece's positions could not all be held.
struct piece_found {
  std::size_t start = 0;
  position_list list;
};
struct worker_found {
  std::deque<piece_found> pieces; // in increasing order
  bool failed = false;
};
template <class R, class F>
bool find_in_pieces(const plan& pl, const unsigned char* text, const sharing& d, std::size_t from,
                    std::size_t to, std::vector<worker_found>& found, R&& ready, F&& take) {
  assert(to <= pl.fit && found.size() == d.threads);
  const std::size_t p = pl.p, least = p <= ~std::size_t(0) / 4 ? 2 * p : p;
  std::atomic<bool> quit{false};
  for_each_piece(from, to, {d.threads, std::max(d.min_piece, least), d.granule},
                 [&](std::size_t w, std::size_t start, std::size_t end) {
                   worker_found& f = found[w];
                   if (quit.load(std::memory_order_relaxed))
                     return;
                   try {
                     f.pieces.emplace_back();
                   } catch (...) { // std::bad_alloc
                     f.failed = true;
                     quit = true;
                     return;
                   }
                   piece_found& piece = f.pieces.back();
                   piece.start = start;
                   find_piece(pl, text, d, start, end, piece.list);
                   if (piece.list.failed) {
                     f.failed = true;
                     quit = true;
                   }
                 });
  // Any throw from here on leaves found to its owner, who drops it.
  std::vector<piece_found*> order;
  std::size_t total = 0;
  for (worker_found& f : found) {
    if (f.failed)
      throw std::bad_alloc();
    for (piece_found& piece : f.pieces) {
      order.push_back(&piece);
      total += piece.list.size();
    }
  }
  std::sort(order.begin(), order.end(),
            [](const piece_found* a, const piece_found* b) { return a->start < b->start; });
  ready(total);
  bool go_on = true;
  for (piece_found* piece : order)
    if (go_on)
      go_on = piece->list.drain(take);
  for (worker_found& f : found)
    f = worker_found{};
  return go_on;
}

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

// A small text: its map whole, through the map's own paths for small texts.
std::vector<std::size_t> small_positions(const unsigned char* pattern, std::size_t p,
                                         const std::size_t* filter_off,
                                         const pattern_tables* tables, const unsigned char* text,
                                         std::size_t n, const tuning& tune) {
  std::vector<std::size_t> all;
  const std::unique_ptr<unsigned char[], aligned_delete> map(
      new (std::align_val_t(64)) unsigned char[n]);
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
  if (n <= tune.find_map_max)
    return small_positions(pattern, p, filter_off, tables, text, n, tune);

  const plan pl = plan_search(pattern, p, filter_off, tables, text, n, sink::find, false, tune);
  const sharing d = choose_sharing(n, tune, writes::little);
  std::vector<worker_found> found(d.threads);
  find_in_pieces(
      pl, text, d, 0, pl.fit, found, [&](std::size_t total) { all.reserve(total); },
      [&](const std::size_t* at, std::size_t k) {
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
  if (n <= tune.find_map_max) {
    const std::vector<std::size_t> all =
        small_positions(pattern, p, filter_off, tables, text, n, tune);
    return all.empty() || take(ctx, all.data(), all.size());
  }

  const plan pl = plan_search(pattern, p, filter_off, tables, text, n, sink::find, false, tune);
  const sharing d = choose_sharing(n, tune, writes::little);
  // Rounds of up to `slice` positions per thread; the caller hands a round's positions on once
  // every piece of it is done. Slices of 2p or more keep pieces of 2p or more (find_in_pieces).
  const std::size_t slice = std::max(tune.visit_slice, p <= ~std::size_t(0) / 4 ? 2 * p : p);
  const std::size_t round = slice <= pl.fit / d.threads ? slice * d.threads : pl.fit;
  std::vector<worker_found> found(d.threads);
  for (std::size_t r = 0; r < pl.fit;) {
    const std::size_t len = std::min(round, pl.fit - r);
    if (!find_in_pieces(
            pl, text, d, r, r + len, found, [](std::size_t) {},
            [&](const std::size_t* at, std::size_t k) { return take(ctx, at, k); }))
      return false;
    r += len;
  }
  return true;
}

namespace {

// One visit_pieces call's shared state: the round being searched, the pieces whose done comes
// next, and the first error or stop, after which no piece is searched or handed on.
struct piece_pass {
  const plan& pl;
  const unsigned char* text;
  const sharing& d;
  std::size_t len, pieces, per_round, n;
  std::vector<position_list>& lists;
  const piece_calls& calls;
  void* ctx;
  std::size_t round = 0;
  std::size_t hand_from = 0, hand_to = 0;
  std::atomic<bool> quit{false};
  bool stopped = false;
  std::mutex m{};
  std::exception_ptr error{}; // the first that work or done threw (under m)

  std::size_t slot(std::size_t k) const { return k % (2 * per_round); }
  void fail(std::exception_ptr e) {
    const std::lock_guard<std::mutex> l(m);
    if (!error)
      error = e;
    quit = true;
  }
  // Piece `s` of this round, on whichever thread takes it.
  static void search(void* self, std::size_t s) noexcept {
    piece_pass& ps = *static_cast<piece_pass*>(self);
    const std::size_t k = ps.round * ps.per_round + s;
    if (k >= ps.pieces || ps.quit.load(std::memory_order_relaxed))
      return;
    const std::size_t at = ps.slot(k), start = k * ps.len;
    position_list& into = ps.lists[at];
    find_piece(ps.pl, ps.text, ps.d, start, std::min(ps.pl.fit, start + ps.len), into);
    if (into.failed) {
      ps.quit = true; // std::bad_alloc, once the round is over
      return;
    }
    try {
      into.drain([&](const std::size_t* pos, std::size_t j) {
        ps.calls.work(ps.ctx, at, pos, j);
        return true;
      });
    } catch (...) {
      ps.fail(std::current_exception());
    }
  }
  // The last round's pieces handed on in order, on the calling thread.
  static void hand_on(void* self) noexcept {
    piece_pass& ps = *static_cast<piece_pass*>(self);
    for (std::size_t k = ps.hand_from; k < ps.hand_to && !ps.quit.load(); ++k) {
      const std::size_t end = k + 1 == ps.pieces ? ps.n : (k + 1) * ps.len;
      try {
        if (!ps.calls.done(ps.ctx, ps.slot(k), end)) {
          ps.stopped = true;
          ps.quit = true;
        }
      } catch (...) {
        ps.fail(std::current_exception());
      }
    }
  }
};

} // namespace

bool visit_pieces(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                  const pattern_tables* tables, const unsigned char* text, std::size_t n,
                  const tuning& tune, std::size_t piece, const piece_calls& calls, void* ctx) {
  if (p == 0 || p > n || n <= tune.find_map_max) { // one slot, on the calling thread
    calls.slots(ctx, 1);
    std::vector<std::size_t> all;
    if (p > 0 && p <= n)
      all = small_positions(pattern, p, filter_off, tables, text, n, tune);
    std::size_t next = 0; // the first of `all` not handed on
    for (std::size_t start = 0; start < n; start += std::min(piece, n - start)) {
      const std::size_t end = start + std::min(piece, n - start);
      if (p == 0) {
        std::size_t batch[1024];
        for (std::size_t x = start; x < end;) {
          const std::size_t k = std::min<std::size_t>(1024, end - x);
          std::iota(batch, batch + k, x);
          calls.work(ctx, 0, batch, k);
          x += k;
        }
      } else {
        std::size_t last = next;
        while (last < all.size() && all[last] < end)
          ++last;
        if (last > next)
          calls.work(ctx, 0, all.data() + next, last - next);
        next = last;
      }
      if (!calls.done(ctx, 0, end))
        return false;
    }
    return true;
  }
  const plan pl = plan_search(pattern, p, filter_off, tables, text, n, sink::find, false, tune);
  const sharing d = choose_sharing(n, tune, writes::little);
  // Each piece starts the kernel afresh, at a cost of O(p) at most: pieces of 2p or more keep the
  // whole linear. Pieces start on granules, as for_each_piece's do.
  std::size_t len = std::min(std::max(piece, p <= ~std::size_t(0) / 4 ? 2 * p : p), pl.fit);
  len = (len + d.granule - 1) / d.granule * d.granule;
  // Four pieces per thread a round: a round ends when its last piece does, and the caller's
  // hand-over runs beside the round after; with more pieces per round, less of the machine
  // waits at those ends (docs/design.md, measurements: "Pieces per round").
  const std::size_t per_round = 4 * d.threads;
  std::vector<position_list> lists(2 * per_round);
  calls.slots(ctx, lists.size());
  piece_pass ps{pl, text, d, len, (pl.fit + len - 1) / len, per_round, n, lists, calls, ctx};
  const std::size_t helpers = std::min(d.threads, hardware_threads()) - 1;
  for (std::size_t r = 0;; ++r) {
    ps.hand_from = r > 0 ? (r - 1) * per_round : 0;
    ps.hand_to = std::min(r * per_round, ps.pieces);
    if (r * per_round >= ps.pieces || ps.quit.load()) {
      piece_pass::hand_on(&ps);
      break;
    }
    ps.round = r;
    run_shares(std::min(per_round, ps.pieces - r * per_round), helpers, piece_pass::search, &ps,
               piece_pass::hand_on);
  }
  if (ps.error)
    std::rethrow_exception(ps.error);
  for (const position_list& f : lists)
    if (f.failed)
      throw std::bad_alloc();
  return !ps.stopped;
}

} // namespace seekpat_internal
