#include "tagging/body_watch.h"

#include <cassert>
#include <cstring>

#include "tagging/duplicate_check.h"
#include "tagging/marker_tail.h"
#include "tagging/pair_search.h"
#include "tagging/tracking_block.h"

namespace {

constexpr std::uint64_t kWhole = std::uint64_t{1} << (kTailLength - 1);
// One test in the copy serves both searches (CopyFindingEitherFolded).
constexpr unsigned kDiffer = kPairLast ^ kBodyNameFirst;
static_assert(kDiffer != 0 && (kDiffer & (kDiffer - 1)) == 0,
              "the two letters differ in one bit");

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
                 std::uint32_t count, bool clear) {
  assert(bytes >= node->data && bytes + count <= node->data + node->length);
  if (!watch->on || watch->found || count == 0) return;
  WatchForBodyTag(&watch->tags, node, bytes, count, clear);
  const char* end = bytes + count;
  if (count < kTailLength - 1) {
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
  if (FinishBegun(watch->begun, node, bytes, end)) {
    watch->found = true;
    return;
  }
  // Tails wholly in these bytes, found a vector at a time by the filter's
  // bytes: p is the tail's byte kPairAt. Bytes without the last of them
  // hold none.
  const char* const pairEnd = end - (kTailLength - 1 - kPairTo);
  for (const char* p = clear ? nullptr : bytes + kPairAt;
       p != nullptr && (p = FindFoldedPair(p, pairEnd, kPairFirst, kPairLast,
                                           kPairTo - kPairAt));
       ++p) {
    if (MarkerEndsWithTailAt({node, p - kPairAt})) {
      watch->found = true;
      return;
    }
  }
  assert(count >= kTailLength - 1);
  watch->begun = BegunAtEnd(end);
}

void NoteCopied(void* context, const ChunkNode* node, const char* bytes,
                std::uint32_t count) {
  constexpr std::uint32_t kBatch = 4096;
  auto* watch = static_cast<BodyWatch*>(context);
  const bool clear = watch->copyClear;
  watch->copyClear = false;
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
  if (!watch->on || watch->found) {
    std::memcpy(to, from, count);
    watch->copyClear = false;
    return;
  }
  watch->copyClear =
      !CopyFindingEitherFolded(to, from, count, kPairLast, kBodyNameFirst);
}
