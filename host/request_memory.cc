// One heap block per AllocMem call; see request_memory.h.
#include "host/request_memory.h"

#include <new>

namespace tagsmith::host {

void* RequestMemory::Allocate(std::size_t size) noexcept {
  ++calls_;
  if (calls_ == refuse_call_) return nullptr;
  // The default operator new aligns for every fundamental type, and gives a
  // distinct pointer even for zero bytes.
  void* block = ::operator new(size, std::nothrow);
  if (!block) return nullptr;
  try {
    blocks_.push_back(block);
  } catch (...) {
    ::operator delete(block);
    return nullptr;
  }
  bytes_held_ += size;
  return block;
}

void RequestMemory::ReleaseAll() noexcept {
  for (void* block : blocks_) ::operator delete(block);
  blocks_.clear();
  bytes_held_ = 0;
}

}  // namespace tagsmith::host
