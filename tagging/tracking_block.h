// The tracking block: two script elements that load the analytics script
// and report the page view for the site's account, to go in just before a
// page's last closing body tag.
//
// This unit finds the tag and fills the block's five records; linking them
// into the chain is buffer/'s (ReplaceSpan). The records belong to the
// caller's frame and point at fixed texts, at the SiteConfig's buffers, or
// into the chain's own bytes (or, for an account header split by a seam, at
// one AllocMem block).
#ifndef TAGSMITH_TAGGING_TRACKING_BLOCK_H_
#define TAGSMITH_TAGGING_TRACKING_BLOCK_H_

#include <cstdint>

#include "buffer/chain_edit.h"
#include "buffer/response_chain.h"
#include "isapi/isapi.h"
#include "tagging/header_scan.h"
#include "tagging/site_config.h"

// The fixed texts, exposed for tests.
extern const char kPlainScriptHead[];
extern const char kSecureScriptHead[];
extern const char kScriptTail[];

struct TrackingBlock {
  ChunkNode insertBefore;  // the configured text, or nothing
  ChunkNode scriptHead;    // plain or secure
  ChunkNode account;
  ChunkNode scriptTail;
  ChunkNode appendAfter;  // the configured text, or nothing
  ChunkNode* pieces[5];   // the five above, in page order
};

// Finds the last closing body tag whose "<" is `from` or lies after it; on
// success `tag` stands on that "<". Reads the page's last 4 KB back from
// the end of `last`, and when the tag is not there the records from
// `from`'s to `last` in one forward pass (and, to match a tag, on past
// `last`); when `from` lies in none of them, the search ends at the chain's
// head and finds nothing.
bool FindLastClosingBodyTag(const ChunkNode* last, const ChainCursor& from,
                            ChainCursor* tag);

// The same tag, read back from the end of `last` as far as `from` with no
// bound: for a caller that already knows a forward pass would leave it
// unsure, so that only this search is left.
bool SearchBackForClosingBodyTag(const ChunkNode* last, const ChainCursor& from,
                                 ChainCursor* tag);

// Fills the block for this request: secure head on a TLS connection or with
// "AlwaysSSL", the configured account or else the page's own header value.
// False when an account header split by a seam cannot be gathered for want
// of memory.
bool FillTrackingBlock(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                       const SiteConfig& config, TrackingBlock* block);

// Points the block at a text made for this page instead of the fixed texts:
// the configured texts around it, no account record of its own.
void FillBuiltBlock(const SiteConfig& config, const char* text,
                    std::uint32_t length, TrackingBlock* block);

// The number of bytes the block adds to the page.
std::uint32_t TrackingBlockLength(const TrackingBlock& block);

#endif  // TAGSMITH_TAGGING_TRACKING_BLOCK_H_
