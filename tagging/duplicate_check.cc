#include "tagging/duplicate_check.h"

#include <cstring>

#include "tagging/pair_search.h"
#include "tagging/script_hosts.h"

#define TAGSMITH_PLAIN_MARKER \
  "<script src=\"http://" TAGSMITH_PLAIN_HOST "/urchin.js\""
#define TAGSMITH_SECURE_MARKER \
  "<script src=\"https://" TAGSMITH_SECURE_HOST "/urchin.js\""
const char kPlainScriptMarker[] = TAGSMITH_PLAIN_MARKER;
const char kSecureScriptMarker[] = TAGSMITH_SECURE_MARKER;

namespace {

const ChunkNode* NextWithBytes(const ChunkNode* node) {
  do {
    node = node->next;
  } while (node != nullptr && node->length == 0);
  return node;
}

// Both markers end in the same text (the part of the hosts they share, the
// script's path and the closing quote). The body is searched for that
// common tail with a fast vector filter; only where it occurs is a marker
// tried, stepping back from it across seams as needed.
constexpr std::size_t CommonTailLength(const char* a, std::size_t aLength,
                                       const char* b, std::size_t bLength) {
  std::size_t n = 0;
  while (n < aLength && n < bLength &&
         a[aLength - 1 - n] == b[bLength - 1 - n]) {
    ++n;
  }
  return n;
}

constexpr std::size_t kTailLength = CommonTailLength(
    TAGSMITH_PLAIN_MARKER, sizeof(TAGSMITH_PLAIN_MARKER) - 1,
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
    for (std::size_t i = 0; i < before && reached; ++i)
      reached = StepBack(&start);
    if (reached && MatchAt(start, marker)) return true;
  }
  return false;
}

}  // namespace

bool CarriesMarker(const ChainCursor& from, const char* marker) {
  const std::size_t length = std::strlen(marker);
  const auto first = FoldCase(static_cast<unsigned char>(marker[0]));
  const auto last = FoldCase(static_cast<unsigned char>(marker[length - 1]));
  const ChunkNode* node = from.node;
  const char* begin = from.pos;
  while (node != nullptr) {
    const char* end = node->data + node->length;
    // Wholly in this record: found by its first and last bytes.
    const char* p = begin;
    if (static_cast<std::size_t>(end - begin) >= length) {
      for (; (p = FindFoldedPair(p, end, first, last, length - 1)); ++p) {
        if (MatchAt({node, p}, marker)) return true;
      }
      p = end - (length - 1);
    }
    // Running on into the next records.
    for (; p < end; ++p) {
      if (FoldCase(static_cast<unsigned char>(*p)) == first &&
          MatchAt({node, p}, marker)) {
        return true;
      }
    }
    node = NextWithBytes(node);
    if (node != nullptr) begin = node->data;
  }
  return false;
}

bool CarriesTrackingScript(const ChainCursor& from) {
  const ChunkNode* node = from.node;
  const char* begin = from.pos;
  while (node != nullptr) {
    const char* end = node->data + node->length;
    // Candidates lying wholly in this record, found a vector at a time.
    for (const char* p = begin;
         (p = FindFoldedPair(p, end, kTailFirst, kTailLast, kTailLength - 1));
         ++p) {
      if (MatchesInRecord(p, kTailText) && MarkerEndsWith({node, p}))
        return true;
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
