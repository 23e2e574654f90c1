#include "tagging/tracking_block.h"

#include <cstring>

#include "buffer/chain_cursor.h"
#include "tagging/pair_search.h"

// The analytics service's script hosts for plain HTTP and for HTTPS.
#define TAGSMITH_PLAIN_HOST "www.google-analytics.com"
#define TAGSMITH_SECURE_HOST "ssl.google-analytics.com"
#define TAGSMITH_HEAD_REST                                          \
  "/urchin.js\" type=\"text/javascript\">\r\n</script>\r\n"        \
  "<script type=\"text/javascript\">\r\n\t_uacct = \""

const char kPlainScriptHead[] =
    "\r\n<script src=\"http://" TAGSMITH_PLAIN_HOST TAGSMITH_HEAD_REST;
const char kSecureScriptHead[] =
    "\r\n<script src=\"https://" TAGSMITH_SECURE_HOST TAGSMITH_HEAD_REST;
const char kScriptTail[] = "\";\r\n\turchinTracker();\r\n</script>\r\n\r\n";
#define TAGSMITH_PLAIN_MARKER \
  "<script src=\"http://" TAGSMITH_PLAIN_HOST "/urchin.js\""
#define TAGSMITH_SECURE_MARKER \
  "<script src=\"https://" TAGSMITH_SECURE_HOST "/urchin.js\""
const char kPlainScriptMarker[] = TAGSMITH_PLAIN_MARKER;
const char kSecureScriptMarker[] = TAGSMITH_SECURE_MARKER;

