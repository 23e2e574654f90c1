// Tagging one held page, whatever its framing and content coding, in three
// steps. Decide: stages (the block's text, framing, decoding, the tag's
// place, the block, re-encoding) each answer with a TagResult, kTagged
// meaning "go on", and none touches the chain. Plan: where the block, the
// new Content-Length and the result header go, as one edit plan. Apply:
// buffer/ makes the plan's edits in one call. So a "no" leaves the response
// exactly as it was buffered.
//
// Ownership: the records spliced in live in the caller's TagFrame; the
// de-framed view, decoded page and re-encoded body are working storage of
// the call from `heap`, held in the frame until ReleaseTagFrame, which the
// caller runs after the flush.
#ifndef TAGSMITH_TAGGING_TAG_PAGE_H_
#define TAGSMITH_TAGGING_TAG_PAGE_H_

#include "buffer/response_chain.h"
#include "isapi/isapi.h"
#include "tagging/body_coding.h"
#include "tagging/body_encoding.h"
#include "tagging/body_splice.h"
#include "tagging/body_watch.h"
#include "tagging/chunk_framing.h"
#include "tagging/header_scan.h"
#include "tagging/result_header.h"
#include "tagging/site_config.h"
#include "tagging/snippet_block.h"
#include "tagging/working_heap.h"

struct TagFrame {
  // Scanned and read here only for a page whose headers were not judged.
  ResponseFacts facts;
  SiteConfig config;
  ResultHeader result;
  SpliceFrame splice;
  FramedBody framing;
  DecodedBody decoded;
  HeapBuffer encoded;
  ChunkNode page;  // the decoded page as a one-record chain
  BlockText text;  // a snippet, or a block with a nonce
};

// Empties the frame's working storage. REQUIRES: before DecideTag.
void StartTagFrame(TagFrame* frame);

// Decides whether and where the page is tagged: kTagged with `place`
// filled, or the reason for "no". Only the frame's working storage and the
// response's held-memory count change. With `watch` on, what it found
// stands for the duplicate check of a plain page. REQUIRES: facts come
// from ScanResponseHeaders of this closed chain, with kIsHtml, and
// JudgeCodings gave `plan`; `watch`, when not null, watched this chain's
// whole body.
TagOutcome DecideTag(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const ResponseFacts& facts, const CodingPlan& plan,
                     const SiteConfig& config, const WorkingHeap& heap,
                     TagFrame* frame, const BodyWatch* watch,
                     SplicePlace* place);

// The end-of-request pass over a response held to its end: the decision
// its headers got when they came in (with the scan's facts and the
// configuration kept then; for a page whose headers were never judged,
// scanned and made now), the page tagged when
// it holds, and last the result header when the site asks for it. Every
// "no" leaves the chain exactly as it was buffered.
// REQUIRES: the chain is closed; StartTagFrame(frame) ran.
void TagHeldResponse(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const WorkingHeap& heap, TagFrame* frame);

// Gives the frame's working storage back to `heap`.
void ReleaseTagFrame(const WorkingHeap& heap, TagFrame* frame);

#endif  // TAGSMITH_TAGGING_TAG_PAGE_H_
