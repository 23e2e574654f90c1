// zlib streams whose state lives in a WorkingHeap: zlib's allocations go
// through the heap, so that a refused one reads as Z_MEM_ERROR and the
// state is given back with inflateEnd/deflateEnd before the caller returns.
#ifndef TAGSMITH_TAGGING_ZLIB_HEAP_H_
#define TAGSMITH_TAGGING_ZLIB_HEAP_H_

#include <zlib.h>

#include "tagging/working_heap.h"

// Clears `stream` and points its allocator at `heap`, which must outlive
// the stream. Call before inflateInit2 or deflateInit2.
void PrepareStream(const WorkingHeap& heap, z_stream* stream);

#endif  // TAGSMITH_TAGGING_ZLIB_HEAP_H_
