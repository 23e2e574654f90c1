// The Content-Length rewrite: after the tracking block went in, the
// header's value is replaced by the old value plus the block's length.
//
// The value's bytes, wherever seams cut them, are replaced (ReplaceSpan) by
// two records of the caller's frame: one for the new digits (held in the
// same frame) and one for the rest of the record where the old value ended.
// Nothing is allocated and no page byte is copied, so the rewrite cannot
// fail. Also used to state a re-encoded body's new length.
#ifndef TAGSMITH_TAGGING_CONTENT_LENGTH_H_
#define TAGSMITH_TAGGING_CONTENT_LENGTH_H_

#include <cstdint>

#include "buffer/response_chain.h"
#include "tagging/header_scan.h"

struct LengthRewrite {
  char digits[16];
  ChunkNode value;     // the new digits
  ChunkNode lineTail;  // what followed the old value in its last record
};

// Reads a decimal value as the server's runtime does: leading white space
// skipped, one sign, digits up to the first other byte; too large counts as
// 4294967295, a minus then negates modulo 2^32; no digits give 0.
std::uint32_t ParseLengthValue(const ValueSpan& span);

// Writes `value` as decimal digits (no sign, no leading zeros) and returns
// their count (1 to 10). REQUIRES: out has room for 10 bytes.
std::uint32_t FormatDecimal(std::uint32_t value, char* out);

// Replaces the Content-Length value by `newLength`.
// REQUIRES: facts have kHasContentLength and come from this closed chain,
// and nothing before the value's end has been edited since the scan.
void SetContentLength(ResponseChain* chain, const ResponseFacts& facts,
                      std::uint32_t newLength, LengthRewrite* rewrite);

// Replaces the Content-Length value with its old value plus `added`
// (32-bit, wrapping), as after a block went into a plain page.
// REQUIRES: as for SetContentLength.
void RewriteContentLength(ResponseChain* chain, const ResponseFacts& facts,
                          std::uint32_t added, LengthRewrite* rewrite);

#endif  // TAGSMITH_TAGGING_CONTENT_LENGTH_H_