namespace {

template <std::size_t N>
constexpr std::uint32_t TextLength(const char (&)[N]) {
  return N - 1;
}

void Point(ChunkNode* node, const char* data, std::uint32_t length) {
  node->data = length > 0 ? data : nullptr;
  node->length = length;
}

const ChunkNode* NextWithBytes(const ChunkNode* node) {
  do {
    node = node->next;
  } while (node != nullptr && node->length == 0);
  return node;
}

// Searches backward from the chain's last byte for a closing body tag
// whose "<" lies after `bodyStart`, so that no tag inside the headers is
// ever taken.
bool FindLastClosingBodyTag(const ResponseChain& chain,
                            const ChainCursor& bodyStart, ChainCursor* tag) {
  for (const ChunkNode* node = chain.tail;; node = node->prev) {
    const bool first = node == bodyStart.node;
    const char* begin = first ? bodyStart.pos + 1 : node->data;
    for (const char* p = node->data + node->length; p > begin;) {
      if (*--p != '<') continue;
      const ChainCursor at{node, p};
      if (MatchClosingTag(at, "body")) {
        *tag = at;
        return true;
      }
    }
    if (first) return false;
  }
}

// Points `account` at the account's bytes: the configured one, else the
// page's own header value, else nothing. A header value split by seams is
// gathered into one AllocMem block; false when that is refused.
bool ResolveAccount(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                    const SiteConfig& config, ChunkNode* account) {
  if (config.accountLength > 0) {
    Point(account, config.account, config.accountLength);
    return true;
  }
  if ((facts.flags & kHasAccountHeader) == 0) {
    Point(account, nullptr, 0);
    return true;
  }
  const ValueSpan& span = facts.accountValue;
  if (span.first.node == span.last.node) {
    Point(account, span.first.pos,
          static_cast<std::uint32_t>(span.last.pos - span.first.pos + 1));
    return true;
  }
  std::uint32_t length = 0;
  ForEachSpanPiece(span, [&length](const char*, std::uint32_t count) {
    length += count;
  });
  auto* gathered = static_cast<char*>(pfc->AllocMem(pfc, length, 0));
  if (gathered == nullptr) return false;
  char* out = gathered;
  ForEachSpanPiece(span, [&out](const char* bytes, std::uint32_t count) {
    std::memcpy(out, bytes, count);
    out += count;
  });
  Point(account, gathered, length);
  return true;
}

// Both markers end in the same text (the part of the hosts they share, the
// script's path and the closing quote). The body is searched for that
// common tail with a fast vector filter; only where it occurs is a marker
// tried, stepping back from it across seams as needed.
constexpr std::size_t CommonTailLength(const char* a, std::size_t aLength,
                                       const char* b, std::size_t bLength) {
  std::size_t n = 0;
  while (n < aLength && n < bLength && a[aLength - 1 - n] == b[bLength - 1 - n]) {
    ++n;
  }
  return n;
}

constexpr std::size_t kTailLength =
    CommonTailLength(TAGSMITH_PLAIN_MARKER, sizeof(TAGSMITH_PLAIN_MARKER) - 1,
                     TAGSMITH_SECURE_MARKER, sizeof(TAGSMITH_SECURE_MARKER) - 1);
static_assert(kTailLength >= 2, "the markers share their closing text");
constexpr const char* kTailText =
    &TAGSMITH_PLAIN_MARKER[sizeof(TAGSMITH_PLAIN_MARKER) - 1 - kTailLength];
constexpr unsigned char kTailFirst = FoldCase(static_cast<unsigned char>(
    TAGSMITH_PLAIN_MARKER[sizeof(TAGSMITH_PLAIN_MARKER) - 1 - kTailLength]));
constexpr unsigned char kTailLast = FoldCase(static_cast<unsigned char>(
    TAGSMITH_PLAIN_MARKER[sizeof(TAGSMITH_PLAIN_MARKER) - 2]));

// For each folded byte, the offsets in the common tail that hold it.
struct TailOffsets {
  std::uint64_t of[256];
};

constexpr TailOffsets MakeTailOffsets() {
  TailOffsets offsets{};
  for (std::size_t i = 0; i < kTailLength; ++i) {
    offsets.of[FoldCase(static_cast<unsigned char>(kTailText[i]))] |=
        std::uint64_t{1} << i;
  }
  return offsets;
}

static_assert(kTailLength <= 64, "the tail's offsets fit one word");
constexpr TailOffsets kTailOffsets = MakeTailOffsets();

// True when `text` (of kTailLength bytes) folds equal to the bytes at p.
bool MatchesInRecord(const char* p, const char* text) {
  for (std::size_t i = 0; i < kTailLength; ++i) {
    if (FoldCase(static_cast<unsigned char>(p[i])) !=
        FoldCase(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
}

// True when a whole marker ends with the common tail that starts at `tail`.
bool MarkerEndsWith(const ChainCursor& tail) {
  const char* const markers[] = {kSecureScriptMarker, kPlainScriptMarker};
  for (const char* marker : markers) {
    ChainCursor start = tail;
    const std::size_t before = std::strlen(marker) - kTailLength;
    bool reached = true;
    for (std::size_t i = 0; i < before && reached; ++i) reached = StepBack(&start);
    if (reached && MatchAt(start, marker)) return true;
  }
  return false;
}

}  // namespace

bool CarriesTrackingScript(const ResponseFacts& facts) {
  const ChunkNode* node = facts.bodyStart.node;
  const char* begin = facts.bodyStart.pos;
  while (node != nullptr) {
    const char* end = node->data + node->length;
    // Candidates lying wholly in this record, found a vector at a time.
    for (const char* p = begin;
         (p = FindFoldedPair(p, end, kTailFirst, kTailLast, kTailLength - 1));
         ++p) {
      if (MatchesInRecord(p, kTailText) && MarkerEndsWith({node, p})) return true;
    }
    // Candidates that run on into the next records: one starting i + 1
    // bytes before the record's end holds the record's last byte at its
    // offset i, so only the offsets where the tail has that byte are tried.
    const auto window = static_cast<std::size_t>(end - begin) < kTailLength
                            ? static_cast<std::size_t>(end - begin)
                            : kTailLength - 1;
    std::uint64_t offsets =
        kTailOffsets.of[FoldCase(static_cast<unsigned char>(end[-1]))] &
        ((std::uint64_t{1} << window) - 1);
    for (; offsets != 0; offsets &= offsets - 1) {
      const ChainCursor at{node, end - 1 - __builtin_ctzll(offsets)};
      if (MatchAt(at, kTailText) && MarkerEndsWith(at)) return true;
    }
    node = NextWithBytes(node);
    if (node != nullptr) begin = node->data;
  }
  return false;
}

bool InsertTrackingBlock(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                         const ResponseFacts& facts, const SiteConfig& config,
                         TrackingBlock* block) {
  ChainCursor tag;
  if (!FindLastClosingBodyTag(*chain, facts.bodyStart, &tag)) return false;
  // Everything that can fail is done before the chain is touched.
  if (!ResolveAccount(pfc, facts, config, &block->account)) return false;

  const bool secure = pfc->fIsSecurePort != 0 || config.alwaysSslLength > 0;
  Point(&block->insertBefore, config.insertBefore, config.insertBeforeLength);
  if (secure) {
    Point(&block->scriptHead, kSecureScriptHead, TextLength(kSecureScriptHead));
  } else {
    Point(&block->scriptHead, kPlainScriptHead, TextLength(kPlainScriptHead));
  }
  Point(&block->scriptTail, kScriptTail, TextLength(kScriptTail));
  Point(&block->appendAfter, config.appendAfter, config.appendAfterLength);

  // Split the tag's record at its "<": the record keeps the bytes before
  // the tag (possibly none) and the body tail takes the rest.
  auto* split = const_cast<ChunkNode*>(tag.node);
  const auto kept = static_cast<std::uint32_t>(tag.pos - split->data);
  block->bodyTail.data = tag.pos;
  block->bodyTail.length = split->length - kept;
  split->length = kept;

  ChunkNode* const order[] = {split,
                              &block->insertBefore,
                              &block->scriptHead,
                              &block->account,
                              &block->scriptTail,
                              &block->appendAfter,
                              &block->bodyTail};
  ChunkNode* const rest = split->next;
  for (std::size_t i = 1; i < sizeof(order) / sizeof(order[0]); ++i) {
    order[i - 1]->next = order[i];
    order[i]->prev = order[i - 1];
  }
  block->bodyTail.next = rest;
  if (rest != nullptr) {
    rest->prev = &block->bodyTail;
  } else {
    chain->tail = &block->bodyTail;
  }
  return true;
}

std::uint32_t TrackingBlockLength(const TrackingBlock& block) {
  return block.insertBefore.length + block.scriptHead.length +
         block.account.length + block.scriptTail.length +
         block.appendAfter.length;
}
