// The re-plan counter, which tests read to know that a piece's watch changed its plan.
#include "replans.h"

#include <atomic>

namespace seekpat_internal {

namespace {
std::atomic<std::size_t> replan_count{0};
} // namespace

void note_replan() noexcept { replan_count.fetch_add(1, std::memory_order_relaxed); }
std::size_t replans() noexcept { return replan_count.load(std::memory_order_relaxed); }

} // namespace seekpat_internal
