#include "filter/end_of_request.h"

#include "tagging/tag_page.h"

void RunEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const WorkingHeap& heap) {
  if (chain->state != ChainState::kBuffering) return;
  // From here on raw data passes: our own writes come back as raw data.
  chain->state = ChainState::kPassing;
  CloseChain(chain->head);
  // Every record spliced in lives here and must outlive the flush.
  TagFrame frame;
  StartTagFrame(&frame);
  TagHeldResponse(pfc, chain, heap, &frame);
  FlushChain(pfc, chain->head);
  // Only now, with everything written, may the page's copies go.
  ReleaseTagFrame(heap, &frame);
}
