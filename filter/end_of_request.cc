#include "filter/end_of_request.h"

#include "tagging/account_rule.h"
#include "tagging/announced_coding.h"
#include "tagging/header_scan.h"
#include "tagging/result_header.h"
#include "tagging/site_config.h"
#include "tagging/tag_page.h"

namespace {

// Working storage of one pass: the configuration texts, every record
// spliced into the chain, and the heap storage of a coded body. It must
// outlive the flush.
struct PassFrame {
  SiteConfig config;
  TagFrame tag;
  ResultHeader result;
};

// What becomes of a candidate: the file is read for every one, also when
// its codings rule tagging out, so that the result header can say why.
// Each step may decide not to tag; every "no" leaves the chain exactly as
// it was buffered.
TagOutcome TagCandidatePage(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                            const ResponseFacts& facts, const WorkingHeap& heap,
                            PassFrame* frame) {
  TagOutcome outcome{};
  CodingPlan plan{};
  const CodingVerdict codings = JudgeCodings(facts.codings, &plan);
  const bool account = ReadSiteConfig(pfc, facts, &frame->config);
  if (codings == CodingVerdict::kNotHandled) {
    outcome.result = TagResult::kCodingNotHandled;
    outcome.coding = UnhandledCoding(facts.codings);
  } else if (codings == CodingVerdict::kInvalid) {
    outcome.result = TagResult::kCodingInvalid;
  } else if (!account) {
    outcome.result = TagResult::kNoAccount;
  } else if (!ChosenAccountIsUsable(facts, frame->config)) {
    outcome.result = TagResult::kAccountInvalid;
  } else {
    outcome =
        TagCandidate(pfc, chain, facts, plan, frame->config, heap, &frame->tag);
  }
  return outcome;
}

void TagPage(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
             const WorkingHeap& heap, PassFrame* frame) {
  const ResponseFacts facts = ScanResponseHeaders(chain->head);
  if ((facts.flags & kIsHtml) == 0) return;
  const TagOutcome outcome = TagCandidatePage(pfc, chain, facts, heap, frame);
  // Last, once the page's own edits are done.
  if (DiagnosticsOn(frame->config.diagnostics,
                    frame->config.diagnosticsLength)) {
    InsertResultHeader(chain, outcome, &frame->result);
  }
}

}  // namespace

void RunEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const WorkingHeap& heap) {
  if (chain->state != ChainState::kBuffering) return;
  // From here on raw data passes: our own writes come back as raw data.
  chain->state = ChainState::kPassing;
  CloseChain(chain->head);
  PassFrame frame;
  StartTagFrame(&frame.tag);
  TagPage(pfc, chain, heap, &frame);
  FlushChain(pfc, chain->head);
  // Only now, with everything written, may the page's copies go.
  ReleaseTagFrame(heap, &frame.tag);
}
