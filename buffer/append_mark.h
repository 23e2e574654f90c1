// Where the bytes of a chunk went once AppendChunk held them: a mark taken
// just before the append (the tail and how many bytes it held), from which
// the position of the chunk's k-th byte in the chain's copy follows, since
// the chunk's bytes are copied in order after the tail's. So a position
// found in the chunk where it lay can be kept once it is copied.
//
// The mark points into the chain's records and owns nothing.
#ifndef TAGSMITH_BUFFER_APPEND_MARK_H_
#define TAGSMITH_BUFFER_APPEND_MARK_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"

struct AppendMark {
  const ChunkNode* tail;  // null: nothing was held
  std::uint32_t length;   // the bytes the tail held
};

// The mark of a chain (null or open) before its next append.
AppendMark MarkBeforeAppend(const ResponseChain* chain);

// The cursor on byte `offset` of the chunk appended after `mark`.
// REQUIRES: AppendChunk held that chunk in `chain` (open or closed) and
// nothing was appended since; offset < the chunk's byte count.
ChainCursor HeldPositionOf(const ResponseChain& chain, const AppendMark& mark,
                           std::uint32_t offset);

#endif  // TAGSMITH_BUFFER_APPEND_MARK_H_
