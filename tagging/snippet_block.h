// The text the tracking block is made of when it cannot be the fixed texts
// in place: a site's own snippet (its "Snippet" file, every "{account}"
// in it replaced by the account), or the fixed block with a nonce on its
// script tags for a page whose policy asks for one. The snippet file and
// the expanded text are working storage from the WorkingHeap, held in the
// caller's BlockText until ReleaseBlockText, after the flush; the marker
// is a copy in the BlockText.
#ifndef TAGSMITH_TAGGING_SNIPPET_BLOCK_H_
#define TAGSMITH_TAGGING_SNIPPET_BLOCK_H_

#include <cstddef>
#include <cstdint>

#include "isapi/isapi.h"
#include "tagging/header_scan.h"
#include "tagging/result_header.h"
#include "tagging/site_config.h"
#include "tagging/working_heap.h"

// The longest snippet file that is read.
inline constexpr std::size_t kMaxSnippetBytes = 64 * 1024;

struct BlockText {
  HeapBuffer snippet;  // the file as read
  HeapBuffer text;     // the block's text, when `built`
  bool built;          // false: the fixed texts in place
  bool ownMarker;      // true: `marker` decides whether the page is tagged
  char marker[kBlockTextSize];
};

// A file name with no directory part: not empty, not "." or "..", and no
// "/", "\\", ":" or control byte in it.
bool IsPlainFileName(const char* name, std::uint32_t length);

// The default marker: the value of the first src="..." attribute, up to its
// first "?", "#", "{account}" or closing quote. Empty when there is none.
struct TextSpan {
  const char* bytes;
  std::size_t length;
};
TextSpan DefaultSnippetMarker(const char* text, std::size_t length);

// Whether a script start tag without a src attribute is in the text.
bool HasInlineScript(const char* text, std::size_t length);

// Appends `text` to `out` with every "{account}" replaced by `account`
// and ` nonce="..."` after the "<script" of every script start tag, when
// nonce.length > 0. False when the heap refuses the room.
bool ExpandBlockText(TextSpan text, const ValueSpan* account,
                     TextSpan configured, TextSpan nonce,
                     const WorkingHeap& heap, HeapBuffer* out);

// Prepares the block's text for this page. kTagged when the block may go
// in; kSnippetUnreadable, kSnippetNoMarker, kBlockedByPolicy or kNoMemory
// when it may not.
// REQUIRES: config has an account or facts have kHasAccountHeader.
TagResult PrepareBlockText(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                           const SiteConfig& config, const WorkingHeap& heap,
                           BlockText* block);

void StartBlockText(BlockText* block);
void ReleaseBlockText(const WorkingHeap& heap, BlockText* block);

#endif  // TAGSMITH_TAGGING_SNIPPET_BLOCK_H_
