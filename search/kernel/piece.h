// What every route reads while it decides one piece: the plan, the text, the pattern, the map
// (or the position list) and the count so far. Each route is a class over piece_base that gives
// the router three things (see seekpat_kernel.h): loop(i, fit_end), its main loop from a position
// whose map byte is vector-aligned; block_bits(b, work), its decision for the W positions from b,
// which the router uses for a piece's head and tail; and forget_text(), for a stretch decided
// before its neighbour (a fresh map's).
#pragma once

#include "kernel/common.h"

#include <type_traits>

namespace {

template <class V, sink S> class piece_base {
public:
  // The matches the route decided, when counting.
  size_t count() const { return count_; }
  // What a route learnt of the text; most learn nothing that outlives a call of loop.
  void forget_text() {}

protected:
  piece_base(const plan& pl, const unsigned char* text, out_of<S> out)
      : pl_(pl), t_(text), pat_(pl.pattern), p_(pl.p), out_(out) {}

  // Calls f(K, Prefetch), both compile-time constants, for the quiet loops' variant that tests
  // loop_bytes filter bytes and prefetches as planned.
  template <class F> size_t quiet_variant(size_t loop_bytes, F&& f) const {
    auto with = [&](auto k) {
      return pl_.prefetch ? f(k, std::true_type{}) : f(k, std::false_type{});
    };
    return loop_bytes == 1   ? with(std::integral_constant<size_t, 1>{})
           : loop_bytes == 2 ? with(std::integral_constant<size_t, 2>{})
           : loop_bytes == 3 ? with(std::integral_constant<size_t, 3>{})
                             : with(std::integral_constant<size_t, 4>{});
  }

  const plan& pl_;
  const unsigned char* t_;
  const unsigned char* pat_;
  size_t p_;
  out_of<S> out_;    // the map, or the position list
  size_t count_ = 0; // the matches decided so far, when counting
};

} // namespace
