#include "filter/raw_data.h"

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
// `resultHeader` (the whole header block is held and the page's site asks
// for it) the line saying `outcome` goes in first: nothing later could
// write it.
void LetGoHeld(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
               bool resultHeader, const TagOutcome& outcome) {
  ResultHeader header;  // in this frame: the flush below writes it
  if (resultHeader && chain != nullptr && chain->head != nullptr) {
    CloseChain(chain->head);
    EditPlan plan = EmptyEditPlan();
    PlanResultHeader(&plan, ScanResponseHeaders(chain->head), outcome, &header);
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
void JudgeAtHeaders(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  SiteConfig config;
  const HeaderVerdict verdict =
      ReadWithArrivingChunk(ChainOf(pfc), *raw, [&](const ChunkNode* head) {
        return JudgeHeaders(pfc, ScanResponseHeaders(head), &config);
      });
  if (!verdict.hold && !verdict.resultHeader) {
    LetResponseGo(pfc);
    return;
  }
  const AppendResult appended = AppendChunk(pfc, raw);
  ResponseChain* chain = ChainOf(pfc);
  if (appended != AppendResult::kHeld) {
    LetGoHeld(pfc, chain, false, verdict.outcome);
  } else if (!verdict.hold) {
    LetGoHeld(pfc, chain, true, verdict.outcome);
  } else if (!KeepPage(pfc, chain, config, verdict.plan)) {
    LetGoHeld(pfc, chain,
              DiagnosticsOn(config.diagnostics, config.diagnosticsLength),
              Outcome(TagResult::kNoMemory));
  }
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
  // The headers are judged once, on the chunk that completes their block:
  // from then on the verdict cannot change, whatever follows.
  if (watch != HeaderBlockWatch::kComplete &&
      WatchHeaderBlock(&watch, static_cast<const char*>(raw->pvInData),
                       raw->cbInData)) {
    JudgeAtHeaders(pfc, raw);
  } else {
    // A page held past its headers may have its body watched as it is
    // copied.
    KeptPage* kept = chain != nullptr ? chain->kept : nullptr;
    const CopyNote note{NoteCopied, kept != nullptr ? &kept->watch : nullptr,
                        CopyWatched};
    const AppendResult appended = AppendChunk(
        pfc, raw, kept != nullptr && kept->watch.on ? &note : nullptr);
    if (appended == AppendResult::kTooLarge ||
        appended == AppendResult::kRefused) {
      // Only a page held past its headers has a KeptPage.
      LetGoHeld(
          pfc, chain,
          kept != nullptr && DiagnosticsOn(kept->config.diagnostics,
                                           kept->config.diagnosticsLength),
          Outcome(appended == AppendResult::kTooLarge ? TagResult::kTooLarge
                                                      : TagResult::kNoMemory));
    }
  }
  // Held past the limit, memory refused, or not held at all: let go.
  if (!IsHolding(pfc)) {
    StopRawDataNotifications(pfc);
    return;
  }
  chain = ChainOf(pfc);
  if (chain != nullptr) chain->headerWatch = static_cast<std::uint32_t>(watch);
}
