// The server's memory for one request; see request_memory.h.
#include "host/request_memory.h"

#include <cstddef>
#include <new>

namespace tagsmith::host {

namespace {

constexpr std::size_t kAlignment = alignof(std::max_align_t);
constexpr std::size_t kArenaBlockSize = 64 * 1024;
// Larger requests get a block of their own rather than waste an arena's
// tail.
constexpr std::size_t kLargestArenaRequest = kArenaBlockSize / 4;
// The system blocks a request's list has room for when it takes its first.
constexpr std::size_t kFirstBlockSlots = 64;

}  // namespace

void* RequestMemory::Allocate(std::size_t size) noexcept {
  ++calls_;
  if (calls_ == refuse_call_) return nullptr;
  if (layout_ == MemoryLayout::kArena && size <= kLargestArenaRequest) {
    return AllocateFromArena(size);
  }
  void* block = AllocateBlock(size);
  if (block) bytes_held_ += size;
  return block;
}

void* RequestMemory::AllocateFromArena(std::size_t size) noexcept {
  // Rounded up to keep every block aligned; zero bytes still get a pointer
  // of their own.
  const std::size_t taken =
      size == 0 ? kAlignment
                : (size + kAlignment - 1) / kAlignment * kAlignment;
  if (taken > arena_left_) {
    char* block = static_cast<char*>(AllocateBlock(kArenaBlockSize));
    if (!block) return nullptr;
    arena_next_ = block;
    arena_left_ = kArenaBlockSize;
  }
  char* result = arena_next_;
  arena_next_ += taken;
  arena_left_ -= taken;
  bytes_held_ += size;
  return result;
}

void* RequestMemory::AllocateBlock(std::size_t size) noexcept {
  if (budget_) {
    bool first = false;
    if (!budget_->Charge(size, &first)) {
      ++budget_refusals_;
      began_episode_ = began_episode_ || first;
      return nullptr;
    }
  }
  // The default operator new aligns for every fundamental type, and gives a
  // distinct pointer even for zero bytes.
  void* block = ::operator new(size, std::nothrow);
  if (block) {
    try {
      // Room for the blocks of a long page at once, not grown one doubling
      // at a time.
      if (blocks_.capacity() == 0) blocks_.reserve(kFirstBlockSlots);
      blocks_.push_back(Block{static_cast<char*>(block), size});
      charged_ += size;
      return block;
    } catch (...) {
      ::operator delete(block);
    }
  }
  if (budget_) budget_->Refund(size);
  return nullptr;
}

void RequestMemory::ReleaseAll() noexcept {
  for (const Block& block : blocks_) ::operator delete(block.start);
  blocks_.clear();
  if (budget_ && charged_ > 0) budget_->Refund(charged_);
  charged_ = 0;
  last_held_ = 0;
  bytes_held_ = 0;
  arena_next_ = nullptr;
  arena_left_ = 0;
}

bool RequestMemory::Holds(const void* bytes, std::size_t size) const noexcept {
  const char* at = static_cast<const char*>(bytes);
  if (!at) return false;
  // From the block of the last answer on, round to the one before it.
  const std::size_t count = blocks_.size();
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = (last_held_ + k) % count;
    if (Contains(blocks_[i], at, size)) {
      last_held_ = i;
      return true;
    }
  }
  return false;
}

}  // namespace tagsmith::host
