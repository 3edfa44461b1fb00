// The pattern's tables as one piece needs them: a prepared pattern's where it has them, else
// built here on first need. Every allocation may fail; the table is then missing, and what it
// would have sped up (runs, dead stretches, tiles) stays off: the result never depends on it.
#pragma once

#include "kernel/common.h"

namespace {

class lazy_tables {
public:
  lazy_tables(const pattern_tables* prepared, const unsigned char* pat, size_t p)
      : pat_(pat), p_(p) {
    if (prepared) {
      fail_ = prepared->fail;
      q_ = prepared->q;
      tile_ = prepared->tile;
    }
  }

  // Whether the failure function is at hand, building it when `left` positions remain, enough
  // for what it enables (runs, skipping periodic misses) to pay for its O(p) cost. Without memory
  // for it those stay off and candidates are verified one by one, under the work budget.
  bool have_failure(size_t left) {
    if (!fail_) {
      // Borders are held in 32 bits: longer patterns do without the table.
      if (no_memory_ || p_ >= UINT32_MAX || left < 2 * p_)
        return false;
      own_fail_.reset(new (std::nothrow) std::uint32_t[p_ + 1]);
      if (!own_fail_) {
        no_memory_ = true;
        return false;
      }
      seekpat_internal::build_failure(pat_, p_, own_fail_.get());
      fail_ = own_fail_.get();
    }
    return true;
  }

  // The failure function; only after have_failure said true.
  const std::uint32_t* failure() const { return fail_; }

  // The pattern's smallest period, found (with the failure function) when `left` positions
  // remain; 0 where it cannot be had.
  size_t period(size_t left) {
    if (q_ == 0) {
      if (!have_failure(left))
        return 0;
      q_ = p_ - fail_[p_];
    }
    return q_;
  }

  // The smallest period where already known, else 0.
  size_t known_period() const { return q_; }

  // Whether the tile for period r costs nothing: a prepared pattern's, for its own period.
  bool prepared_tile(size_t r) const { return r == q_ && tile_; }

  // Whether a tile may still be had for period r.
  bool may_tile(size_t r) const { return r <= seekpat_internal::tile_max && !tile_failed_; }

  // The tile of period r, or null (runs then mark their matches bit by bit): a prepared
  // pattern's own for its period, else one filled here for r, which costs r bytes. Without
  // memory for a tile, null.
  const unsigned char* tile(size_t r) {
    if (r > seekpat_internal::tile_max)
      return nullptr;
    if (prepared_tile(r))
      return tile_;
    if (!buffer())
      return nullptr;
    if (run_tile_q_ != r) {
      seekpat_internal::fill_tile(run_tile_.get(), r);
      run_tile_q_ = r;
    }
    return run_tile_.get();
  }

  // The tile buffer for other uses (the dense periodic path's copy of the map), or null without
  // memory for it; it then holds no run's tile.
  unsigned char* scratch() {
    run_tile_q_ = 0;
    return buffer();
  }

private:
  // The buffer of the run tile, tile_max + tile_slack bytes on 64, allocated once; null without
  // memory for it.
  unsigned char* buffer() {
    if (!run_tile_ && !tile_failed_) {
      run_tile_.reset(new (
          std::align_val_t(64),
          std::nothrow) unsigned char[seekpat_internal::tile_max + seekpat_internal::tile_slack]);
      tile_failed_ = !run_tile_;
    }
    return run_tile_.get();
  }

  const unsigned char* pat_;
  size_t p_;
  const std::uint32_t* fail_ = nullptr;
  size_t q_ = 0;                        // smallest period, 0 until needed
  const unsigned char* tile_ = nullptr; // a prepared pattern's tile for q_
  // The tile of periods with no prepared one, filled for run_tile_q_ (0: none).
  owned<unsigned char, tile_delete> run_tile_;
  size_t run_tile_q_ = 0;
  bool tile_failed_ = false; // an allocation of a tile failed: runs mark bit by bit
  bool no_memory_ = false;   // an allocation of the failure function failed
  owned<std::uint32_t, table_delete> own_fail_;
};

} // namespace
