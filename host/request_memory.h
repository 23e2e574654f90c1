// The server's memory for one request: the blocks handed out by AllocMem.
// RequestMemory owns every block; the filter only borrows them, never frees
// one, and may use them until ReleaseAll (at the end of the request, after
// the end-of-request notification has returned).
#ifndef TAGSMITH_HOST_REQUEST_MEMORY_H_
#define TAGSMITH_HOST_REQUEST_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tagsmith::host {

// How blocks are laid out: each in an allocation of its own (so memory
// checkers see a read past a block's end), or carved from larger arena
// blocks (one system allocation for many small blocks: the fast way).
enum class MemoryLayout { kExactBlocks, kArena };

class RequestMemory {
 public:
  // `refuse_call`: the call of Allocate (counting from 1) that returns null;
  // 0 refuses none.
  explicit RequestMemory(std::uint64_t refuse_call = 0,
                         MemoryLayout layout = MemoryLayout::kExactBlocks)
      : refuse_call_(refuse_call), layout_(layout) {}
  ~RequestMemory() { ReleaseAll(); }
  RequestMemory(const RequestMemory&) = delete;
  RequestMemory& operator=(const RequestMemory&) = delete;

  // A block of `size` bytes aligned for any object type; null when this
  // call is the refused one or the heap is exhausted. Never throws.
  void* Allocate(std::size_t size) noexcept;
  // Frees every block handed out so far.
  void ReleaseAll() noexcept;

  std::uint64_t calls() const { return calls_; }
  std::size_t blocks_held() const { return blocks_.size(); }
  std::size_t bytes_held() const { return bytes_held_; }

 private:
  void* AllocateFromArena(std::size_t size) noexcept;
  void* AllocateBlock(std::size_t size) noexcept;

  std::uint64_t refuse_call_;
  MemoryLayout layout_;
  std::uint64_t calls_ = 0;
  char* arena_next_ = nullptr;  // free bytes of the current arena block
  std::size_t arena_left_ = 0;
  std::size_t bytes_held_ = 0;
  std::vector<void*> blocks_;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_REQUEST_MEMORY_H_
