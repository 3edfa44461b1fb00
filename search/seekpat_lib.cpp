// The library API: a prepared pattern holds what the search derives from the pattern alone, so
// that each call plans only what depends on the text (its size, the threads, the kernel).
#include "filter_bytes.h"
#include "prepared.h"
#include "runtime.h"
#include "seekpat.h"
#include "seekpat.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace seekpat_internal {

prepared::prepared(const unsigned char* src, std::size_t len) : p(len) {
  bytes.reset(new unsigned char[p ? p : 1]);
  if (p)
    std::memcpy(bytes.get(), src, p);
  const unsigned char* pat = bytes.get();
  // Offsets over the whole pattern, as for the largest texts: chosen once, good for any text.
  if (p > exact_max)
    choose_filter(pat, p, ~std::size_t(0), filter_off);
  if (p < 2 || p >= UINT32_MAX) // borders are held in 32 bits
    return;
  // Every pattern of two bytes or more gets its failure function, which stream searchers follow
  // across chunks; only the longer ones' kernels use it.
  fail.reset(new (std::nothrow) std::uint32_t[p + 1]);
  if (!fail)
    return;
  build_failure(pat, p, fail.get());
  if (p <= exact_max)
    return;
  tables.fail = fail.get();
  tables.q = p - fail[p];
  if (tables.q <= tile_max) {
    tile.reset(new (std::align_val_t(64), std::nothrow) unsigned char[tables.q + tile_slack]);
    if (tile)
      fill_tile(tile.get(), tables.q);
    tables.tile = tile.get();
  }
}

} // namespace seekpat_internal

namespace seekpat_lib {

using namespace seekpat_internal;

struct pattern::state : prepared {
  using prepared::prepared;
};

pattern::pattern(const void* bytes, std::size_t p) {
  if (bytes == nullptr && p > 0)
    throw std::invalid_argument("seekpat_lib::pattern: null bytes with a nonzero length");
  state_ = std::make_shared<const state>(static_cast<const unsigned char*>(bytes), p);
}

std::size_t pattern::size() const noexcept { return state_->p; }

std::string_view pattern::bytes() const noexcept {
  return {reinterpret_cast<const char*>(state_->bytes.get()), state_->p};
}

namespace {

void check_args(const void* text, std::size_t n, const void* out, bool need_out) {
  if (n > 0 && (text == nullptr || (need_out && out == nullptr)))
    throw std::invalid_argument(need_out ? "seekpat_lib: null text or map with a nonzero length"
                                         : "seekpat_lib: null text with a nonzero length");
}

tuning tuning_for(unsigned threads) {
  tuning t;
  t.max_threads = threads;
  return t;
}

} // namespace

bool pattern::pieces(const void* text, std::size_t n, std::size_t piece, const piece_calls& calls,
                     void* ctx, unsigned threads) const {
  check_args(text, n, nullptr, false);
  if (piece == 0)
    throw std::invalid_argument("seekpat_lib::pattern::for_each_piece: pieces of 0 bytes");
  const prepared& st = *state_;
  const seekpat_internal::piece_calls inner = {calls.slots, calls.work, calls.done};
  return visit_pieces(st.bytes.get(), st.p, st.filter_off, &st.tables,
                      static_cast<const unsigned char*>(text), n, tuning_for(threads), piece, inner,
                      ctx);
}

bool pattern::tracks() const noexcept { return state_->fail != nullptr; }

bool pattern::track(std::size_t* state, const void* data, std::size_t n,
                    bool (*found)(void*, std::size_t), void* ctx) const {
  const prepared& st = *state_;
  const unsigned char* pat = st.bytes.get();
  const unsigned char* d = static_cast<const unsigned char*>(data);
  const std::uint32_t* fail = st.fail.get();
  const std::size_t p = st.p;
  // q < p at the top of every step: an occurrence, once reported, falls back to its border.
  std::size_t q = *state;
  auto quiet = [&](std::size_t from) {
    for (std::size_t j = from; j < n; ++j) {
      while (q > 0 && pat[q] != d[j])
        q = fail[q];
      q += pat[q] == d[j];
      if (q == p)
        q = fail[p];
    }
  };
  bool go = found != nullptr;
  for (std::size_t j = 0; j < n; ++j) {
    while (q > 0 && pat[q] != d[j])
      q = fail[q];
    q += pat[q] == d[j];
    if (q == p) {
      q = fail[p];
      if (go) {
        try {
          go = found(ctx, j);
        } catch (...) { // the rest of the bytes still move the state on
          quiet(j + 1);
          *state = q;
          throw;
        }
        if (!go) {
          quiet(j + 1);
          break;
        }
      }
    }
  }
  *state = q;
  return go || found == nullptr;
}

void pattern::map(const void* text, std::size_t n, void* out, unsigned threads) const {
  check_args(text, n, out, true);
  // A map written over its own text would change what is still to be read.
  const auto t = reinterpret_cast<std::uintptr_t>(text), o = reinterpret_cast<std::uintptr_t>(out);
  if (n > 0 && (t < o ? o - t : t - o) < n)
    throw std::invalid_argument("seekpat_lib: text and map overlap");
  const prepared& st = *state_;
  run_search(st.bytes.get(), st.p, st.filter_off, &st.tables,
             static_cast<const unsigned char*>(text), n, static_cast<unsigned char*>(out), false,
             tuning_for(threads));
}

std::size_t pattern::count(const void* text, std::size_t n, unsigned threads) const {
  check_args(text, n, nullptr, false);
  const prepared& st = *state_;
  return run_search(st.bytes.get(), st.p, st.filter_off, &st.tables,
                    static_cast<const unsigned char*>(text), n, nullptr, true, tuning_for(threads));
}

std::vector<std::size_t> pattern::find_all(const void* text, std::size_t n,
                                           unsigned threads) const {
  check_args(text, n, nullptr, false);
  const prepared& st = *state_;
  return find_positions(st.bytes.get(), st.p, st.filter_off, &st.tables,
                        static_cast<const unsigned char*>(text), n, tuning_for(threads));
}

bool pattern::visit(const void* text, std::size_t n,
                    bool (*take)(void*, const std::size_t*, std::size_t), void* ctx,
                    unsigned threads) const {
  check_args(text, n, nullptr, false);
  const prepared& st = *state_;
  return visit_positions(st.bytes.get(), st.p, st.filter_off, &st.tables,
                         static_cast<const unsigned char*>(text), n, tuning_for(threads), take,
                         ctx);
}

} // namespace seekpat_lib

