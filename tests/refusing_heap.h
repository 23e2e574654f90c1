// A WorkingHeap for unit tests that counts its calls, refuses the chosen
// one (1-based; 0 refuses none) and tracks the blocks still held.
#ifndef TAGSMITH_TESTS_REFUSING_HEAP_H_
#define TAGSMITH_TESTS_REFUSING_HEAP_H_

#include <cstdlib>

#include "tagging/working_heap.h"

struct RefusingHeap {
  int refuse = 0;
  int calls = 0;
  int held = 0;

  WorkingHeap heap() {
    return WorkingHeap{[](void* opaque, std::size_t size) -> void* {
                         auto* self = static_cast<RefusingHeap*>(opaque);
                         if (++self->calls == self->refuse) return nullptr;
                         ++self->held;
                         return std::malloc(size);
                       },
                       [](void* opaque, void* block) {
                         if (block == nullptr) return;
                         --static_cast<RefusingHeap*>(opaque)->held;
                         std::free(block);
                       },
                       this};
  }
};

#endif  // TAGSMITH_TESTS_REFUSING_HEAP_H_
