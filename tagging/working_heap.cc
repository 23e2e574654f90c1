#include "tagging/working_heap.h"

#include <cstdlib>
#include <cstring>

namespace {

void* HeapAllocate(void*, std::size_t size) { return std::malloc(size); }
void HeapRelease(void*, void* block) { std::free(block); }

constexpr WorkingHeap kProcessHeap = {&HeapAllocate, &HeapRelease, nullptr};

}  // namespace

const WorkingHeap& ProcessHeap() { return kProcessHeap; }

bool ReserveBuffer(const WorkingHeap& heap, HeapBuffer* buffer,
                   std::size_t more, std::size_t limit) {
  if (more > limit || buffer->length > limit - more) return false;
  const std::size_t needed = buffer->length + more;
  if (needed <= buffer->capacity) return true;
  // Doubling keeps the copies linear in the final size.
  std::size_t capacity = buffer->capacity < 4096 ? 4096 : buffer->capacity;
  while (capacity < needed)
    capacity = capacity > limit / 2 ? limit : capacity * 2;
  auto* bytes = static_cast<char*>(heap.allocate(heap.opaque, capacity));
  if (bytes == nullptr) return false;
  if (buffer->length > 0) std::memcpy(bytes, buffer->bytes, buffer->length);
  heap.release(heap.opaque, buffer->bytes);
  buffer->bytes = bytes;
  buffer->capacity = capacity;
  return true;
}

void ReleaseBuffer(const WorkingHeap& heap, HeapBuffer* buffer) {
  heap.release(heap.opaque, buffer->bytes);
  *buffer = HeapBuffer{nullptr, 0, 0};
}
