// The chunk framing of a body sent with "Transfer-Encoding: chunked": its
// validation, and a de-framed view that reads only the chunks' data bytes.
//
// Ownership: the view's records and the chunk table are working storage
// from a WorkingHeap (see working_heap.h), given back with ReleaseFraming
// after the flush. The view's records point into the chain's bytes and are
// never linked into the chain.
#ifndef TAGSMITH_TAGGING_CHUNK_FRAMING_H_
#define TAGSMITH_TAGGING_CHUNK_FRAMING_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "tagging/working_heap.h"

// One chunk of data (size > 0), where it stands in the chain.
struct ChunkPlace {
  ChainCursor sizeLine;     // the first digit of its size line
  ChainCursor afterDigits;  // the byte after the last digit (";" or CR)
  std::uint32_t size;
  std::uint64_t offset;     // de-framed offset of its first data byte
};

// Where a view record's bytes come from.
struct ViewSource {
  const ChunkNode* record;  // the chain record its bytes lie in
  std::uint64_t offset;     // de-framed offset of its first byte
  std::uint32_t chunk;      // index in `chunks`
};

struct FramedBody {
  // The data bytes, in order, as a closed chain of `viewCount` records
  // (none when the body has only its last chunk).
  ChunkNode* view;
  ViewSource* sources;  // one per view record
  std::uint32_t viewCount;
  ChunkPlace* chunks;
  std::uint32_t chunkCount;
  ChainCursor lastChunk;  // the first digit of the last chunk's size line
  std::uint64_t length;   // data bytes in all
};

enum class Framing {
  kPlain,   // the body does not begin with a size line: not framed yet
  kFramed,  // well formed to the response's end; `body` filled
  kBroken,   // framing begun but not well formed
  kRefused,  // memory refused
};

// Reads the framing of the body whose first byte is under `first` (null:
// the response has no body bytes). Framing has begun when the first byte is
// a hex digit; then every chunk must be well formed: 1 to 8 hex digits, an
// optional ";" extension without CR or LF, CRLF, the data, CRLF; a last
// chunk of size 0 in the same form, trailer lines (each non-empty and
// CRLF-ended), CRLF, and nothing after. Reads only the chain's bytes.
Framing ReadFraming(const WorkingHeap& heap, const ChainCursor* first,
                    FramedBody* body);

// The chain position of the view byte under `at`, with the index of its
// chunk and its offset in that chunk's data.
// REQUIRES: `at` stands on a byte of body's view.
ChainCursor ChainPositionOf(const FramedBody& body, const ChainCursor& at,
                            std::uint32_t* chunk, std::uint32_t* offset);

// The view position of the de-framed byte at `offset`.
// REQUIRES: offset < body.length.
ChainCursor ViewPositionOf(const FramedBody& body, std::uint64_t offset);

// Writes `value` in lower-case hex without leading zeros; returns the
// number of digits (1 to 8). REQUIRES: out has room for 8 bytes.
std::uint32_t FormatHex(std::uint32_t value, char* out);

// Gives the view and the chunk table back.
void ReleaseFraming(const WorkingHeap& heap, FramedBody* body);

#endif  // TAGSMITH_TAGGING_CHUNK_FRAMING_H_
