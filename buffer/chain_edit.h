// Edits of a closed response chain during the end-of-request pass: the one
// operation every splice is made of, replacing the bytes between two
// positions by a run of records. The tagging layer does not call it: it
// fills an edit plan, which applies its edits with it (edit_plan.h). The
// chain's records stay where they are; a record cut at a position keeps the
// bytes before it and a spare record takes those from it on. Nothing is
// allocated or copied here.
//
// Ownership: the records linked in (the pieces and the spare) belong to the
// caller, who keeps them alive until the chain has been flushed; they point
// at bytes the caller keeps alive as long. Records cut out of the chain are
// left as they were, still the server's (AllocMem) to reclaim.
#ifndef TAGSMITH_BUFFER_CHAIN_EDIT_H_
#define TAGSMITH_BUFFER_CHAIN_EDIT_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"

// Points a record at `length` bytes (null data when there are none). Its
// links are set when it is linked in.
void PointRecord(ChunkNode* node, const char* data, std::uint32_t length);

// Replaces the bytes from `from` up to, not including, `to` by the records
// pieces[0..count), in that order; `to` null means up to the chain's end.
// `from` may stand just past its record's last byte, and `to` may equal
// `from` (an insertion). `spare` takes the rest of `to`'s record from `to`
// on (unused when `to` is null). Keeps every prev, next and the chain's
// tail right.
// REQUIRES: the chain is closed; both positions lie in its records, `from`
// not after `to`; pieces are not in the chain.
void ReplaceSpan(ResponseChain* chain, const ChainCursor& from,
                 const ChainCursor* to, ChunkNode* const* pieces,
                 std::uint32_t count, ChunkNode* spare);

#endif  // TAGSMITH_BUFFER_CHAIN_EDIT_H_
