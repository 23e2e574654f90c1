// The Content-Length rewrite: after the tracking block went in, the
// header's value is replaced by the old value plus the block's length.
//
// The value's bytes, wherever seams cut them, are cut out of the chain by
// re-linking, and two records of the caller's frame are linked in: one for
// the new digits (held in the same frame) and one for the rest of the
// record where the old value ended. Nothing is allocated and no page byte
// is copied, so the rewrite cannot fail.
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

// Replaces the Content-Length value with its old value plus `added`
// (32-bit, wrapping). REQUIRES: facts have kHasContentLength and come from
// the chain, which the tracking block was spliced into after the headers.
void RewriteContentLength(const ResponseFacts& facts, std::uint32_t added,
                          LengthRewrite* rewrite);

#endif  // TAGSMITH_TAGGING_CONTENT_LENGTH_H_
