#include "tagging/tracking_block.h"

#include <cstring>

#include "buffer/chain_cursor.h"
#include "tagging/body_tag_watch.h"
#include "tagging/script_hosts.h"

#define TAGSMITH_HEAD_REST                                  \
  "/urchin.js\" type=\"text/javascript\">\r\n</script>\r\n" \
  "<script type=\"text/javascript\">\r\n\t_uacct = \""

const char kPlainScriptHead[] =
    "\r\n<script src=\"http://" TAGSMITH_PLAIN_HOST TAGSMITH_HEAD_REST;
const char kSecureScriptHead[] =
    "\r\n<script src=\"https://" TAGSMITH_SECURE_HOST TAGSMITH_HEAD_REST;
const char kScriptTail[] = "\";\r\n\turchinTracker();\r\n</script>\r\n\r\n";

namespace {

template <std::size_t N>
constexpr std::uint32_t TextLength(const char (&)[N]) {
  return N - 1;
}

// Points `account` at the account's bytes: the configured one, else the
// page's own header value, else nothing. A header value split by seams is
// gathered into one AllocMem block; false when that is refused or would
// take the response past what it may hold.
bool ResolveAccount(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                    const SiteConfig& config, ChunkNode* account) {
  if (config.accountLength > 0) {
    PointRecord(account, config.account, config.accountLength);
    return true;
  }
  if ((facts.flags & kHasAccountHeader) == 0) {
    PointRecord(account, nullptr, 0);
    return true;
  }
  const ValueSpan& span = facts.accountValue;
  if (span.first.node == span.last.node) {
    PointRecord(account, span.first.pos,
                static_cast<std::uint32_t>(span.last.pos - span.first.pos + 1));
    return true;
  }
  std::uint32_t length = 0;
  ForEachSpanPiece(
      span, [&length](const char*, std::uint32_t count) { length += count; });
  // Counted in what the response holds: a value may be most of it.
  auto* gathered = static_cast<char*>(AllocHeld(pfc, ChainOf(pfc), length));
  if (gathered == nullptr) return false;
  char* out = gathered;
  ForEachSpanPiece(span, [&out](const char* bytes, std::uint32_t count) {
    std::memcpy(out, bytes, count);
    out += count;
  });
  PointRecord(account, gathered, length);
  return true;
}

}  // namespace

namespace {

// The bytes read back from the page's end before the search turns to one
// forward pass over the whole page: a page's last closing body tag mostly
// stands within its last few hundred bytes, but a page without one would
// otherwise be read back byte by byte, a match tried at every "<".
constexpr std::uint64_t kBackwardReach = 4096;

enum class Backward { kFound, kNone, kFar };

// Reads back from the end of `last` for a closing body tag at `from` or
// after it, at most `reach` bytes (kFar when that was not enough).
Backward SearchBackward(const ChunkNode* last, const ChainCursor& from,
                        std::uint64_t reach, ChainCursor* tag) {
  for (const ChunkNode* node = last;; node = node->prev) {
    const bool first = node == from.node;
    const char* begin = first ? from.pos : node->data;
    for (const char* p = node->data + node->length; p > begin;) {
      if (reach-- == 0) return Backward::kFar;
      if (*--p != '<') continue;
      const ChainCursor at{node, p};
      if (MatchClosingTag(at, "body")) {
        *tag = at;
        return Backward::kFound;
      }
    }
    // The chain's head (its own prev once closed) ends the search, so a
    // `from` in no record of the chain finds nothing.
    if (first || node->prev == nullptr || node->prev == node) {
      return Backward::kNone;
    }
  }
}

// One pass from `from` to the end of `last`, noting the closing body tags'
// places as the body watch does; kUnsure when too many were noted, or
// `last` does not follow `from` among the records with bytes (an empty
// `last` too, which then leaves the answer to the search back).
NotedTag SearchForward(const ChunkNode* last, const ChainCursor& from,
                       ChainCursor* tag) {
  ChainCursor start = from;
  if (!StepBack(&start)) start = ChainCursor{nullptr, nullptr};
  BodyTagWatch watch;
  StartBodyTagWatch(&watch, start);
  for (const ChunkNode* node = from.node; node != nullptr;
       node = NextRecordWithBytes(node)) {
    // `from` may stand just past its record's last byte.
    const char* begin = node == from.node ? from.pos : node->data;
    const auto count =
        static_cast<std::uint32_t>(node->data + node->length - begin);
    if (count > 0) WatchForBodyTag(&watch, node, begin, count, false);
    if (node == last) return LastNotedBodyTag(watch, tag);
  }
  return NotedTag::kUnsure;
}

}  // namespace

bool FindLastClosingBodyTag(const ChunkNode* last, const ChainCursor& from,
                            ChainCursor* tag) {
  switch (SearchBackward(last, from, kBackwardReach, tag)) {
    case Backward::kFound:
      return true;
    case Backward::kNone:
      return false;
    case Backward::kFar:
      break;
  }
  const NotedTag noted = SearchForward(last, from, tag);
  if (noted != NotedTag::kUnsure) return noted == NotedTag::kFound;
  return SearchBackForClosingBodyTag(last, from, tag);
}

bool SearchBackForClosingBodyTag(const ChunkNode* last, const ChainCursor& from,
                                 ChainCursor* tag) {
  return SearchBackward(last, from, ~std::uint64_t{0}, tag) == Backward::kFound;
}

namespace {

// The five records in page order.
void ListPieces(TrackingBlock* block) {
  block->pieces[0] = &block->insertBefore;
  block->pieces[1] = &block->scriptHead;
  block->pieces[2] = &block->account;
  block->pieces[3] = &block->scriptTail;
  block->pieces[4] = &block->appendAfter;
}

}  // namespace

bool FillTrackingBlock(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                       const SiteConfig& config, TrackingBlock* block) {
  if (!ResolveAccount(pfc, facts, config, &block->account)) return false;
  const bool secure = pfc->fIsSecurePort != 0 || config.alwaysSslLength > 0;
  PointRecord(&block->insertBefore, config.insertBefore,
              config.insertBeforeLength);
  if (secure) {
    PointRecord(&block->scriptHead, kSecureScriptHead,
                TextLength(kSecureScriptHead));
  } else {
    PointRecord(&block->scriptHead, kPlainScriptHead,
                TextLength(kPlainScriptHead));
  }
  PointRecord(&block->scriptTail, kScriptTail, TextLength(kScriptTail));
  PointRecord(&block->appendAfter, config.appendAfter,
              config.appendAfterLength);
  ListPieces(block);
  return true;
}

void FillBuiltBlock(const SiteConfig& config, const char* text,
                    std::uint32_t length, TrackingBlock* block) {
  PointRecord(&block->insertBefore, config.insertBefore,
              config.insertBeforeLength);
  PointRecord(&block->scriptHead, text, length);
  PointRecord(&block->account, nullptr, 0);
  PointRecord(&block->scriptTail, nullptr, 0);
  PointRecord(&block->appendAfter, config.appendAfter,
              config.appendAfterLength);
  ListPieces(block);
}

std::uint32_t TrackingBlockLength(const TrackingBlock& block) {
  return block.insertBefore.length + block.scriptHead.length +
         block.account.length + block.scriptTail.length +
         block.appendAfter.length;
}
