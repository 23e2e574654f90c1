#include "tagging/body_watch.h"

#include <cassert>
#include <cstring>

#include "tagging/duplicate_check.h"
#include "tagging/marker_tail.h"
#include "tagging/pair_places.h"
#include "tagging/pair_search.h"
#include "tagging/tracking_block.h"

namespace {

constexpr std::uint64_t kWhole = std::uint64_t{1} << (kTailLength - 1);
// One test in the copy serves both searches (CopyFindingEitherFolded).
constexpr unsigned kDiffer = kPairLast ^ kBodyNameFirst;
static_assert(kDiffer != 0 && (kDiffer & (kDiffer - 1)) == 0,
              "the two letters differ in one bit");
// The two pairs found in one pass: the tail's and the tag name's first and
// last letters.
constexpr FoldedPair kTailPair{kPairFirst, kPairLast, kPairTo - kPairAt};
constexpr FoldedPair kNamePair{kBodyNameFirst, kBodyNameLast,
                               kBodyNameLength - 1};
// Copies from this size on may find the pairs' places; smaller ones only
// test for the two letters, and are watched in batches (the places' set-up
// costs more than the batch's one pass).
constexpr std::uint32_t kPlacedCopy = 1024;
// Finding places costs more than the test for the letters, and pays only
// where the letters are common (text). So a copy that found a letter makes
// this many copies after it find places, then a copy tests again.
constexpr std::uint8_t kPlacedRun = 8;
static_assert(kPlacedCopy >= kTailLength - 1, "a placed copy holds a tail");

std::uint64_t OffsetsOf(char c) {
  return kTailOffsets.of[FoldCase(static_cast<unsigned char>(c))];
}

// True when a marker ends with the tail whose last byte is at `last`.
bool MarkerEndsAt(const ChunkNode* node, const char* last) {
  ChainCursor start{node, last};
  for (std::size_t i = 1; i < kTailLength; ++i) {
    if (!StepBack(&start)) return false;
  }
  return MarkerEndsWithTailAt(start);
}

// Runs the tails begun before `bytes` on through them (shift-and over the
// tail's offsets), starting no new one; true when one of them completes a
// marker. Stops once none is left, at most kTailLength bytes in.
bool FinishBegun(std::uint64_t begun, const ChunkNode* node, const char* bytes,
                 const char* end) {
  for (const char* p = bytes; begun != 0 && p < end; ++p) {
    begun = (begun << 1) & OffsetsOf(*p);
    if ((begun & kWhole) != 0) {
      if (MarkerEndsAt(node, p)) return true;
      begun &= ~kWhole;
    }
  }
  return false;
}

// The tails begun in the last kTailLength - 1 bytes before `end`, which
// are all watched bytes: only offsets where the tail has the last byte can
// have begun, and each is tried from its first byte.
std::uint64_t BegunAtEnd(const char* end) {
  std::uint64_t begun = 0;
  for (std::uint64_t offsets = OffsetsOf(end[-1]) & (kWhole - 1); offsets != 0;
       offsets &= offsets - 1) {
    const int k = __builtin_ctzll(offsets);
    const char* start = end - 1 - k;
    int i = 0;
    while (i < k && FoldCase(static_cast<unsigned char>(start[i])) ==
                        FoldCase(static_cast<unsigned char>(kTailText[i]))) {
      ++i;
    }
    if (i == k) begun |= std::uint64_t{1} << k;
  }
  return begun;
}

}  // namespace

void StartBodyWatch(BodyWatch* watch, const ChainCursor& from) {
  assert(HasByte(from));
  *watch = BodyWatch{true, false, 0, nullptr, nullptr, 0, false, false};
  StartBodyTagWatch(&watch->tags, from);
  for (const ChunkNode* node = from.node; node != nullptr;
       node = NextRecordWithBytes(node)) {
    const char* at = node == from.node ? from.pos : node->data;
    const char* end = node->data + node->length;
    WatchCopied(watch, node, at, static_cast<std::uint32_t>(end - at));
  }
}

