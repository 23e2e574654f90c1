#include "filter/raw_data.h"

#include "buffer/append_mark.h"
#include "buffer/edit_plan.h"
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

// Asks the server not to raise raw-data notifications for the rest of this
// request: every later chunk would only pass untouched, and a server that
// no longer raises them can send them as it holds them (a file without
// reading it). A server that refuses loses nothing: the chunks still pass.
void StopRawDataNotifications(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->ServerSupportFunction == nullptr) return;
  pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr,
                             SF_NOTIFY_SEND_RAW_DATA, 0);
}

// Lets a response go before its end, the chunk in hand not held. With
// `facts` (the whole header block is held, the facts point into it, and
// the page's site asks for the result header) the line saying `outcome`
// goes in first: nothing later could write it.
void LetGoHeld(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
               const ResponseFacts* facts, const TagOutcome& outcome) {
  ResultHeader header;  // in this frame: the flush below writes it
  if (facts != nullptr && chain != nullptr && chain->head != nullptr) {
    CloseChain(chain->head);
    EditPlan plan = EmptyEditPlan();
    PlanResultHeader(&plan, *facts, outcome, &header);
    ApplyEditPlan(chain, plan);
  }
  LetResponseGo(pfc);
}

TagOutcome Outcome(TagResult result) {
  TagOutcome outcome{};
  outcome.result = result;
  return outcome;
}

// The chunk that completes the header block: the headers and the site's
// configuration are judged with the chunk read where it lies. A response
// let go without a result header never has its body copied, even the part
// of it that shares this chunk with the headers; one that says why, or a
// page held to its end, has the chunk held first.
// The headers are scanned this once: the facts found in the chunk where it
// lies are moved onto its copy, and kept for the end of the request.
void JudgeAtHeaders(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  SiteConfig config;
  ResponseFacts facts{};
  const HeaderVerdict verdict =
      ReadWithArrivingChunk(ChainOf(pfc), *raw, [&](const ChunkNode* head) {
        facts = ScanResponseHeaders(head);
        return JudgeHeaders(pfc, facts, &config);
      });
  if (!verdict.hold && !verdict.resultHeader) {
    LetResponseGo(pfc);
    return;
  }
  const char* const arriving = static_cast<const char*>(raw->pvInData);
  const std::uint32_t count = raw->cbInData;
  const AppendMark mark = MarkBeforeAppend(ChainOf(pfc));
  const AppendResult appended = AppendChunk(pfc, raw);
  ResponseChain* chain = ChainOf(pfc);
  if (appended != AppendResult::kHeld) {
    LetGoHeld(pfc, chain, nullptr, verdict.outcome);
    return;
  }
  MoveFactsToHeldCopy(&facts, arriving, count, *chain, mark);
  if (!verdict.hold) {
    LetGoHeld(pfc, chain, &facts, verdict.outcome);
  } else if (!KeepPage(pfc, chain, facts, config, verdict.plan)) {
    LetGoHeld(pfc, chain,
              DiagnosticsOn(config.diagnostics, config.diagnosticsLength)
                  ? &facts
                  : nullptr,
              Outcome(TagResult::kNoMemory));
  }
}

// A chunk of the body of a page held past its headers, whose body may be
// watched as it is copied; a chunk that cannot be held lets the page go.
void HoldBodyChunk(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                   HTTP_FILTER_RAW_DATA* raw) {
  KeptPage* kept = chain->kept;
  AppendResult appended;
  if (kept != nullptr && kept->watch.on) {
    const CopyNote note{NoteCopied, &kept->watch, CopyWatched};
    appended = AppendChunk(pfc, raw, &note);
  } else {
    appended = AppendChunk(pfc, raw);
  }
  if (appended == AppendResult::kHeld) return;
  if (appended == AppendResult::kTooLarge ||
      appended == AppendResult::kRefused) {
    // Only a page held past its headers has a KeptPage.
    LetGoHeld(
        pfc, chain,
        kept != nullptr && DiagnosticsOn(kept->config.diagnostics,
                                         kept->config.diagnosticsLength)
            ? &kept->facts
            : nullptr,
        Outcome(appended == AppendResult::kTooLarge ? TagResult::kTooLarge
                                                    : TagResult::kNoMemory));
  }
  if (!IsHolding(pfc)) StopRawDataNotifications(pfc);
}

}  // namespace

void HandleRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  // A chunk of a response let go (or already written out) passes
  // untouched; one of zero bytes sends nothing and is not recorded.
  if (raw->cbInData == 0) return;
  // The slot read once; a response given up on holds a record whose state
  // says it passes.
  auto* chain = static_cast<ResponseChain*>(pfc->pFilterContext);
  if (chain != nullptr) {
    if (chain->state != ChainState::kBuffering) return;
    // Past a complete header block nothing but the body is left to hold.
    if (chain->headerWatch ==
        static_cast<std::uint32_t>(HeaderBlockWatch::kComplete)) {
      HoldBodyChunk(pfc, chain, raw);
      return;
    }
  }
  auto watch = chain != nullptr
                   ? static_cast<HeaderBlockWatch>(chain->headerWatch)
                   : HeaderBlockWatch::kFirstByte;
  // The headers are judged once, on the chunk that completes their block:
  // from then on the verdict cannot change, whatever follows.
  if (WatchHeaderBlock(&watch, static_cast<const char*>(raw->pvInData),
                       raw->cbInData)) {
    JudgeAtHeaders(pfc, raw);
  } else {
    const AppendResult appended = AppendChunk(pfc, raw);
    // Held past the limit or memory refused before the headers were
    // judged: nothing is kept to say why.
    if (appended == AppendResult::kTooLarge ||
        appended == AppendResult::kRefused)
      LetResponseGo(pfc);
  }
  // Held past the limit, memory refused, or not held at all: let go.
  if (!IsHolding(pfc)) {
    StopRawDataNotifications(pfc);
    return;
  }
  chain = ChainOf(pfc);
  if (chain != nullptr) chain->headerWatch = static_cast<std::uint32_t>(watch);
}
