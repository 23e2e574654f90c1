#include "tagging/duplicate_check.h"

#include <cstring>

#include "tagging/marker_tail.h"
#include "tagging/pair_search.h"

const char kPlainScriptMarker[] = TAGSMITH_PLAIN_MARKER;
const char kSecureScriptMarker[] = TAGSMITH_SECURE_MARKER;

namespace {

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

bool MarkerEndsWithTailAt(const ChainCursor& tail) {
  return MatchAt(tail, kTailText) && MarkerEndsWith(tail);
}

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
    node = NextRecordWithBytes(node);
    if (node != nullptr) begin = node->data;
  }
  return false;
}

bool CarriesTrackingScript(const ChainCursor& from) {
  const ChunkNode* node = from.node;
  const char* begin = from.pos;
  while (node != nullptr) {
    const char* end = node->data + node->length;
    // Candidates lying wholly in this record, found a vector at a time by
    // the filter's two bytes: p is the tail's byte kPairAt.
    if (static_cast<std::size_t>(end - begin) >= kTailLength) {
      const char* const pairEnd = end - (kTailLength - 1 - kPairTo);
      for (const char* p = begin + kPairAt;
           (p = FindFoldedPair(p, pairEnd, kPairFirst, kPairLast,
                               kPairTo - kPairAt));
           ++p) {
        if (MatchesInRecord(p - kPairAt, kTailText) &&
            MarkerEndsWith({node, p - kPairAt}))
          return true;
      }
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
      if (MarkerEndsWithTailAt(at)) return true;
    }
    node = NextRecordWithBytes(node);
    if (node != nullptr) begin = node->data;
  }
  return false;
}
