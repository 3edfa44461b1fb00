// The search kernel, written once over a vector type V and compiled once per instruction set
// (seekpat_sse2.cpp, seekpat_avx2.cpp). Everything here has internal linkage, so the copies built
// with different target flags can never be merged by the linker.
//
// V provides: vec, W (lanes, bytes per vector), mask (a W-bit integer), load (unaligned),
// set1, cmpeq, and_, movemask, zero, one, expand (W bits to W bytes of 0/1), put (aligned store
// of W map bytes, non-temporal or not).
#pragma once

#include "seekpat_internal.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <new>

namespace {

using seekpat_internal::plan;
using std::size_t;

inline std::uint64_t low_bits(size_t k) { return k >= 64 ? ~0ull : (1ull << k) - 1; }

template <class V, bool Stream> class chunk_searcher {
public:
  explicit chunk_searcher(const plan& pl)
      : pl_(pl), t_(pl.text), pat_(pl.pattern), p_(pl.p), out_(pl.out) {}

  // Fills out[start, end). Positions at or past pl.fit cannot hold a match and get 0.
  void run(size_t start, size_t end) {
    assert(start <= end && end <= pl_.n);
    const size_t fit_end = end < pl_.fit ? end : pl_.fit;
    size_t i = start;
    if (i < fit_end) {
      // Scalar head up to the first position whose map byte is vector-aligned, so that every
      // vector store below is an aligned one.
      const size_t mis = reinterpret_cast<std::uintptr_t>(out_ + i) % V::W;
      const size_t head = mis ? V::W - mis : 0;
      const size_t head_end = fit_end - i > head ? i + head : fit_end;
      scalar(i, head_end);
      i = head_end;
      if (p_ <= seekpat_internal::exact_max)
        i = exact_dispatch(i, fit_end);
      else
        i = filter_loop(i, fit_end);
      scalar(i, fit_end);
      i = fit_end;
    }
    if (i < end)
      std::memset(out_ + i, 0, end - i);
  }

private:
  static constexpr typename V::mask full = static_cast<typename V::mask>(~typename V::mask(0));

  // One position at a time: the head, the tail and anything too short for a vector step. Reads
  // text[x, x + p) for x < fit, so at most text[0, n).
  void scalar(size_t from, size_t to) {
    for (size_t x = from; x < to; ++x)
      out_[x] = t_[x] == pat_[0] && std::memcmp(t_ + x, pat_, p_) == 0;
  }

  void put(size_t i, typename V::vec v) { V::template put<Stream>(out_ + i, v); }

  size_t exact_dispatch(size_t i, size_t fit_end) {
    switch (p_) {
    case 1: return exact_loop<1>(i, fit_end);
    case 2: return exact_loop<2>(i, fit_end);
    case 3: return exact_loop<3>(i, fit_end);
    case 4: return exact_loop<4>(i, fit_end);
    case 5: return exact_loop<5>(i, fit_end);
    case 6: return exact_loop<6>(i, fit_end);
    case 7: return exact_loop<7>(i, fit_end);
    default: return exact_loop<8>(i, fit_end);
    }
  }

  // Short patterns: every pattern byte is compared in vector lanes at its offset, so the AND of
  // the P masks is the exact map of W positions; no candidate is ever verified one by one, which
  // keeps frequent patterns (" the ", "e") as fast as absent ones.
  template <size_t P> size_t exact_loop(size_t i, size_t fit_end) {
    static_assert(P <= seekpat_internal::exact_max, "exact path covers short patterns only");
    typename V::vec b[P];
    for (size_t k = 0; k < P; ++k)
      b[k] = V::set1(pat_[k]);
    const typename V::vec one = V::one();
    // i + W <= fit_end = min(end, n - P + 1): the furthest load, at i + P - 1, ends at
    // i + W + P - 2 < n.
    for (; fit_end - i >= V::W; i += V::W) {
      typename V::vec acc = V::cmpeq(V::load(t_ + i), b[0]);
      for (size_t k = 1; k < P; ++k)
        acc = V::and_(acc, V::cmpeq(V::load(t_ + i + k), b[k]));
      put(i, V::and_(acc, one));
    }
    return i;
  }

  // Index of the first byte where text + x differs from the pattern, or p on a match.
  // Needs x < fit: reads text[x, x + p) only.
  size_t mismatch(size_t x) const {
    size_t j = 0;
    for (; p_ - j >= V::W; j += V::W) {
      const auto m = V::movemask(V::cmpeq(V::load(t_ + x + j), V::load(pat_ + j)));
      if (m != full)
        return j + __builtin_ctzll(~std::uint64_t(m));
    }
    for (; j < p_; ++j)
      if (t_[x + j] != pat_[j])
        return j;
    return p_;
  }

  // Long patterns. A position is a candidate when three rare pattern bytes sit at their offsets;
  // candidates are verified against the whole pattern. After a verified match at x the pattern's
  // smallest period q decides the next ones without verifying again: x + q matches exactly when
  // text[j] == text[j - q] for j in [x + p, x + q + p), and no position between x and x + q can
  // match (it would be a smaller period). So a run of matches costs one compare per text byte.
  // Verification is bounded by a work budget; past it the rest of the chunk goes to KMP, which
  // keeps the whole search O(n + p) on any input.
  size_t filter_loop(size_t i, size_t fit_end) {
    const size_t o0 = pl_.filter_off[0], o1 = pl_.filter_off[1], o2 = pl_.filter_off[2];
    const typename V::vec b0 = V::set1(pat_[o0]), b1 = V::set1(pat_[o1]), b2 = V::set1(pat_[o2]);
    const size_t budget = pl_.verify_budget * (fit_end - i) + pl_.verify_allowance;
    size_t work = 0;
    // i + W <= fit_end = min(end, n - p + 1): filter loads end at i + W - 1 + o <= i + W + p - 2
    // < n, and a run extends text only up to i + W - 1 + p <= n.
    for (; fit_end - i >= V::W; i += V::W) {
      std::uint64_t bits = 0, cand;
      if (run_active_) {
        cand = ~0ull;
        if (advance_run(i, bits, cand)) {
          put(i, V::expand(static_cast<typename V::mask>(bits)));
          continue;
        }
      } else {
        if (work > budget)
          return kmp(i, fit_end);
        cand = ~0ull;
      }
      const typename V::vec f = V::and_(V::and_(V::cmpeq(V::load(t_ + i + o0), b0),
                                                V::cmpeq(V::load(t_ + i + o1), b1)),
                                        V::cmpeq(V::load(t_ + i + o2), b2));
      cand &= V::movemask(f);
      if (!cand && !bits) {
        put(i, V::zero());
        continue;
      }
      while (cand) {
        const size_t b = __builtin_ctzll(cand);
        const size_t x = i + b;
        const size_t mis = mismatch(x);
        work += mis + 8;
        cand &= cand - 1;
        if (mis != p_)
          continue;
        bits |= 1ull << b;
        if (!want_runs(x, fit_end))
          continue;
        run_active_ = true;
        run_broken_ = false;
        run_next_ = x + q_;
        verified_end_ = x + p_;
        if (advance_run(i, bits, cand))
          break;
      }
      put(i, V::expand(static_cast<typename V::mask>(bits)));
    }
    run_active_ = false;
    return i;
  }

  // Whether to follow matches as runs. Needs the period, which costs O(p) to find, so it is
  // found only once enough positions remain for runs to pay for it.
  bool want_runs(size_t x, size_t fit_end) {
    if (q_ == 0) {
      if (fit_end - x < 2 * p_)
        return false;
      build_failure();
      q_ = p_ - fail_[p_];
      stride_ = q_ < 64 ? 0 : 1;
      if (q_ < 64) {
        for (size_t k = 0; k < 64; k += q_)
          stride_ |= 1ull << k;
      }
    }
    return true;
  }

  // The run of matches started at a verified match decides positions up to last = verified_end
  // - p. Marks its matches inside the block [i, i + W) in bits and clears the decided positions
  // from cand. Returns true when the whole block is decided.
  bool advance_run(size_t i, std::uint64_t& bits, std::uint64_t& cand) {
    const size_t need = i + V::W - 1 + p_; // text needed to decide position i + W - 1; <= n
    size_t j = verified_end_;
    if (!run_broken_) {
      // j - q >= x + p - q >= x >= 0 for the run's first match x; loads end at or before need.
      while (j < need) {
        if (need - j >= V::W) {
          const auto m = V::movemask(V::cmpeq(V::load(t_ + j), V::load(t_ + j - q_)));
          if (m != full) {
            j += __builtin_ctzll(~std::uint64_t(m));
            run_broken_ = true;
            break;
          }
          j += V::W;
        } else {
          if (t_[j] != t_[j - q_]) {
            run_broken_ = true;
            break;
          }
          ++j;
        }
      }
      verified_end_ = j;
    }
    const size_t last = verified_end_ - p_; // >= i - 1: the previous block was fully decided
    const size_t hi = last < i + V::W - 1 ? last : i + V::W - 1;
    if (run_next_ <= hi) {
      const size_t span = hi - run_next_ + 1; // <= W
      const std::uint64_t s = stride_ & low_bits(span);
      bits |= s << (run_next_ - i);
      run_next_ += q_ * static_cast<size_t>(__builtin_popcountll(s));
    }
    if (last >= i + V::W - 1) {
      cand = 0;
      return true;
    }
    run_active_ = false;
    cand &= ~low_bits(last + 1 - i);
    return false;
  }

  // fail_[k]: length of the longest proper border of pattern[0, k).
  void build_failure() {
    if (fail_)
      return;
    fail_.reset(new std::uint32_t[p_ + 1]);
    fail_[0] = 0;
    if (p_ >= 1)
      fail_[1] = 0;
    size_t k = 0;
    for (size_t j = 1; j < p_; ++j) {
      while (k > 0 && pat_[j] != pat_[k])
        k = fail_[k];
      if (pat_[j] == pat_[k])
        ++k;
      fail_[j + 1] = static_cast<std::uint32_t>(k);
    }
  }

  // The linear fallback: KMP over positions [i, fit_end), reading text[i, fit_end - 1 + p).
  size_t kmp(size_t i, size_t fit_end) {
    build_failure();
    const size_t lim = fit_end - 1 + p_; // <= n
    size_t k = 0, w = i;
    for (size_t j = i; j < lim; ++j) {
      while (k > 0 && t_[j] != pat_[k])
        k = fail_[k];
      if (t_[j] == pat_[k])
        ++k;
      if (k == p_) {
        const size_t s = j + 1 - p_;
        std::memset(out_ + w, 0, s - w);
        out_[s] = 1;
        w = s + 1;
        k = fail_[p_];
      }
    }
    std::memset(out_ + w, 0, fit_end - w);
    return fit_end;
  }

  const plan& pl_;
  const unsigned char* t_;
  const unsigned char* pat_;
  size_t p_;
  unsigned char* out_;

  std::unique_ptr<std::uint32_t[]> fail_;
  size_t q_ = 0;            // smallest period, 0 until needed
  std::uint64_t stride_ = 0; // bits at multiples of q_ (q_ < 64), else bit 0
  bool run_active_ = false;
  bool run_broken_ = false;
  size_t run_next_ = 0;      // next position the run marks
  size_t verified_end_ = 0;  // text[j] == text[j - q] for j in [run start + p, verified_end_)
};

template <class V> void search_chunk(const plan& pl, size_t start, size_t end) {
  if (pl.stream) {
    chunk_searcher<V, true>(pl).run(start, end);
    V::fence();
  } else {
    chunk_searcher<V, false>(pl).run(start, end);
  }
}

} // namespace
