#include "tagging/zlib_heap.h"

#include <cstdint>
#include <cstring>

namespace {

voidpf ZAlloc(voidpf opaque, uInt items, uInt size) {
  const auto* heap = static_cast<const WorkingHeap*>(opaque);
  if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
  return heap->allocate(heap->opaque, static_cast<std::size_t>(items) * size);
}

void ZFree(voidpf opaque, voidpf address) {
  const auto* heap = static_cast<const WorkingHeap*>(opaque);
  heap->release(heap->opaque, address);
}

}  // namespace

void PrepareStream(const WorkingHeap& heap, z_stream* stream) {
  std::memset(stream, 0, sizeof *stream);
  stream->zalloc = &ZAlloc;
  stream->zfree = &ZFree;
  stream->opaque = const_cast<WorkingHeap*>(&heap);
}
