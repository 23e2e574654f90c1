// A WorkingHeap for unit tests that counts its calls, refuses the chosen
// one (1-based; 0 refuses none) and counts the blocks still held.
#ifndef TAGSMITH_TESTS_REFUSING_HEAP_H_
#define TAGSMITH_TESTS_REFUSING_HEAP_H_

#include <cstdlib>

#include "tagging/working_heap.h"

struct RefusingHeap {
  int refuse = 0, calls = 0, held = 0;
  static void* Allocate(void* opaque, std::size_t size) {
    auto* self = static_cast<RefusingHeap*>(opaque);
    if (++self->calls == self->refuse) return nullptr;
    ++self->held;
    return std::malloc(size);
  }
  static void Release(void* opaque, void* block) {
    if (block != nullptr) --static_cast<RefusingHeap*>(opaque)->held;
    std::free(block);
  }
  WorkingHeap heap() { return WorkingHeap{&Allocate, &Release, this}; }
};

#endif  // TAGSMITH_TESTS_REFUSING_HEAP_H_
