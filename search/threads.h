// The threads the engine keeps, and the calls that hand them work.
#pragma once

#include <algorithm>
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

// Runs fn(t, start, end) for share t of `threads` contiguous shares of [0, n) and returns once
// every share is done. Share t is [bound(t), bound(t + 1)): floor(n t / threads) rounded down to
// the granule, and n for t = threads, so the shares are in order, cover [0, n) and never overlap
// (some may be empty). The shares go to the calling thread and the kept helpers (run_shares).
// fn must not throw.
template <class F>
void for_each_share(std::size_t n, std::size_t threads, std::size_t granule, const F& fn) noexcept {
  // n t / threads without forming n t; n % threads * t < threads^2 cannot overflow.
  auto bound = [&](std::size_t t) {
    return t >= threads ? n : (n / threads * t + n % threads * t / threads) / granule * granule;
  };
  auto share = [&](std::size_t t) {
    const std::size_t start = bound(t), end = bound(t + 1);
    assert(start <= end && end <= n);
    fn(t, start, end);
  };
  if (threads <= 1) {
    share(0);
    return;
  }
  using share_t = decltype(share);
  run_shares(
      threads, std::min(threads, hardware_threads()) - 1,
      [](void* ctx, std::size_t t) { (*static_cast<const share_t*>(ctx))(t); },
      const_cast<void*>(static_cast<const void*>(&share)));
}

} // namespace seekpat_internal
