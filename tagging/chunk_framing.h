// The chunk framing of a body sent with "Transfer-Encoding: chunked": its
// validation, and a de-framed view that reads only the chunks' data bytes.
//
// Ownership: the view is working storage from a WorkingHeap (see
// working_heap.h), one block given back with ReleaseFraming after the
// flush. Its records point into the chain's bytes, or at a copy of the
// data bytes held in the same block, and are never linked into the chain.
// Nothing else is kept: where a chunk stands is found by walking the
// framing again.
#ifndef TAGSMITH_TAGGING_CHUNK_FRAMING_H_
#define TAGSMITH_TAGGING_CHUNK_FRAMING_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "tagging/working_heap.h"

// One chunk of data (size > 0), where it stands in the chain.
struct ChunkPlace {
  ChainCursor sizeLine;     // the first digit of its size line
  ChainCursor afterDigits;  // the byte after the last digit (";" or CR)
  ChainCursor data;         // its first data byte
  std::uint32_t size;
  std::uint64_t offset;  // de-framed offset of its first data byte
};

struct FramedBody {
  // The data bytes, in order, as a closed chain of `viewCount` records
  // (none when the body has only its last chunk).
  ChunkNode* view;
  std::uint32_t viewCount;
  std::uint64_t memory;   // bytes the view's block takes
  ChainCursor first;      // the first digit of the first size line
  ChainCursor lastChunk;  // the first digit of the last chunk's size line
  std::uint64_t length;   // data bytes in all
};

enum class Framing {
  kPlain,    // the body does not begin with a size line: not framed yet
  kFramed,   // well formed to the response's end; `body` filled
  kBroken,   // framing begun but not well formed
  kRefused,  // memory refused, or the view would take more than allowed
};

// Reads the framing of the body whose first byte is under `first` (null:
// the response has no body bytes). Framing has begun when the first byte is
// a hex digit; then every chunk must be well formed: 1 to 8 hex digits, an
// optional ";" extension without CR or LF, CRLF, the data, CRLF; a last
// chunk of size 0 in the same form, trailer lines (each non-empty and
// CRLF-ended), CRLF, and nothing after. Reads only the chain's bytes.
// The view has a record for each piece of a chunk's data that lies in
// one chain record, or, when those would take more room than the data
// bytes, one record for a copy of them: it never takes more than the data
// bytes and one record. It may take at most `room` bytes.
Framing ReadFraming(const WorkingHeap& heap, const ChainCursor* first,
                    std::uint64_t room, FramedBody* body);

// The de-framed offset of the view byte under `at`.
// REQUIRES: `at` stands on a byte of body's view.
std::uint64_t ViewOffsetOf(const FramedBody& body, const ChainCursor& at);

// The chain position of the de-framed byte at `offset`, and the chunk
// that holds it, found by walking the framing from its start.
// REQUIRES: ReadFraming gave kFramed for `body`; offset < body.length.
ChainCursor ChainPositionOf(const FramedBody& body, std::uint64_t offset,
                            ChunkPlace* chunk);

// Writes `value` in lower-case hex without leading zeros; returns the
// number of digits (1 to 8). REQUIRES: out has room for 8 bytes.
std::uint32_t FormatHex(std::uint32_t value, char* out);

// Gives the view back.
void ReleaseFraming(const WorkingHeap& heap, FramedBody* body);

#endif  // TAGSMITH_TAGGING_CHUNK_FRAMING_H_
