// What every route reads while it decides one share: the plan, the text, the pattern, the map
// (or the position list), the count so far, the verifier and the pattern's tables.
#pragma once

#include "kernel/paying.h"
#include "kernel/quiet_loop.h"
#include "kernel/tables.h"
#include "kernel/verify.h"

namespace {

template <class V, sink S> class share_base {
protected:
  share_base(const plan& pl, const unsigned char* text, unsigned char* out)
      : pl_(pl), t_(text), pat_(pl.pattern), p_(pl.p), out_(out), verify_(pl.pattern, pl.p),
        tables_(pl.tables, pl.pattern, pl.p) {}

  // verify_.mismatch on the plan's text; needs x < fit.
  size_t mismatch(size_t x) const {
    assert(x < pl_.fit);
    return verify_.mismatch(t_, pl_.n, x);
  }

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

  // Whether a watch window's vain steps call for testing three bytes again: more than one in
  // loop_miss_steps costs the loop more than the bytes it saves.
  static bool too_many_misses(size_t misses, size_t window) {
    return misses > window / (2 * V::W * loop_miss_steps);
  }

  const plan& pl_;
  const unsigned char* t_;
  const unsigned char* pat_;
  size_t p_;
  unsigned char* out_;
  size_t count_ = 0; // the matches decided so far, when counting
  verifier<V> verify_;
  lazy_tables tables_;
};

} // namespace