// The C interface: the same prepared pattern behind an opaque handle, every error a return code.
struct seekpat_pattern {
  seekpat_lib::pattern pat;
};

namespace {

// Runs f, turning what the C++ interface throws into the C interface's codes: nothing may
// unwind through a C caller.
template <class F> int c_call(F&& f) noexcept {
  try {
    return f();
  } catch (const std::invalid_argument&) {
    return SEEKPAT_EINVAL;
  } catch (...) { // std::bad_alloc, or a length no allocation can hold
    return SEEKPAT_ENOMEM;
  }
}

} // namespace

extern "C" {

SEEKPAT_C_API int seekpat_pattern_new(const void* bytes, size_t p, seekpat_pattern** pat) {
  if (pat == nullptr)
    return SEEKPAT_EINVAL;
  *pat = nullptr;
  return c_call([&] {
    *pat = new seekpat_pattern{seekpat_lib::pattern(bytes, p)};
    return SEEKPAT_OK;
  });
}

SEEKPAT_C_API void seekpat_pattern_free(seekpat_pattern* pat) { delete pat; }

SEEKPAT_C_API int seekpat_pattern_count(const seekpat_pattern* pat, const void* text, size_t n,
                                        unsigned threads, size_t* count) {
  if (pat == nullptr || count == nullptr)
    return SEEKPAT_EINVAL;
  return c_call([&] {
    *count = pat->pat.count(text, n, threads);
    return SEEKPAT_OK;
  });
}

SEEKPAT_C_API int seekpat_pattern_map(const seekpat_pattern* pat, const void* text, size_t n,
                                      void* out, unsigned threads) {
  if (pat == nullptr)
    return SEEKPAT_EINVAL;
  return c_call([&] {
    pat->pat.map(text, n, out, threads);
    return SEEKPAT_OK;
  });
}

SEEKPAT_C_API int seekpat_pattern_positions(const seekpat_pattern* pat, const void* text, size_t n,
                                            unsigned threads, int (*fn)(void* ctx, size_t position),
                                            void* ctx) {
  if (pat == nullptr || fn == nullptr)
    return SEEKPAT_EINVAL;
  return c_call([&] {
    const bool all = pat->pat.for_each(
        text, n, [&](std::size_t x) { return fn(ctx, x) == 0; }, threads);
    return all ? SEEKPAT_OK : SEEKPAT_STOPPED;
  });
}

struct seekpat_stream {
  seekpat_lib::stream_searcher stream;
};

SEEKPAT_C_API int seekpat_stream_new(const seekpat_pattern* pat, unsigned threads,
                                     seekpat_stream** stream) {
  if (stream == nullptr)
    return SEEKPAT_EINVAL;
  *stream = nullptr;
  if (pat == nullptr)
    return SEEKPAT_EINVAL;
  return c_call([&] {
    *stream = new seekpat_stream{seekpat_lib::stream_searcher(pat->pat, threads)};
    return SEEKPAT_OK;
  });
}

SEEKPAT_C_API void seekpat_stream_free(seekpat_stream* stream) { delete stream; }

SEEKPAT_C_API int seekpat_stream_feed(seekpat_stream* stream, const void* data, size_t n,
                                      int (*fn)(void* ctx, uint64_t offset), void* ctx) {
  if (stream == nullptr || fn == nullptr)
    return SEEKPAT_EINVAL;
  return c_call([&] {
    const bool all = stream->stream.feed(data, n, [&](std::uint64_t x) { return fn(ctx, x) == 0; });
    return all ? SEEKPAT_OK : SEEKPAT_STOPPED;
  });
}

SEEKPAT_C_API int seekpat_stream_count(seekpat_stream* stream, const void* data, size_t n,
                                       uint64_t* count) {
  if (stream == nullptr || count == nullptr)
    return SEEKPAT_EINVAL;
  return c_call([&] {
    *count += stream->stream.feed_count(data, n);
    return SEEKPAT_OK;
  });
}

} // extern "C"
