#include "filter/raw_data.h"

#include "buffer/response_chain.h"
#include "tagging/header_block.h"
#include "tagging/header_scan.h"
#include "tagging/header_verdict.h"
#include "tagging/result_header.h"
#include "tagging/site_config.h"

// A chain starts with its watch word 0: nothing of the block seen yet.
static_assert(static_cast<std::uint32_t>(HeaderBlockWatch::kFirstByte) == 0,
              "a new chain's watch starts at the first byte");

namespace {

// True when the headers, now wholly in with the arriving chunk, rule the
// response out. The scan reads the arriving chunk where it lies. A
// candidate whose codings alone rule it out is still held when its site
// asks for the result header, which the end of the request then writes.
bool HeadersRuleOut(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                    const HTTP_FILTER_RAW_DATA& raw) {
  return ReadWithArrivingChunk(chain, raw, [pfc](const ChunkNode* head) {
    const ResponseFacts facts = ScanResponseHeaders(head);
    if (!WillNotTag(facts)) return false;
    return (facts.flags & kIsHtml) == 0 || !WantsResultHeader(pfc);
  });
}

// Asks the server not to raise raw-data notifications for the rest of this
// request: every later chunk would only pass untouched, and a server that
// no longer raises them can send them as it holds them (a file without
// reading it). A server that refuses loses nothing: the chunks still pass.
void StopRawDataNotifications(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->ServerSupportFunction == nullptr) return;
  pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr,
                             SF_NOTIFY_SEND_RAW_DATA, 0);
}

// Lets a candidate go before its end, the chunk in hand not held. When the
// whole header block is held and the page's site asks for the result
// header, the line goes in first: nothing later could write it.
void LetGoHeld(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain, bool headersHeld,
               TagResult why) {
  ResultHeader header;  // in this frame: the flush below writes it
  if (headersHeld && chain->head != nullptr &&
      (ScanResponseHeaders(chain->head).flags & kIsHtml) != 0 &&
      WantsResultHeader(pfc)) {
    TagOutcome outcome{};
    outcome.result = why;
    CloseChain(chain->head);
    InsertResultHeader(chain, outcome, &header);
  }
  LetResponseGo(pfc);
}

}  // namespace

void HandleRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  // A chunk of a response let go (or already written out) passes
  // untouched; one of zero bytes sends nothing and is not recorded.
  if (!IsHolding(pfc) || raw->cbInData == 0) return;
  ResponseChain* chain = ChainOf(pfc);
  auto watch = chain != nullptr
                   ? static_cast<HeaderBlockWatch>(chain->headerWatch)
                   : HeaderBlockWatch::kFirstByte;
  const bool headersHeld = watch == HeaderBlockWatch::kComplete;
  // The headers are judged once, on the chunk that completes their block:
  // from then on the scan's verdict cannot change, whatever follows. So a
  // response let go here never has its body copied, even the part of it
  // that shares this chunk with the headers.
  if (watch != HeaderBlockWatch::kComplete &&
      WatchHeaderBlock(&watch, static_cast<const char*>(raw->pvInData),
                       raw->cbInData) &&
      HeadersRuleOut(pfc, chain, *raw)) {
    LetResponseGo(pfc);
    StopRawDataNotifications(pfc);
    return;
  }
  const AppendResult appended = AppendChunk(pfc, raw);
  if (appended == AppendResult::kTooLarge || appended == AppendResult::kRefused)
    LetGoHeld(pfc, ChainOf(pfc), headersHeld,
              appended == AppendResult::kTooLarge ? TagResult::kTooLarge
                                                  : TagResult::kNoMemory);
  // Held past the limit, memory refused, or not held at all: let go.
  if (!IsHolding(pfc)) {
    StopRawDataNotifications(pfc);
    return;
  }
  chain = ChainOf(pfc);
  if (chain != nullptr) chain->headerWatch = static_cast<std::uint32_t>(watch);
}
