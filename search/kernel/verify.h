// Verifying a candidate against the whole pattern, W bytes a compare: shared by the filter's
// route and the small texts' path.
#pragma once

#include "kernel/common.h"

namespace {

// A pattern ready for verifying candidates: its bytes and, when it is shorter than one vector, a
// copy padded to W, so that a candidate whose W text bytes lie inside the text takes one compare.
template <class V> class verifier {
public:
  verifier(const unsigned char* pattern, size_t p) : pat_(pattern), p_(p) {
    if (p_ < V::W) {
      std::memcpy(pad_, pat_, p_);
      std::memset(pad_ + p_, 0, V::W - p_);
    }
  }

  // Index of the first byte where text + x differs from the pattern, or p on a match. Needs
  // x + p <= n. Reads text[x, x + p), and, for a pattern shorter than W, text[x, x + W) when that
  // lies inside the text (lanes past p ignored).
  size_t mismatch(const unsigned char* text, size_t n, size_t x) const {
    assert(x + p_ <= n);
    constexpr auto full = static_cast<typename V::mask>(~typename V::mask(0));
    const unsigned char* t = text + x;
    if (p_ < V::W) {
      if (n - x < V::W) {
        size_t j = 0;
        while (j < p_ && t[j] == pat_[j])
          ++j;
        return j;
      }
      const std::uint64_t differ =
          ~std::uint64_t(V::movemask(V::cmpeq(V::load(t), V::load(pad_)))) & low_bits(p_);
      return differ ? __builtin_ctzll(differ) : p_;
    }
    size_t j = 0;
    for (; p_ - j >= V::W; j += V::W) {
      const auto m = V::movemask(V::cmpeq(V::load(t + j), V::load(pat_ + j)));
      if (m != full)
        return j + __builtin_ctzll(~std::uint64_t(m));
    }
    if (j < p_) { // the last W bytes, overlapping those already compared: p >= W here
      const size_t k = p_ - V::W;
      const auto m = V::movemask(V::cmpeq(V::load(t + k), V::load(pat_ + k)));
      if (m != full)
        return k + __builtin_ctzll(~std::uint64_t(m));
    }
    return p_;
  }

  // The pattern padded to W bytes; only where p < W.
  const unsigned char* padded() const { return pad_; }

private:
  const unsigned char* pat_;
  size_t p_;
  unsigned char pad_[V::W];
};

} // namespace
