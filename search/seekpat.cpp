// Running a plan: the kernel for the CPU, the number of threads and the pieces they take, a map
// never touched told from a warm one; and the entry points that plan a whole text
// (seekpat_planner.cpp) and run it: run_search, search and the C entry point seekpat().
#include "seekpat.h"
#include "definition.h"
#include "planner.h"
#include "runtime.h"
#include "threads.h"

#include <sys/mman.h> // mincore
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>

namespace seekpat_internal {
namespace {

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  }();
  return has;
}

// Fills the map when the text is too short for anything but the definition, or the pattern longer
// than the text, and returns true; returns false, writing nothing, otherwise. Needs p >= 1.
// Inlined into the public entry point, so a tiny search costs no more than the definition.
__attribute__((always_inline)) inline bool short_search(const char* pattern, std::size_t p,
                                                        const char* text, std::size_t n, char* out,
                                                        std::size_t short_max) {
  if (n >= short_max) {
    if (p <= n)
      return false;
    std::memset(out, 0, n);
    return true;
  }
  // Too short for any set-up to pay: the definition, and a plain loop where a call to memset
  // would cost more than the bytes.
  const std::size_t fit = p <= n ? n - p + 1 : 0;
  define_positions(reinterpret_cast<const unsigned char*>(text),
                   reinterpret_cast<const unsigned char*>(pattern), p,
                   reinterpret_cast<unsigned char*>(out), 0, fit);
  for (std::size_t x = fit; x < n; ++x)
    out[x] = 0;
  return true;
}

// A text the definition does not answer; see below.
std::size_t search_text(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                        const pattern_tables* tables, const unsigned char* text, std::size_t n,
                        unsigned char* out, bool count, const tuning& tune) noexcept;

} // namespace

bool kernel_supported(kernel k) { return k != kernel::avx2 || cpu_has_avx2(); }

bool map_is_fresh(const unsigned char* out, std::size_t n) {
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || n == 0)
    return false;
  const std::uintptr_t mid = reinterpret_cast<std::uintptr_t>(out) + n / 2;
  unsigned char resident = 1;
  // The page holding out[n / 2] lies inside the map's mapping, so mincore cannot fail on it
  // but for a mapping that is not memory at all; then the map counts as warm.
  if (mincore(reinterpret_cast<void*>(mid & ~(static_cast<std::uintptr_t>(page) - 1)),
              static_cast<std::size_t>(page), &resident) != 0)
    return false;
  return (resident & 1) == 0;
}

const kernel_entries& kernel_for(const tuning& tune) {
  const bool avx2 = tune.kern == kernel::automatic || tune.kern == kernel::avx2;
  return avx2 && cpu_has_avx2() ? avx2_kernel : sse2_kernel;
}

sharing choose_sharing(std::size_t n, const tuning& tune, writes w) {
  sharing d;
  d.piece = kernel_for(tune).piece;

  d.threads = static_cast<std::size_t>(tune.threads);
  if (tune.threads <= 0) {
    // Every thread gets at least so many positions: below that, waking or starting it costs
    // more than it saves.
    const std::size_t least = w == writes::fresh_map
                                  ? std::min(tune.min_share, tune.fresh_min_share)
                              : w == writes::little ? 2 * tune.min_share
                                                    : tune.min_share;
    d.threads = n / std::max<std::size_t>(least, 1);
    // Never more shares than the hardware has threads, whatever the ceiling: more would run
    // on no more threads, each holding its own positions.
    if (d.threads > 1)
      d.threads = std::min<std::size_t>({d.threads,
                                         tune.max_threads ? tune.max_threads : hardware_threads(),
                                         hardware_threads()});
  }
  d.threads = std::clamp<std::size_t>(d.threads, 1, std::max<std::size_t>(n, 1));
  d.granule = std::max<std::size_t>(tune.granule, 1);
  d.min_piece = std::max(d.granule, tune.min_share / 16);
  return d;
}

std::size_t run_plan(const plan& pl, const unsigned char* text, unsigned char* out,
                     const sharing& d) noexcept {
  if (d.threads == 1)
    return d.piece(pl, text, piece_output{out, nullptr}, 0, pl.n);
  // Pieces end on granules, and on pages of a map filled from their end. Each piece writes only
  // out[start, end); the text is only read, so pieces may overlap there.
  std::atomic<std::size_t> total{0};
  for_each_piece(
      0, pl.n, {d.threads, d.min_piece, std::max(d.granule, pl.back_page)},
      [&](std::size_t, std::size_t start, std::size_t end) {
        if (const std::size_t c = d.piece(pl, text, piece_output{out, nullptr}, start, end))
          total.fetch_add(c, std::memory_order_relaxed);
      });
  return total.load(std::memory_order_relaxed);
}

