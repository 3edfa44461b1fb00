// The linear fallback of the filter's route: Two-Way, O(n + p) on any input, with no memory.
#pragma once

#include "kernel/common.h"

namespace {

// Maximal suffix of x[0, m) under the byte order (reversed when `rev`): returns the index
// before it (-1 when it is all of x) and sets per to its period.
inline std::ptrdiff_t max_suffix(const unsigned char* x, std::ptrdiff_t m, bool rev,
                                 std::ptrdiff_t& per) {
  std::ptrdiff_t ms = -1, j = 0, k = 1;
  per = 1;
  while (j + k < m) { // ms < j, so ms + k < m
    const unsigned char a = x[j + k], b = x[ms + k];
    if (rev ? a > b : a < b) {
      j += k;
      k = 1;
      per = j - ms;
    } else if (a == b) {
      if (k != per) {
        ++k;
      } else {
        j += per;
        k = 1;
      }
    } else {
      ms = j;
      j = ms + 1;
      k = per = 1;
    }
  }
  return ms;
}

// The linear fallback: Two-Way (Crochemore-Perrin) over positions [i, fit_end) of text y,
// reading y[i, fit_end - 1 + p); returns fit_end. O(fit_end - i + p) time and no memory, so it
// runs whatever else could not be allocated.
template <class V, sink S>
size_t two_way(const unsigned char* y, const unsigned char* x, size_t p, out_of<S> out, size_t i,
               size_t fit_end, size_t& count) {
  const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(p);
  std::ptrdiff_t per1, per2;
  const std::ptrdiff_t ms1 = max_suffix(x, m, false, per1);
  const std::ptrdiff_t ms2 = max_suffix(x, m, true, per2);
  // The critical factorisation: x = x[0, ell] x[ell + 1, m), ell in [-1, m - 1).
  const std::ptrdiff_t ell = ms1 > ms2 ? ms1 : ms2;
  std::ptrdiff_t per = ms1 > ms2 ? per1 : per2;
  size_t w = i; // the map is decided below w
  auto hit = [&](size_t s) {
    emit<V, S>::zero_range(out, w, s);
    emit<V, S>::one(out, s, count);
    w = s + 1;
  };
  // Every compare below reads y[j + k] with j < fit_end and k < m: below fit_end - 1 + p.
  if (ell + 1 + per <= m && std::memcmp(x, x + per, static_cast<size_t>(ell + 1)) == 0) {
    // x has period per: after a match only the last per bytes are new (memory).
    std::ptrdiff_t memory = -1;
    for (size_t j = i; j < fit_end;) {
      std::ptrdiff_t k = (ell > memory ? ell : memory) + 1;
      while (k < m && x[k] == y[j + k])
        ++k;
      if (k >= m) {
        k = ell;
        while (k > memory && x[k] == y[j + k])
          --k;
        if (k <= memory)
          hit(j);
        j += per;
        memory = m - per - 1;
      } else {
        j += k - ell;
        memory = -1;
      }
    }
  } else {
    per = (ell + 1 > m - ell - 1 ? ell + 1 : m - ell - 1) + 1;
    for (size_t j = i; j < fit_end;) {
      std::ptrdiff_t k = ell + 1;
      while (k < m && x[k] == y[j + k])
        ++k;
      if (k >= m) {
        k = ell;
        while (k >= 0 && x[k] == y[j + k])
          --k;
        if (k < 0)
          hit(j);
        j += per;
      } else {
        j += k - ell;
      }
    }
  }
  emit<V, S>::zero_range(out, w, fit_end);
  return fit_end;
}

} // namespace
