// The edits of one end-of-request pass as data: the spans of a closed
// chain to replace (a header value, a chunk's size digits, the body span
// or an insertion, the result header line), filled in chain order by the
// stages that decide them and applied in one call, from the last position
// to the first, so that no edit moves the positions of one before it.
//
// Ownership: the plan points at records and bytes it does not own: the
// pieces and spares are the caller's, kept alive until the chain has been
// flushed; the positions point into the chain's records. The plan itself is
// a plain value in the caller's frame.
#ifndef TAGSMITH_BUFFER_EDIT_PLAN_H_
#define TAGSMITH_BUFFER_EDIT_PLAN_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"

// The most records one edit puts in (a chunk's size line, the block's five
// records and the line that ends the chunk), and the most edits a plan holds.
inline constexpr std::uint32_t kMaxEditPieces = 7;
inline constexpr std::uint32_t kMaxPlanEdits = 4;

// Replaces the bytes from `from` up to, not including, `to` (up to the
// chain's end when `toEnd`) by pieces[0..count); `spare` takes the rest of
// `to`'s record (unused with `toEnd`).
struct SpanEdit {
  ChainCursor from;
  ChainCursor to;
  bool toEnd;
  ChunkNode* pieces[kMaxEditPieces];
  std::uint32_t count;
  ChunkNode* spare;
};

struct EditPlan {
  SpanEdit edits[kMaxPlanEdits];
  std::uint32_t count;
};

// An empty plan.
EditPlan EmptyEditPlan();

// Adds the edit that replaces [from, to) (to the chain's end when `to` is
// null) by pieces[0..count), `from` == `to` being an insertion.
// REQUIRES: the plan has room; count <= kMaxEditPieces; the edit lies after
// every edit already in the plan (it may begin where the last one ends).
void AddEdit(EditPlan* plan, const ChainCursor& from, const ChainCursor* to,
             ChunkNode* const* pieces, std::uint32_t count, ChunkNode* spare);

// Applies every edit, the last first; an empty plan changes nothing.
// REQUIRES: the chain is closed; every position lies in its records, and
// the edits are in chain order without overlapping (asserted).
void ApplyEditPlan(ResponseChain* chain, const EditPlan& plan);

#endif  // TAGSMITH_BUFFER_EDIT_PLAN_H_
