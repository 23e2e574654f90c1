#include "tagging/working_heap.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void* HeapAllocate(void*, std::size_t size) { return std::malloc(size); }
void HeapRelease(void*, void* block) { std::free(block); }

constexpr WorkingHeap kProcessHeap = {&HeapAllocate, &HeapRelease, nullptr};

}  // namespace

const WorkingHeap& ProcessHeap() { return kProcessHeap; }

bool GrowBlock(const WorkingHeap& heap, void** items, std::size_t itemSize,
               std::size_t count, std::size_t* capacity, std::size_t more,
               std::size_t limit, std::size_t first) {
  assert(itemSize > 0 && limit <= SIZE_MAX / itemSize && count <= *capacity);
  if (more > limit || count > limit - more) return false;
  const std::size_t needed = count + more;
  if (needed <= *capacity) return true;
  std::size_t grown = *capacity < first ? first : *capacity;
  while (grown < needed) grown = grown > limit / 2 ? limit : grown * 2;
  void* block = heap.allocate(heap.opaque, grown * itemSize);
  if (block == nullptr) return false;
  if (count > 0) std::memcpy(block, *items, count * itemSize);
  heap.release(heap.opaque, *items);
  *items = block;
  *capacity = grown;
  return true;
}

bool ReserveBuffer(const WorkingHeap& heap, HeapBuffer* buffer,
                   std::size_t more, std::size_t limit) {
  void* block = buffer->bytes;
  if (!GrowBlock(heap, &block, 1, buffer->length, &buffer->capacity, more,
                 limit, 4096)) {
    return false;
  }
  buffer->bytes = static_cast<char*>(block);
  return true;
}

void ReleaseBuffer(const WorkingHeap& heap, HeapBuffer* buffer) {
  heap.release(heap.opaque, buffer->bytes);
  *buffer = HeapBuffer{nullptr, 0, 0};
}
