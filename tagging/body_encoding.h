// The encoding of a tagged page in its body's own format (gzip, zlib or raw
// deflate). It keeps the compressed stream bit for bit up to the last
// whole symbol before the insertion point inside the block that holds it
// (deflate_cut.h), ends that block there with its own end-of-block code,
// and continues with new blocks primed with the preceding 32 KB of the
// page as their dictionary; where the walk cannot read that block, it
// keeps the stream up to the last block boundary before the insertion
// point instead. The check value is joined, not recomputed over the page.
// So the cost past the decoding is that of compressing the insertion and
// what follows it (at zlib's fastest level).
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
// they are and `tail` (empty before) receives what follows them. False when
// memory is refused or zlib fails; `tail` then holds nothing. REQUIRES:
// DecodeBody gave kDecoded for `decoded`; at < pageLength.
bool EncodeTagged(const WorkingHeap& heap, const DecodedBody& decoded,
                  std::uint64_t at, const InsertText* insert,
                  std::uint32_t insertCount, std::uint64_t* keptBytes,
                  HeapBuffer* tail);

#endif  // TAGSMITH_TAGGING_BODY_ENCODING_H_
