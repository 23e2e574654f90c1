// The scan of a buffered response's status line and headers: whether the
// page is a candidate for tagging, where its body begins, and where the
// account header's value and the Content-Length value lie in the chain.
// The scan reads the closed chain through cursors and changes nothing; the
// facts point into the chain's records and live in the end-of-request
// call's frame.
#ifndef TAGSMITH_TAGGING_HEADER_SCAN_H_
#define TAGSMITH_TAGGING_HEADER_SCAN_H_

#include <cstdint>

#include "buffer/append_mark.h"
#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"
#include "tagging/announced_coding.h"

enum ResponseFlag : std::uint32_t {
  kIsHtml = 1,            // a complete "200" response with an HTML type
  kHasAccountHeader = 2,  // an "X-Tagsmith: " header with a value
  kHasContentLength = 4,  // a "Content-Length: " header with a value
};

// A header value: `first` on its first byte, `last` on its last byte (the
// byte before the CR or LF that ends its line; trailing white space
// included). Only filled together with its flag.
struct ValueSpan {
  ChainCursor first;
  ChainCursor last;
};

// The Content-Security-Policy headers (not the report-only ones) noted;
// any past these are counted only.
inline constexpr std::uint32_t kMaxPolicies = 4;

struct ResponseFacts {
  std::uint32_t flags;
  ValueSpan accountValue;
  ValueSpan lengthValue;
  ChainCursor bodyStart;     // on the CR that begins the empty line
  AnnouncedCodings codings;  // what the coding headers said
  ValueSpan
      policies[kMaxPolicies];  // each value, blanks after the colon skipped
  std::uint32_t policyCount;   // all with a value, noted or not
};

// Calls visit(bytes, count) for each piece of the span, record by record,
// in order, passing over records without bytes.
template <typename Visit>
void ForEachSpanPiece(const ValueSpan& span, Visit visit) {
  const ChunkNode* node = span.first.node;
  const char* p = span.first.pos;
  while (node != span.last.node) {
    visit(p, static_cast<std::uint32_t>(node->data + node->length - p));
    node = NextRecordWithBytes(node);
    p = node->data;
  }
  visit(p, static_cast<std::uint32_t>(span.last.pos - p + 1));
}

// Scans the response that starts at `head`. A response that must not be
// spliced (not a "200", headers without an end, a Content-Length that
// cannot be corrected) gets flags 0. Coding headers are noted in `codings`
// for DecideCodings; they do not end the scan. Reads no byte after the CR
// that ends the header block.
// Records without bytes (left by splices) are passed over; a chain with
// no bytes at all gets flags 0.
// REQUIRES: head != null, the first record of a chain that is closed, or
// open and holding the whole header block (tagging/header_block.h).
ResponseFacts ScanResponseHeaders(const ChunkNode* head);

// Facts scanned over the held records and a chunk read where it lay
// (ReadWithArrivingChunk), moved onto the chain once AppendChunk held that
// chunk after `mark`: each position in the chunk's bytes [arriving,
// arriving + count) becomes that byte's place in the copy. The records
// that hold the header block never change while the chain is held, so the
// facts then stay good to the end of the request.
// REQUIRES: nothing was appended to the chain since that chunk.
void MoveFactsToHeldCopy(ResponseFacts* facts, const char* arriving,
                         std::uint32_t count, const ResponseChain& chain,
                         const AppendMark& mark);

#endif  // TAGSMITH_TAGGING_HEADER_SCAN_H_
