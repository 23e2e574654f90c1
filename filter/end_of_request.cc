#include "filter/end_of_request.h"

#include "tagging/announced_coding.h"
#include "tagging/header_scan.h"
#include "tagging/site_config.h"
#include "tagging/tag_page.h"

namespace {

// Working storage of one pass: the configuration texts, every record
// spliced into the chain, and the heap storage of a coded body. It must
// outlive the flush.
struct PassFrame {
  SiteConfig config;
  TagFrame tag;
};

// Each step may decide not to tag; every "no" leaves the chain exactly as
// it was buffered.
void TagPage(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
             const WorkingHeap& heap, PassFrame* frame) {
  const ResponseFacts facts = ScanResponseHeaders(chain->head);
  if ((facts.flags & kIsHtml) == 0) return;
  CodingPlan plan;
  if (!DecideCodings(facts.codings, &plan)) return;
  if (!ReadSiteConfig(pfc, facts, &frame->config)) return;
  TagCandidate(pfc, chain, facts, plan, frame->config, heap, &frame->tag);
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
