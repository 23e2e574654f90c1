// The result header a site may ask for with "Diagnostics": one line,
// "X-Tagsmith-Result: " and what became of the page, put in just before
// the empty line that ends the headers. It is not body, so no length
// changes. The line's text and records live in the caller's ResultHeader
// (the call's frame) until the response has been written; no byte of the
// response is copied, nothing is allocated, and the line goes in through
// the caller's edit plan (buffer/edit_plan.h).
#ifndef TAGSMITH_TAGGING_RESULT_HEADER_H_
#define TAGSMITH_TAGGING_RESULT_HEADER_H_

#include <cstdint>

#include "buffer/edit_plan.h"
#include "buffer/response_chain.h"
#include "tagging/announced_coding.h"
#include "tagging/header_scan.h"

enum class TagResult : std::uint8_t {
  kTagged,
  kNoAccount,
  kAccountInvalid,
  kAlreadyTagged,
  kNoClosingBodyTag,
  kCodingNotHandled,
  kCodingInvalid,
  kTooLarge,
  kNoMemory,
  kSnippetUnreadable,
  kSnippetNoMarker,
  kBlockedByPolicy,
};

// What became of one page. For kTagged, the codings the block was put in
// through: the content coding when the body was in it, and whether the
// body was framed. For kCodingNotHandled, the coding's name.
struct TagOutcome {
  TagResult result;
  ContentCoding decoded;  // kNone, kGzip or kDeflate
  bool framed;
  CodingName coding;
};

inline constexpr std::uint32_t kResultLineSize = 64;

struct ResultHeader {
  ChunkNode line;
  ChunkNode spare;  // the rest of the record cut before the empty line
  char text[kResultLineSize];
};

// Writes the whole line, CRLF included, into `text`; returns its length.
// A tagged page names each coding as it applied, content coding first:
// "tagged", "tagged gzip", "tagged deflate", "tagged chunked", and
// "tagged gzip chunked" or "tagged deflate chunked" for both.
std::uint32_t FormatResultLine(const TagOutcome& outcome,
                               char (&text)[kResultLineSize]);

// Plans the line's insertion before the empty line that ends the headers
// (at facts.bodyStart).
// REQUIRES: facts come from this chain's headers and have kIsHtml; the plan
// holds no edit after the headers' end.
void PlanResultHeader(EditPlan* plan, const ResponseFacts& facts,
                      const TagOutcome& outcome, ResultHeader* header);

#endif  // TAGSMITH_TAGGING_RESULT_HEADER_H_
