#include "filter/end_of_request.h"

#include "tagging/content_length.h"
#include "tagging/header_scan.h"
#include "tagging/site_config.h"
#include "tagging/tracking_block.h"

namespace {

// Working storage of one pass: the configuration texts and every record
// spliced into the chain. It must outlive the flush.
struct PassFrame {
  SiteConfig config;
  TrackingBlock block;
  LengthRewrite length;
};

// Each step may decide not to tag; every "no" leaves the chain exactly as
// it was buffered.
void TagPage(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
             PassFrame* frame) {
  const ResponseFacts facts = ScanResponseHeaders(chain->head);
  if ((facts.flags & kIsHtml) == 0) return;
  if (!ReadSiteConfig(pfc, facts, &frame->config)) return;
  if (CarriesTrackingScript(facts)) return;
  if (!InsertTrackingBlock(pfc, chain, facts, frame->config, &frame->block)) {
    return;
  }
  if ((facts.flags & kHasContentLength) != 0) {
    RewriteContentLength(facts, TrackingBlockLength(frame->block),
                         &frame->length);
  }
}

}  // namespace

void RunEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain) {
  if (chain->state != ChainState::kBuffering) return;
  // From here on raw data passes: our own writes come back as raw data.
  chain->state = ChainState::kPassing;
  CloseChain(chain->head);
  PassFrame frame;
  TagPage(pfc, chain, &frame);
  FlushChain(pfc, chain->head);
}
