// The edits that put the tracking block into a response, one for each kind
// of body: a plain page (the block before the tag, Content-Length grown by
// its length), a framed page (the block as a chunk of its own), and a
// compressed page (the stream from the last kept block on replaced by the
// re-encoded rest, as bytes or as a chunk). Each only finds positions and
// adds them to an edit plan (buffer/edit_plan.h), in chain order; nothing
// here touches the chain or can fail.
//
// Ownership: every record and text the plan links in lives in the caller's
// SpliceFrame and must outlive the flush; the re-encoded bytes belong to
// the caller's working storage (working_heap.h).
#ifndef TAGSMITH_TAGGING_BODY_SPLICE_H_
#define TAGSMITH_TAGGING_BODY_SPLICE_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/edit_plan.h"
#include "tagging/chunk_framing.h"
#include "tagging/content_length.h"
#include "tagging/header_scan.h"
#include "tagging/tracking_block.h"

struct SpliceFrame {
  TrackingBlock block;
  LengthRewrite length;
  ChunkNode spare;        // the rest of the record cut at the splice
  ChunkNode digitsSpare;  // the rest of the record of a chunk's size digits
  ChunkNode openLine;     // CRLF (when cutting a chunk) and a size line
  ChunkNode encoded;      // the re-encoded bytes
  ChunkNode closeLine;    // CRLF, and the size line of a cut chunk's rest
  ChunkNode digits;       // a cut chunk's new size digits
  char openText[12];
  char closeText[12];
  char digitsText[8];
};

// Where the block goes, as the stages decided it.
struct SplicePlace {
  ChainCursor first;          // the body's first byte
  const FramedBody* framing;  // a framed body's view; null when unframed
  // Not compressed: the byte the block goes before (a view byte when
  // framed).
  ChainCursor tag;
  // Compressed: the (de-framed) body bytes from `kept` on are replaced by
  // the re-encoded rest.
  bool compressed;
  std::uint64_t kept;
  const char* encoded;
  std::uint32_t encodedLength;
};

// Plans the Content-Length value the tagged page states, when there is one
// and the body is not framed: the old value grown by the block's length
// for a plain page, the new body length for a compressed one.
// REQUIRES: the block is filled; the plan holds no edit after the headers.
void PlanSpliceLength(EditPlan* plan, const ResponseFacts& facts,
                      const SplicePlace& place, SpliceFrame* frame);

// Plans the body's edits. A plain page: the block before `tag`. A framed
// page: the block as a chunk of its own before the view byte `tag`, cutting
// that byte's chunk in two when the byte is not its first. A compressed
// page: the bytes from `kept` on replaced by `encoded`; framed, as one
// chunk before the last chunk, cutting the chunk that holds byte `kept`
// when it is not that chunk's first.
// REQUIRES: the block is filled; `tag` is in the body (a byte of the view
// when framed); kept < the body's length; the plan holds no edit after
// the body's start.
void PlanBodySplice(EditPlan* plan, const SplicePlace& place,
                    SpliceFrame* frame);

#endif  // TAGSMITH_TAGGING_BODY_SPLICE_H_