void WatchCopied(BodyWatch* watch, const ChunkNode* node, const char* bytes,
                 std::uint32_t count, bool clear, const PairPlaces* places) {
  assert(bytes >= node->data && bytes + count <= node->data + node->length);
  if (!watch->on || watch->found || count == 0) return;
  const char* end = bytes + count;
  if (count < kTailLength - 1) {
    WatchForBodyTag(&watch->tags, node, bytes, count, clear);
    // Too short to hold a tail or to end one begun in it: shift-and over
    // all of it, carrying and starting tails.
    std::uint64_t begun = watch->begun;
    for (const char* p = bytes; p < end; ++p) {
      begun = ((begun << 1) | 1) & OffsetsOf(*p);
      if ((begun & kWhole) != 0 && MarkerEndsAt(node, p)) {
        watch->found = true;
        return;
      }
      begun &= ~kWhole;
    }
    watch->begun = begun;
    return;
  }
  // Both pairs' places in one pass over the bytes, unless the copy found
  // them or they cannot hold any.
  PairPlaces found;
  if (places == nullptr && !clear) {
    FindPairPlaces(nullptr, bytes, count, kTailPair, kNamePair, &found);
    places = &found;
  }
  if (places != nullptr && !AllKept(*places)) places = nullptr;
  WatchForBodyTag(&watch->tags, node, bytes, count, clear, places);
  if (FinishBegun(watch->begun, node, bytes, end)) {
    watch->found = true;
    return;
  }
  // Tails wholly in these bytes, found by the filter's bytes: p is the
  // tail's byte kPairAt. Bytes without the last of them hold none.
  const char* const pairEnd = end - (kTailLength - 1 - kPairTo);
  if (places != nullptr) {
    for (std::uint32_t i = 0; !clear && i < places->blocks; ++i) {
      for (std::uint64_t at = places->one[i]; at != 0; at &= at - 1) {
        const char* p = bytes + places->at[i] + __builtin_ctzll(at);
        if (p >= bytes + kPairAt && p + (kPairTo - kPairAt) < pairEnd &&
            MarkerEndsWithTailAt({node, p - kPairAt})) {
          watch->found = true;
          return;
        }
      }
    }
  } else {
    // More places than are kept: the two searches, one after the other.
    for (const char* p = clear ? nullptr : bytes + kPairAt;
         p != nullptr && (p = FindFoldedPair(p, pairEnd, kPairFirst, kPairLast,
                                             kPairTo - kPairAt));
         ++p) {
      if (MarkerEndsWithTailAt({node, p - kPairAt})) {
        watch->found = true;
        return;
      }
    }
  }
  watch->begun = BegunAtEnd(end);
}

void NoteCopied(void* context, const ChunkNode* node, const char* bytes,
                std::uint32_t count) {
  constexpr std::uint32_t kBatch = 4096;
  auto* watch = static_cast<BodyWatch*>(context);
  const bool clear = watch->copyClear;
  const bool placed = watch->copyTo == bytes && watch->copyCount == count;
  watch->copyClear = false;
  watch->copyTo = nullptr;
  if (placed && AllKept(watch->copyPlaces)) {
    FinishBodyWatch(watch);
    WatchCopied(watch, node, bytes, count, false, &watch->copyPlaces);
    return;
  }
  if (watch->node == node && watch->from + watch->waiting == bytes) {
    watch->waiting += count;
    watch->clear = watch->clear && clear;
  } else {
    FinishBodyWatch(watch);
    watch->node = node;
    watch->from = bytes;
    watch->waiting = count;
    watch->clear = clear;
  }
  if (watch->waiting >= kBatch) FinishBodyWatch(watch);
}

void FinishBodyWatch(BodyWatch* watch) {
  if (watch->waiting == 0) return;
  const std::uint32_t count = watch->waiting;
  watch->waiting = 0;
  WatchCopied(watch, watch->node, watch->from, count, watch->clear);
  watch->node = nullptr;
}

bool FindWatchedClosingBodyTag(const BodyWatch& watch, const ChunkNode* last,
                               const ChainCursor& from, ChainCursor* tag) {
  assert(watch.waiting == 0);
  if (watch.on && !watch.found) {
    const NotedTag noted = LastNotedBodyTag(watch.tags, tag);
    if (noted != NotedTag::kUnsure) return noted == NotedTag::kFound;
    // A forward pass over the same bytes would note the same places and be
    // as unsure, and the bounded read-back is the start of the full one.
    return SearchBackForClosingBodyTag(last, from, tag);
  }
  return FindLastClosingBodyTag(last, from, tag);
}

void CopyWatched(void* context, char* to, const char* from,
                 std::uint32_t count) {
  auto* watch = static_cast<BodyWatch*>(context);
  watch->copyTo = nullptr;
  if (!watch->on || watch->found) {
    std::memcpy(to, from, count);
    watch->copyClear = false;
    return;
  }
  if (count >= kPlacedCopy && watch->placedLeft > 0) {
    --watch->placedLeft;
    FindPairPlaces(to, from, count, kTailPair, kNamePair, &watch->copyPlaces);
    watch->copyTo = to;
    watch->copyCount = count;
    watch->copyClear = false;
    return;
  }
  watch->copyClear =
      !CopyFindingEitherFolded(to, from, count, kPairLast, kBodyNameFirst);
  if (count >= kPlacedCopy && !watch->copyClear) watch->placedLeft = kPlacedRun;
}
