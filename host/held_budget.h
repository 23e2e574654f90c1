// A budget for the memory that responses hold across one whole process: a
// thread-safe count of the bytes lent against a limit. The host keeps one
// for the process and lends from it where the filter asks for memory (a
// RequestMemory given the budget charges each system block it takes and
// refunds them all in ReleaseAll); a charge that would pass the limit is
// refused, and the filter answers a refused AllocMem by letting the
// response go untagged and whole. The budget owns no memory, only counts;
// plain calls, so that a module written in C style can keep one too.
#ifndef TAGSMITH_HOST_HELD_BUDGET_H_
#define TAGSMITH_HOST_HELD_BUDGET_H_

#include <atomic>
#include <cstdint>

namespace tagsmith::host {

class HeldBudget {
 public:
  explicit HeldBudget(std::uint64_t limit) : limit_(limit) {}
  HeldBudget(const HeldBudget&) = delete;
  HeldBudget& operator=(const HeldBudget&) = delete;

  // Lends `size` bytes; false, lending nothing, when that would take what
  // is lent past the limit. A refusal that begins an episode sets
  // *first_refusal (when given): the first refusal since the budget was
  // made, or since what is lent last fell to half the limit or less. A
  // host logs that one, not the thousands that follow under one load.
  bool Charge(std::uint64_t size, bool* first_refusal = nullptr) noexcept;
  // Gives back bytes lent. REQUIRES: at most what is lent.
  void Refund(std::uint64_t size) noexcept;

  std::uint64_t limit() const { return limit_; }
  std::uint64_t lent() const { return lent_.load(std::memory_order_relaxed); }
  std::uint64_t refusals() const {
    return refusals_.load(std::memory_order_relaxed);
  }

 private:
  const std::uint64_t limit_;
  std::atomic<std::uint64_t> lent_{0};
  std::atomic<std::uint64_t> refusals_{0};
  std::atomic<bool> refusing_{false};  // inside an episode of refusals
};

// The limit when none is given: a quarter of `physical_memory`, at most
// 1 GiB; 256 MiB when the machine's memory is not known (0).
std::uint64_t DefaultHeldLimit(std::uint64_t physical_memory);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_HELD_BUDGET_H_