std::size_t run_search(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                       const pattern_tables* tables, const unsigned char* text, std::size_t n,
                       unsigned char* out, bool count, const tuning& tune) noexcept {
  if (n == 0)
    return 0;
  if (p == 0) { // the empty pattern occurs at every position
    if (!count)
      std::memset(out, 1, n);
    return n;
  }
  if (!count &&
      short_search(reinterpret_cast<const char*>(pattern), p, reinterpret_cast<const char*>(text),
                   n, reinterpret_cast<char*>(out), tune.short_max))
    return 0;
  if (p > n || n < tune.short_max)
    return p > n ? 0 : count_positions(text, pattern, p, 0, n - p + 1);
  return search_text(pattern, p, filter_off, tables, text, n, out, count, tune);
}

namespace {

// run_search past the texts the definition answers: 1 <= p <= n and n >= tune.short_max.
std::size_t search_text(const unsigned char* pattern, std::size_t p, const std::size_t* filter_off,
                        const pattern_tables* tables, const unsigned char* text, std::size_t n,
                        unsigned char* out, bool count, const tuning& tune) noexcept {
  assert(p >= 1 && p <= n && n >= tune.short_max);
  // Small texts on one thread: no plan, no set-up, where these would cost as much as the search.
  if (n <= tune.small_max && tune.threads <= 1) {
    const std::size_t budget = tune.verify_budget * n + tune.verify_allowance;
    std::size_t matches = 0;
    if (kernel_for(tune).small(pattern, p, text, n, out, budget, count ? &matches : nullptr))
      return matches;
  }

  // A fresh map takes threads sooner and fills each page from its end (tuning::fresh_stretch). The
  // question costs about a microsecond, against at least a hundred for such a text.
  const bool fresh =
      !count &&
      (tune.fresh >= 0 ? tune.fresh == 1 : n >= 2 * tune.fresh_min_share && map_is_fresh(out, n));
  const plan pl = plan_search(pattern, p, filter_off, tables, text, n,
                              count                  ? sink::count
                              : n >= tune.stream_min ? sink::stream
                                                     : sink::store,
                              fresh, tune);
  return run_plan(pl, text, out,
                  choose_sharing(n, tune,
                                 count   ? writes::little
                                 : fresh ? writes::fresh_map
                                         : writes::warm_map));
}

} // namespace

void search(const char* pattern, std::size_t p, const char* text, std::size_t n, char* out,
            const tuning& tune) noexcept {
  run_search(reinterpret_cast<const unsigned char*>(pattern), p, nullptr, nullptr,
             reinterpret_cast<const unsigned char*>(text), n, reinterpret_cast<unsigned char*>(out),
             false, tune);
}

} // namespace seekpat_internal

void seekpat(const char* pattern, const char* text, char* out, int n) {
  if (n <= 0 || pattern == nullptr || text == nullptr || out == nullptr)
    return;
  // The default knobs, built once: building them per call costs a few nanoseconds, a tenth of
  // a search over 100 bytes.
  static constexpr seekpat_internal::tuning defaults{};
  const std::size_t p = std::strlen(pattern);
  // Short texts are answered here, without a call into the general search, and the rest goes
  // straight to it.
  if (p == 0) {
    seekpat_internal::search(pattern, p, text, static_cast<std::size_t>(n), out, defaults);
    return;
  }
  if (seekpat_internal::short_search(pattern, p, text, static_cast<std::size_t>(n), out,
                                     defaults.short_max))
    return;
  seekpat_internal::search_text(reinterpret_cast<const unsigned char*>(pattern), p, nullptr,
                                nullptr, reinterpret_cast<const unsigned char*>(text),
                                static_cast<std::size_t>(n), reinterpret_cast<unsigned char*>(out),
                                false, defaults);
}

// Before version 1.1 seekpat had C++ linkage; its old name stays, so that programs linked against
// the shared library 1.0 still load.
extern "C" SEEKPAT_C_API void seekpat_cxx_name(const char*, const char*, char*, int) noexcept
    __asm__("_Z7seekpatPKcS0_Pci") __attribute__((alias("seekpat")));
