// The edits that put the tracking block into a response, one for each kind
// of body: a plain page (the block before the tag, Content-Length grown by
// its length), a framed page (the block as a chunk of its own), and a
// compressed page (the stream from the last kept block on replaced by the
// re-encoded rest, as bytes or as a chunk). Each only finds positions and
// hands them to ReplaceSpan; nothing here can fail.
//
// Ownership: every record and text linked in lives in the caller's
// SpliceFrame and must outlive the flush; the re-encoded bytes belong to
// the caller's working storage (working_heap.h).
#ifndef TAGSMITH_TAGGING_BODY_SPLICE_H_
#define TAGSMITH_TAGGING_BODY_SPLICE_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"
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

// A plain page: the block goes in before `tag`, and the Content-Length
// value, when there is one, grows by the block's length.
// REQUIRES: the block is filled; `tag` is in the chain, after the headers.
void SpliceIntoPlain(ResponseChain* chain, const ResponseFacts& facts,
                     const ChainCursor& tag, SpliceFrame* frame);

// A framed page: the block goes in as a chunk of its own before the view
// byte `tag`, cutting that byte's chunk in two when the byte is not its
// first.
// REQUIRES: the block is filled; `tag` is a byte of framing's view.
void SpliceIntoFramed(ResponseChain* chain, const FramedBody& framing,
                      const ChainCursor& tag, SpliceFrame* frame);

// A compressed page: the body's (de-framed) bytes from `kept` on are
// replaced by `encoded`. Unframed (`framing` null): the Content-Length
// value, when there is one, becomes the new body length. Framed: the bytes
// go as one chunk before the last chunk, cutting the chunk that holds byte
// `kept` when it is not that chunk's first.
// REQUIRES: `first` is the body's first byte; kept < the body's length.
void SpliceCompressed(ResponseChain* chain, const ResponseFacts& facts,
                      const ChainCursor& first, const FramedBody* framing,
                      std::uint64_t kept, const char* encoded,
                      std::uint32_t encodedLength, SpliceFrame* frame);

#endif  // TAGSMITH_TAGGING_BODY_SPLICE_H_
