// The threads the engine keeps, and the one way a text is cut into pieces for them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>

namespace seekpat_internal {

// The hardware threads, asked once: the query reads a file under /sys, which costs more than a
// small search.
std::size_t hardware_threads();

// Runs run(ctx, s) once for each s in [0, shares), on the calling thread and up to `helpers`
// of the helper threads the library keeps (started on first need, shared with concurrent calls,
// never more than the hardware threads less one); each s goes to whichever comes first, and any
// that no helper takes runs on the calling thread. first(ctx), where given, runs on the calling
// thread once the helpers are woken and before it takes a share of its own, so that the caller's
// other work overlaps the shares. Returns once every s is done. run and first must not throw.
void run_shares(std::size_t shares, std::size_t helpers, void (*run)(void*, std::size_t), void* ctx,
                void (*first)(void*) = nullptr) noexcept;

// How a text is cut into pieces for the threads: each piece, claimed in order by whichever thread
// is free, is a (2 threads)-th of what is left, no less than min_piece, and ends `step` bytes on
// from the one before (where it is not the last): a thread that wakes late (see
// seekpat_threads.cpp) or runs slower takes less, and all finish together, where fixed halves
// would leave the first thread waiting.
struct piece_rule {
  std::size_t threads;   // at least 1
  std::size_t min_piece; // at least 1
  std::size_t step;      // at least 1
};

// Runs fn(worker, start, end) for every piece of [from, to), on `rule.threads` workers: the
// calling thread and the kept helpers (run_shares), a worker that cannot be started leaving its
// pieces to the others. worker < rule.threads names the worker, which runs one piece at a time,
// its own pieces in increasing order. With one thread, [from, to) is one piece on the calling
// thread. Returns once every piece is done; fn must not throw.
template <class F>
void for_each_piece(std::size_t from, std::size_t to, const piece_rule& rule,
                    const F& fn) noexcept {
  assert(from <= to && rule.threads >= 1 && rule.min_piece >= 1 && rule.step >= 1);
  if (rule.threads == 1) {
    fn(std::size_t(0), from, to);
    return;
  }
  std::atomic<std::size_t> next{from};
  auto take = [&](std::size_t& start, std::size_t& end) {
    std::size_t at = next.load(std::memory_order_relaxed);
    do {
      if (at >= to)
        return false;
      std::size_t len = std::max(rule.min_piece, (to - at) / (2 * rule.threads));
      len = len > to - at ? to - at : (len + rule.step - 1) / rule.step * rule.step;
      end = std::min(to, at + len);
    } while (!next.compare_exchange_weak(at, end, std::memory_order_relaxed));
    start = at;
    return true;
  };
  auto worker = [&](std::size_t w) {
    std::size_t start = 0, end = 0;
    while (take(start, end))
      fn(w, start, end);
  };
  using worker_t = decltype(worker);
  run_shares(
      rule.threads, std::min(rule.threads, hardware_threads()) - 1,
      [](void* ctx, std::size_t w) { (*static_cast<const worker_t*>(ctx))(w); },
      const_cast<void*>(static_cast<const void*>(&worker)));
}

} // namespace seekpat_internal
