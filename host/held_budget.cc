// The process's budget for held memory; see held_budget.h.
#include "host/held_budget.h"

#include <algorithm>
#include <cassert>

namespace tagsmith::host {

bool HeldBudget::Charge(std::uint64_t size, bool* first_refusal) noexcept {
  if (first_refusal) *first_refusal = false;
  std::uint64_t lent = lent_.load(std::memory_order_relaxed);
  do {
    if (size > limit_ || lent > limit_ - size) {
      refusals_.fetch_add(1, std::memory_order_relaxed);
      const bool first = !refusing_.exchange(true, std::memory_order_relaxed);
      if (first_refusal) *first_refusal = first;
      return false;
    }
  } while (!lent_.compare_exchange_weak(lent, lent + size,
                                        std::memory_order_relaxed));
  return true;
}

void HeldBudget::Refund(std::uint64_t size) noexcept {
  const std::uint64_t before = lent_.fetch_sub(size, std::memory_order_relaxed);
  assert(size <= before);
  // Half the limit free again: the pressure is over, and the next refusal
  // is news.
  if (before - size <= limit_ / 2)
    refusing_.store(false, std::memory_order_relaxed);
}

std::uint64_t DefaultHeldLimit(std::uint64_t physical_memory) {
  constexpr std::uint64_t kMost = std::uint64_t{1} << 30;
  constexpr std::uint64_t kUnknown = std::uint64_t{256} << 20;
  if (physical_memory == 0) return kUnknown;
  return std::min(physical_memory / 4, kMost);
}

}  // namespace tagsmith::host
