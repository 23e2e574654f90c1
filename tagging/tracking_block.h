// The tracking block: two script elements that load the analytics script
// and report the page view for the site's account, spliced into a page
// just before its last closing body tag.
//
// The page's bytes are never copied or moved: the record holding the tag
// is cut short and a body-tail record points at the rest of its bytes. All
// six records spliced in belong to the caller's frame and point at fixed
// texts, at the SiteConfig's buffers, or into the chain's own bytes (or, for
// an account header split by a seam, at one AllocMem block).
#ifndef TAGSMITH_TAGGING_TRACKING_BLOCK_H_
#define TAGSMITH_TAGGING_TRACKING_BLOCK_H_

#include <cstdint>

#include "buffer/response_chain.h"
#include "filter/isapi.h"
#include "tagging/header_scan.h"
#include "tagging/site_config.h"

// The fixed texts, exposed for tests.
extern const char kPlainScriptHead[];
extern const char kSecureScriptHead[];
extern const char kScriptTail[];
extern const char kPlainScriptMarker[];
extern const char kSecureScriptMarker[];

struct TrackingBlock {
  ChunkNode insertBefore;  // the configured text, or nothing
  ChunkNode scriptHead;    // plain or secure
  ChunkNode account;
  ChunkNode scriptTail;
  ChunkNode appendAfter;   // the configured text, or nothing
  ChunkNode bodyTail;      // the rest of the record the tag was found in
};

// True when the body already loads the analytics script from either host,
// in any letter case, anywhere after the headers.
bool CarriesTrackingScript(const ResponseFacts& facts);

// Splices the block in before the last closing body tag after the headers.
// False, with the chain unchanged, when there is no such tag, or when an
// account header split by a seam cannot be gathered for want of memory.
// REQUIRES: facts come from ScanResponseHeaders of this chain with kIsHtml.
bool InsertTrackingBlock(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                         const ResponseFacts& facts, const SiteConfig& config,
                         TrackingBlock* block);

// The number of bytes the block adds to the page.
std::uint32_t TrackingBlockLength(const TrackingBlock& block);

#endif  // TAGSMITH_TAGGING_TRACKING_BLOCK_H_
