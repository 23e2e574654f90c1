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

struct WorkingHeap {
  // A block of `size` bytes, or null when refused.
  void* (*allocate)(void* opaque, std::size_t size);
  // Gives back a block from `allocate`; null is ignored.
  void (*release)(void* opaque, void* block);
  void* opaque;
};

// The process heap (malloc and free).
const WorkingHeap& ProcessHeap();

// A growable byte buffer in a WorkingHeap. Plain record; the owner calls
// ReleaseBuffer.
struct HeapBuffer {
  char* bytes;
  std::size_t length;
  std::size_t capacity;
};

// Makes room for `more` bytes after `length`, keeping the bytes held, and
// never growing past `limit` bytes in all. False, buffer unchanged, when
// refused or over the limit.
bool ReserveBuffer(const WorkingHeap& heap, HeapBuffer* buffer,
                   std::size_t more, std::size_t limit);

// Gives the buffer's block back and empties it.
void ReleaseBuffer(const WorkingHeap& heap, HeapBuffer* buffer);

#endif  // TAGSMITH_TAGGING_WORKING_HEAP_H_
