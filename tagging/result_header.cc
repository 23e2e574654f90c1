#include "tagging/result_header.h"

#include <cassert>
#include <cstring>

#include "buffer/chain_edit.h"

namespace {

const char* Word(TagResult result) {
  switch (result) {
    case TagResult::kTagged:
      return "tagged";
    case TagResult::kNoAccount:
      return "no-account";
    case TagResult::kAccountInvalid:
      return "account-invalid";
    case TagResult::kAlreadyTagged:
      return "already-tagged";
    case TagResult::kNoClosingBodyTag:
      return "no-closing-body-tag";
    case TagResult::kCodingNotHandled:
      return "coding-not-handled";
    case TagResult::kCodingInvalid:
      return "coding-invalid";
    case TagResult::kTooLarge:
      return "too-large";
    case TagResult::kNoMemory:
      return "no-memory";
    case TagResult::kSnippetUnreadable:
      return "snippet-unreadable";
    case TagResult::kSnippetNoMarker:
      return "snippet-no-marker";
    case TagResult::kBlockedByPolicy:
      return "blocked-by-policy";
  }
  return "no-memory";
}

// Appends `length` bytes; the line's size holds the longest line.
void Put(char* text, std::uint32_t* n, const char* bytes,
         std::uint32_t length) {
  assert(*n + length <= kResultLineSize);
  std::memcpy(text + *n, bytes, length);
  *n += length;
}
void Put(char* text, std::uint32_t* n, const char* word) {
  Put(text, n, word, static_cast<std::uint32_t>(std::strlen(word)));
}

}  // namespace

std::uint32_t FormatResultLine(const TagOutcome& outcome,
                               char (&text)[kResultLineSize]) {
  std::uint32_t n = 0;
  Put(text, &n, "X-Tagsmith-Result: ");
  Put(text, &n, Word(outcome.result));
  if (outcome.result == TagResult::kTagged) {
    if (outcome.decoded == ContentCoding::kGzip) Put(text, &n, " gzip");
    if (outcome.decoded == ContentCoding::kDeflate) Put(text, &n, " deflate");
    if (outcome.framed) Put(text, &n, " chunked");
  } else if (outcome.result == TagResult::kCodingNotHandled) {
    Put(text, &n, " ");
    Put(text, &n, outcome.coding.text, outcome.coding.length);
  }
  Put(text, &n, "\r\n");
  return n;
}

void PlanResultHeader(EditPlan* plan, const ResponseFacts& facts,
                      const TagOutcome& outcome, ResultHeader* header) {
  assert((facts.flags & kIsHtml) != 0);
  PointRecord(&header->line, header->text,
              FormatResultLine(outcome, header->text));
  ChunkNode* const pieces[] = {&header->line};
  AddEdit(plan, facts.bodyStart, &facts.bodyStart, pieces, 1, &header->spare);
}
