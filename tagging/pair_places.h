// Finds, in one pass over a run of bytes (while copying them, or alone), the
// places of two folded pairs at once: the positions whose byte folds to a
// pair's first character and whose byte the pair's distance on folds to its
// last, as FindFoldedPair finds them one at a time. The places are kept as
// the few 64-position blocks that hold any, so that a watch reads a page's
// bytes once for both its searches. Reads only [from, from + count), writes
// only [to, to + count) and the caller's PairPlaces.
#ifndef TAGSMITH_TAGGING_PAIR_PLACES_H_
#define TAGSMITH_TAGGING_PAIR_PLACES_H_

#include <cstddef>
#include <cstdint>

#include "tagging/pair_search.h"

// `first` and `last` are folded (capital) letters, `last` standing
// `distance` bytes after `first`.
struct FoldedPair {
  unsigned char first;
  unsigned char last;
  std::uint32_t distance;
};
inline constexpr std::uint32_t kMostPairDistance = 63;

struct PairPlaces {
  static constexpr std::uint32_t kKept = 16;
  // Blocks that hold a place of either pair; only the first kKept are kept.
  std::uint32_t blocks;
  // Block i covers the positions at[i] to at[i] + 63 of the run: bit k of
  // one[i] (other[i]) is set when position at[i] + k holds the first
  // (second) pair. Blocks ascend.
  std::uint32_t at[kKept];
  std::uint64_t one[kKept];
  std::uint64_t other[kKept];
};

// True when every place is kept.
inline bool AllKept(const PairPlaces& places) {
  return places.blocks <= PairPlaces::kKept;
}

// Copies `count` bytes from `from` to `to` (not overlapping; with `to` null
// copies nothing) and notes the places in them of `one` and `other`: the
// positions p in [0, count - distance) of each.
// REQUIRES: both distances are 1 to kMostPairDistance; the pairs' bytes
// are letters.
void FindPairPlaces(char* to, const char* from, std::size_t count,
                    FoldedPair one, FoldedPair other, PairPlaces* places);

// The same with a chosen implementation, for tests; false when this build
// or processor has none of that kind.
bool FindPairPlacesWith(PairSearchKind kind, char* to, const char* from,
                        std::size_t count, FoldedPair one, FoldedPair other,
                        PairPlaces* places);

#endif  // TAGSMITH_TAGGING_PAIR_PLACES_H_
