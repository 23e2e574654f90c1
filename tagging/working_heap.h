// Working storage of one end-of-request call: the de-framed view of a
// chunked body, the decoded page, the re-encoded body and zlib's state.
// These come from the process heap, not from AllocMem: the server releases
// AllocMem blocks only when the connection closes, so a connection kept
// open across many compressed pages would otherwise hold a decoded copy of
// every one. Whatever is taken here is given back before the call returns,
// after the flush.
//
// The heap is passed in (no global state), so that tests can refuse any
// one of its allocations.
#ifndef TAGSMITH_TAGGING_WORKING_HEAP_H_
#define TAGSMITH_TAGGING_WORKING_HEAP_H_

#include <cstddef>
#include <cstdint>

struct WorkingHeap {
  // A block of `size` bytes, or null when refused.
  void* (*allocate)(void* opaque, std::size_t size);
  // Gives back a block from `allocate`; null is ignored.
  void (*release)(void* opaque, void* block);
  void* opaque;
};

// The process heap (malloc and free).
const WorkingHeap& ProcessHeap();

// The one growth rule of the heap's arrays: makes room in the block at
// `*items` (`*capacity` items of `itemSize` bytes, the first `count` held)
// for `more` items after `count`, never growing past `limit` items in all.
// The block grows by doubling from `first` items, so the copies stay
// linear in the final size. False, block unchanged, when refused or over
// the limit.
// REQUIRES: itemSize > 0, limit <= SIZE_MAX / itemSize, count <= *capacity.
bool GrowBlock(const WorkingHeap& heap, void** items, std::size_t itemSize,
               std::size_t count, std::size_t* capacity, std::size_t more,
               std::size_t limit, std::size_t first);

// A growable table of plain, trivially copyable items in a WorkingHeap.
// Plain record; the owner calls ReleaseArray.
template <typename Item>
struct HeapArray {
  Item* items;
  std::uint32_t count;
  std::uint32_t capacity;
};

// Appends `item`, growing the table as GrowBlock does from 64 items (at
// most UINT32_MAX, or what the address space can count). False, table
// unchanged, when memory is refused or the table is full.
template <typename Item>
bool AppendItem(const WorkingHeap& heap, HeapArray<Item>* array,
                const Item& item) {
  if (array->count == array->capacity) {
    constexpr std::size_t kMost = SIZE_MAX / sizeof(Item) < UINT32_MAX
                                      ? SIZE_MAX / sizeof(Item)
                                      : UINT32_MAX;
    void* block = array->items;
    std::size_t capacity = array->capacity;
    if (!GrowBlock(heap, &block, sizeof(Item), array->count, &capacity, 1,
                   kMost, 64)) {
      return false;
    }
    array->items = static_cast<Item*>(block);
    array->capacity = static_cast<std::uint32_t>(capacity);
  }
  array->items[array->count++] = item;
  return true;
}

// Gives the table's block back and empties it.
template <typename Item>
void ReleaseArray(const WorkingHeap& heap, HeapArray<Item>* array) {
  heap.release(heap.opaque, array->items);
  *array = HeapArray<Item>{nullptr, 0, 0};
}

// A growable byte buffer in a WorkingHeap. Plain record; the owner calls
// ReleaseBuffer.
struct HeapBuffer {
  char* bytes;
  std::size_t length;
  std::size_t capacity;
};

// Makes room for `more` bytes after `length`, keeping the bytes held, and
// never growing past `limit` bytes in all (GrowBlock from 4096 bytes). False,
// buffer unchanged, when refused or over the limit.
bool ReserveBuffer(const WorkingHeap& heap, HeapBuffer* buffer,
                   std::size_t more, std::size_t limit);

// Gives the buffer's block back and empties it.
void ReleaseBuffer(const WorkingHeap& heap, HeapBuffer* buffer);

#endif  // TAGSMITH_TAGGING_WORKING_HEAP_H_
