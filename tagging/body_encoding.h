// The encoding of a tagged page in its body's own format (gzip, zlib or raw
// deflate). It keeps the compressed stream up to the last deflate block
// that ends at or before the insertion point, and continues it from there
// with new blocks primed with the preceding 32 KB of the page as their
// dictionary; the check value is joined, not recomputed over the page. So
// the cost past the decoding is that of compressing what follows the last
// kept block (at zlib's fastest level: that part is most of the cost).
//
// Ownership: the re-encoded bytes and zlib's state are working storage from
// a WorkingHeap (see working_heap.h); zlib's state is given back before
// EncodeTagged returns, the bytes by the caller after the flush.
#ifndef TAGSMITH_TAGGING_BODY_ENCODING_H_
#define TAGSMITH_TAGGING_BODY_ENCODING_H_

#include <cstdint>

#include "tagging/body_coding.h"
#include "tagging/working_heap.h"

// A text to insert; `bytes` may be null when `length` is 0.
struct InsertText {
  const char* bytes;
  std::uint32_t length;
};

// The tagged page `page[0, at)`, the insert, `page[at, end)` encoded in the
// body's format: the first `keptBytes` bytes of the original input stay as
// they are and `tail` receives what follows them. False when memory is
// refused or zlib fails; `tail` then holds nothing.
// REQUIRES: DecodeBody gave kDecoded for `decoded`; at < pageLength.
bool EncodeTagged(const WorkingHeap& heap, const DecodedBody& decoded,
                  std::uint64_t at, const InsertText* insert,
                  std::uint32_t insertCount, std::uint64_t* keptBytes,
                  HeapBuffer* tail);

#endif  // TAGSMITH_TAGGING_BODY_ENCODING_H_
