// The server's memory for one request: the blocks handed out by AllocMem.
// RequestMemory owns every block; the filter only borrows them, never frees
// one, and may use them until ReleaseAll (at the end of the request, after
// the end-of-request notification has returned). Given the process's
// HeldBudget, it charges the budget for every system block it takes and
// refunds them in ReleaseAll; a block the budget refuses is not taken.
#ifndef TAGSMITH_HOST_REQUEST_MEMORY_H_
#define TAGSMITH_HOST_REQUEST_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/held_budget.h"

namespace tagsmith::host {

// How blocks are laid out: each in an allocation of its own (so memory
// checkers see a read past a block's end), or carved from larger arena
// blocks (one system allocation for many small blocks: the fast way).
enum class MemoryLayout { kExactBlocks, kArena };

class RequestMemory {
 public:
  // `refuse_call`: the call of Allocate (counting from 1) that returns null;
  // 0 refuses none. `budget` (none: no limit) must outlive the memory.
  explicit RequestMemory(std::uint64_t refuse_call = 0,
                         MemoryLayout layout = MemoryLayout::kExactBlocks,
                         HeldBudget* budget = nullptr)
      : refuse_call_(refuse_call), layout_(layout), budget_(budget) {}
  ~RequestMemory() { ReleaseAll(); }
  RequestMemory(const RequestMemory&) = delete;
  RequestMemory& operator=(const RequestMemory&) = delete;

  // A block of `size` bytes aligned for any object type; null when this
  // call is the refused one, the budget refuses it or the heap is
  // exhausted. Never throws.
  void* Allocate(std::size_t size) noexcept;
  // Frees every block handed out so far.
  void ReleaseAll() noexcept;
  // Whether the `size` bytes at `bytes` lie inside one block handed out and
  // not yet released. Fastest when asked in the order the blocks were
  // handed out, as a flush of the filter's records asks.
  bool Holds(const void* bytes, std::size_t size) const noexcept;

  std::uint64_t calls() const { return calls_; }
  std::size_t blocks_held() const { return blocks_.size(); }
  std::size_t bytes_held() const { return bytes_held_; }
  // The bytes of the system blocks taken (arenas whole), as charged to the
  // budget.
  std::uint64_t bytes_charged() const { return charged_; }
  // Blocks the budget refused, and whether one of those refusals began an
  // episode of them (HeldBudget::Charge), which the host then logs.
  std::uint64_t budget_refusals() const { return budget_refusals_; }
  bool began_refusal_episode() const { return began_episode_; }

 private:
  struct Block {
    char* start;
    std::size_t size;
  };

  void* AllocateFromArena(std::size_t size) noexcept;
  void* AllocateBlock(std::size_t size) noexcept;
  // By address as integers: the bytes may belong to no block at all.
  static bool Contains(const Block& block, const char* bytes,
                       std::size_t size) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(block.start);
    const auto at = reinterpret_cast<std::uintptr_t>(bytes);
    return at >= start && at - start <= block.size &&
           size <= block.size - (at - start);
  }

  std::uint64_t refuse_call_;
  MemoryLayout layout_;
  HeldBudget* budget_;
  std::uint64_t calls_ = 0;
  std::uint64_t charged_ = 0;
  std::uint64_t budget_refusals_ = 0;
  bool began_episode_ = false;
  char* arena_next_ = nullptr;  // free bytes of the current arena block
  std::size_t arena_left_ = 0;
  std::size_t bytes_held_ = 0;
  std::vector<Block> blocks_;
  mutable std::size_t last_held_ = 0;  // where Holds last found its bytes
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_REQUEST_MEMORY_H_
