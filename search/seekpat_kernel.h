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

// A run's matches among positions [next, hi] (i <= next, hi < i + 64) as bits relative to i;
// stride has bits at the multiples of q below 64 (q < 64), or bit 0 alone. Advances next past hi.
inline std::uint64_t stride_bits(std::uint64_t stride, size_t q, size_t i, size_t hi,
                                 size_t& next) {
  if (next > hi)
    return 0;
  const std::uint64_t s = stride & low_bits(hi - next + 1);
  const std::uint64_t bits = s << (next - i);
  next += q * static_cast<size_t>(__builtin_popcountll(s));
  return bits;
}

// Short patterns: every pattern byte is compared in vector lanes at its offset, so the AND of
// the P masks is the exact map of W positions; no candidate is ever verified one by one, which
// keeps frequent patterns (" the ", "e") as fast as absent ones. Fills out[i, ...) W positions
// at a time while i + W <= fit_end, returns where it stopped. A function of its own, on plain
// pointers, so the compiler keeps everything in registers (the map is written through an
// unsigned char pointer, which may alias any member of a class).
template <class V, bool Stream, size_t P>
__attribute__((noinline)) size_t exact_positions(const unsigned char* t, const unsigned char* pat,
                                                 unsigned char* out, size_t i, size_t fit_end) {
  static_assert(P >= 1 && P <= seekpat_internal::exact_max, "exact path covers short patterns");
  typename V::vec b[P];
#pragma GCC unroll 8
  for (size_t k = 0; k < P; ++k)
    b[k] = V::set1(pat[k]);
  const typename V::vec one = V::one();
  // i + W <= fit_end = min(end, n - P + 1): the furthest load, at i + P - 1, ends at
  // i + W + P - 2 < n.
  for (; fit_end - i >= V::W; i += V::W) {
    typename V::vec acc = V::cmpeq(V::load(t + i), b[0]);
#pragma GCC unroll 8
    for (size_t k = 1; k < P; ++k)
      acc = V::and_(acc, V::cmpeq(V::load(t + i + k), b[k]));
    V::template put<Stream>(out + i, V::and_(acc, one));
  }
  return i;
}

// The filter for long patterns: position x is a candidate when the pattern bytes at offsets
// o[0..2] (chosen rare) all sit at x + o[k]. Needs x + W <= fit_end, so every load ends inside
// the text: x + W - 1 + o[k] <= fit_end - 1 + p - 1 < n.
template <class V>
inline typename V::mask filter_mask(const unsigned char* t, size_t x, const size_t* o,
                                    const typename V::vec* b) {
  return V::movemask(V::and_(V::and_(V::cmpeq(V::load(t + x + o[0]), b[0]),
                                     V::cmpeq(V::load(t + x + o[1]), b[1])),
                             V::cmpeq(V::load(t + x + o[2]), b[2])));
}

// The no-candidate fast path: writes zeros for whole blocks of W positions that hold no
// candidate, two blocks per step, and stops at the first block that holds one or when fewer
// than W positions are left before fit_end; returns that block's start. On plain pointers and
// out of line, so that the loop keeps everything in registers.
template <class V, bool Stream>
__attribute__((noinline)) size_t skip_quiet_blocks(const unsigned char* t, unsigned char* out,
                                                   const unsigned char* pat, const size_t* off,
                                                   size_t i, size_t fit_end) {
  const size_t o[3] = {off[0], off[1], off[2]};
  const typename V::vec b[3] = {V::set1(pat[o[0]]), V::set1(pat[o[1]]), V::set1(pat[o[2]])};
  const typename V::vec zero = V::zero();
  for (; fit_end - i >= 2 * V::W; i += 2 * V::W) {
    const auto m0 = filter_mask<V>(t, i, o, b);
    const auto m1 = filter_mask<V>(t, i + V::W, o, b);
    if (m0 | m1) {
      if (m0)
        return i;
      V::template put<Stream>(out + i, zero);
      return i + V::W;
    }
    V::template put<Stream>(out + i, zero);
    V::template put<Stream>(out + i + V::W, zero);
  }
  for (; fit_end - i >= V::W; i += V::W) {
    if (filter_mask<V>(t, i, o, b))
      return i;
    V::template put<Stream>(out + i, zero);
  }
  return i;
}

