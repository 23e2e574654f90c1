// The Content-Length rewrite: when the tracking block goes in, the
// header's value is replaced by the body's new length.
//
// The value's bytes, wherever seams cut them, are planned to be replaced
// (buffer/edit_plan.h) by two records of the caller's frame: one for the
// new digits (held in the same frame) and one for the rest of the record
// where the old value ended. Nothing is allocated and no page byte is
// copied, so the rewrite cannot fail.
#ifndef TAGSMITH_TAGGING_CONTENT_LENGTH_H_
#define TAGSMITH_TAGGING_CONTENT_LENGTH_H_

#include <cstdint>

#include "buffer/edit_plan.h"
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

// Plans the replacement of the Content-Length value by `newLength`.
// REQUIRES: facts have kHasContentLength and come from this closed chain;
// the plan holds no edit that ends after the value's start.
void PlanContentLength(EditPlan* plan, const ResponseFacts& facts,
                       std::uint32_t newLength, LengthRewrite* rewrite);

#endif  // TAGSMITH_TAGGING_CONTENT_LENGTH_H_