// Writes zeros for whole blocks of W positions from i while a block ends at or before `until`
// and W positions remain before fit_end; returns where it stopped.
template <class V, bool Stream>
__attribute__((noinline)) size_t zero_blocks(unsigned char* out, size_t i, size_t until,
                                             size_t fit_end) {
  const typename V::vec zero = V::zero();
  for (; fit_end - i >= V::W && until - i >= V::W; i += V::W)
    V::template put<Stream>(out + i, zero);
  return i;
}

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
    case 1: return exact_positions<V, Stream, 1>(t_, pat_, out_, i, fit_end);
    case 2: return exact_positions<V, Stream, 2>(t_, pat_, out_, i, fit_end);
    case 3: return exact_positions<V, Stream, 3>(t_, pat_, out_, i, fit_end);
    case 4: return exact_positions<V, Stream, 4>(t_, pat_, out_, i, fit_end);
    case 5: return exact_positions<V, Stream, 5>(t_, pat_, out_, i, fit_end);
    case 6: return exact_positions<V, Stream, 6>(t_, pat_, out_, i, fit_end);
    case 7: return exact_positions<V, Stream, 7>(t_, pat_, out_, i, fit_end);
    default: return exact_positions<V, Stream, 8>(t_, pat_, out_, i, fit_end);
    }
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
  // A candidate that fails late in periodic text marks the stretch where the text keeps the
  // period as dead (skip_periodic_misses). Verification is bounded by a work budget; past it the
  // rest of the chunk goes to KMP, which keeps the whole search O(n + p) on any input.
  size_t filter_loop(size_t i, size_t fit_end) {
    const size_t* o = pl_.filter_off;
    const typename V::vec b[3] = {V::set1(pat_[o[0]]), V::set1(pat_[o[1]]), V::set1(pat_[o[2]])};
    const size_t budget = pl_.verify_budget * (fit_end - i) + pl_.verify_allowance;
    size_t work = 0;
    // i + W <= fit_end = min(end, n - p + 1): filter loads end before n (see filter_mask), and
    // a run extends text only up to i + W - 1 + p <= n.
    while (fit_end - i >= V::W) {
      std::uint64_t bits = 0, cand = ~0ull;
      if (dead_end_ > i) { // no match starts below dead_end_
        i = zero_blocks<V, Stream>(out_, i, dead_end_, fit_end);
        if (fit_end - i < V::W)
          break;
        if (dead_end_ > i)
          cand = ~low_bits(dead_end_ - i); // dead_end_ - i < W
      }
      if (run_active_) {
        i = run_blocks(i, fit_end);
        if (fit_end - i < V::W)
          break;
        if (advance_run(i, bits, cand)) {
          put(i, V::expand(static_cast<typename V::mask>(bits)));
          i += V::W;
          continue;
        }
      } else {
        if (work > budget)
          return kmp(i, fit_end);
        i = skip_quiet_blocks<V, Stream>(t_, out_, pat_, o, i, fit_end);
        if (fit_end - i < V::W)
          break;
      }
      cand &= filter_mask<V>(t_, i, o, b);
      while (cand) {
        const size_t bit = __builtin_ctzll(cand);
        const size_t x = i + bit;
        const size_t mis = mismatch(x);
        work += mis + 8;
        cand &= cand - 1;
        if (mis != p_) {
          if (mis >= dead_min && have_failure(x, fit_end)) {
            skip_periodic_misses(x, mis, fit_end, work);
            cand &= ~low_bits(dead_end_ - i); // all of them when dead_end_ - i >= 64
          }
          continue;
        }
        bits |= 1ull << bit;
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
      i += V::W;
    }
    run_active_ = false;
    return i;
  }

  // Whether the failure function is at hand, building it when enough positions remain for what
  // it enables (runs, skipping periodic misses) to pay for its O(p) cost.
  bool have_failure(size_t x, size_t fit_end) {
    if (!fail_) {
      if (fit_end - x < 2 * p_)
        return false;
      build_failure();
    }
    return true;
  }

  // Whether to follow matches as runs; needs the pattern's smallest period.
  bool want_runs(size_t x, size_t fit_end) {
    if (q_ == 0) {
      if (!have_failure(x, fit_end))
        return false;
      q_ = p_ - fail_[p_];
      stride_ = q_ < 64 ? 0 : 1;
      if (q_ < 64) {
        for (size_t k = 0; k < 64; k += q_)
          stride_ |= 1ull << k;
      }
      if (q_ <= tile_max) {
        const size_t len = q_ + V::W - 1;
        // Cache-line aligned, so that a window of the tile crosses as few lines as it can.
        tile_.reset(new (std::align_val_t(64)) unsigned char[len]);
        for (size_t k = 0; k < len; ++k)
          tile_[k] = k % q_ == 0;
      }
    }
    return true;
  }

  // After candidate x failed at pattern index mis >= 1: text[x, x + mis) equals pattern[0, mis),
  // whose smallest period is r = mis - fail[mis]. Where the text keeps period r on from x + mis
  // up to L, no window starting in [x, L - mis) can match: its first mis + 1 bytes would be
  // r-periodic, and pattern[0, mis] is not (text[x + mis] = text[x + mis - r] = pattern[mis - r]
  // differs from pattern[mis]). Marks those positions dead, so periodic text that keeps almost
  // matching costs one compare per byte instead of a verification per candidate.
  void skip_periodic_misses(size_t x, size_t mis, size_t fit_end, size_t& work) {
    const size_t r = mis - fail_[mis];
    bool broken = false;
    // Dead positions stay below fit_end: L <= fit_end - 1 + mis, which is < n as mis < p.
    const size_t from = x + mis;
    const size_t L = extend_run(t_, r, from, fit_end - 1 + mis, broken);
    work += (L - from) / 8;
    if (L - mis > dead_end_)
      dead_end_ = L - mis;
  }

  // Extends the run over text[verified_end_, need): stops at the first j with
  // text[j] != text[j - q]. Reads text[j - q] >= text[x] (x the run's first match) and
  // text[j] < need <= n.
  static size_t extend_run(const unsigned char* t, size_t q, size_t j, size_t need, bool& broken) {
    while (j < need) {
      if (need - j >= V::W) {
        const auto m = V::movemask(V::cmpeq(V::load(t + j), V::load(t + j - q)));
        if (m != full) {
          broken = true;
          return j + __builtin_ctzll(~std::uint64_t(m));
        }
        j += V::W;
      } else {
        if (t[j] != t[j - q]) {
          broken = true;
          return j;
        }
        ++j;
      }
    }
    return j;
  }

  // While a run decides whole blocks, writes them in a tight loop (state in locals, which stay
  // in registers); returns the first block the run does not decide whole, unwritten.
  // Invariant on entry and between blocks: i <= run_next_ < i + q (the previous match lies
  // before i, as the block before was decided whole or held the run's first match).
  __attribute__((noinline)) size_t run_blocks(size_t i, size_t fit_end) {
    const unsigned char* const t = t_;
    unsigned char* const out = out_;
    const size_t p = p_, q = q_;
    size_t next = run_next_, ver = verified_end_;
    bool broken = run_broken_;
    if (tile_) {
      // The map of a run is periodic: block i is tile_[off, off + W) with off = (i - next) mod q.
      const unsigned char* const tile = tile_.get();
      const size_t step = V::W % q;
      size_t off = next == i ? 0 : q - (next - i);
      // When q divides W every block of the run is the same window; keep it in a register.
      const typename V::vec same = V::load(tile + off);
      const bool fixed = step == 0;
      for (; fit_end - i >= V::W; i += V::W) {
        if (!broken && ver == i + p - 1) {
          // The steady state: text verified up to the block's first window end. The load
          // addresses depend on i alone, not on the previous compare, so blocks overlap in the
          // pipeline. j - q >= x for the run's first match x; j + W = i + W - 1 + p <= n.
          for (; fit_end - i >= V::W; i += V::W) {
            const size_t j = i + p - 1;
            const auto m = V::movemask(V::cmpeq(V::load(t + j), V::load(t + j - q)));
            if (m != full) {
              ver = j + __builtin_ctzll(~std::uint64_t(m));
              broken = true;
              break;
            }
            V::template put<Stream>(out + i, fixed ? same : V::load(tile + off));
            off += step;
            if (off >= q)
              off -= q;
          }
          if (!broken)
            ver = i + p - 1;
          if (fit_end - i < V::W)
            break;
        }
        if (!broken)
          ver = extend_run(t, q, ver, i + V::W - 1 + p, broken);
        if (ver - p < i + V::W - 1) // ver >= x + p for the run's first match x
          break;
        // off + W <= q - 1 + W: the window lies inside the tile.
        V::template put<Stream>(out + i, fixed ? same : V::load(tile + off));
        off += step;
        if (off >= q)
          off -= q;
      }
      next = i + (off == 0 ? 0 : q - off);
    } else {
      const std::uint64_t stride = stride_;
      for (; fit_end - i >= V::W; i += V::W) {
        if (!broken)
          ver = extend_run(t, q, ver, i + V::W - 1 + p, broken);
        if (ver - p < i + V::W - 1)
          break;
        const std::uint64_t bits = stride_bits(stride, q, i, i + V::W - 1, next);
        V::template put<Stream>(out + i, V::expand(static_cast<typename V::mask>(bits)));
      }
    }
    run_next_ = next;
    verified_end_ = ver;
    run_broken_ = broken;
    return i;
  }

  // The run of matches started at a verified match decides positions up to last = verified_end
  // - p. Marks its matches inside the block [i, i + W) in bits and clears the decided positions
  // from cand. Returns true when the whole block is decided.
  bool advance_run(size_t i, std::uint64_t& bits, std::uint64_t& cand) {
    // Deciding position i + W - 1 needs text below need = i + W - 1 + p <= n.
    if (!run_broken_)
      verified_end_ = extend_run(t_, q_, verified_end_, i + V::W - 1 + p_, run_broken_);
    const size_t last = verified_end_ - p_; // >= i - 1: the previous block was fully decided
    const size_t hi = last < i + V::W - 1 ? last : i + V::W - 1;
    bits |= stride_bits(stride_, q_, i, hi, run_next_);
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

  // Failed verifications shorter than this are not worth looking for a periodic stretch.
  static constexpr size_t dead_min = 16;

  const plan& pl_;
  const unsigned char* t_;
  const unsigned char* pat_;
  size_t p_;
  unsigned char* out_;

  std::unique_ptr<std::uint32_t[]> fail_;
  size_t q_ = 0;            // smallest period, 0 until needed
  std::uint64_t stride_ = 0; // bits at multiples of q_ (q_ < 64), else bit 0
  // For q_ <= tile_max: q_ + W - 1 map bytes, 1 at multiples of q_; every block of a run is a
  // window of it.
  static constexpr size_t tile_max = 4096;
  struct aligned_delete {
    void operator()(unsigned char* b) const { ::operator delete[](b, std::align_val_t(64)); }
  };
  std::unique_ptr<unsigned char[], aligned_delete> tile_;
  bool run_active_ = false;
  bool run_broken_ = false;
  size_t run_next_ = 0;      // next position the run marks
  size_t verified_end_ = 0;  // text[j] == text[j - q] for j in [run start + p, verified_end_)
  size_t dead_end_ = 0;      // no match starts at a position between the last miss and this
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
