// The text both existing-script markers end in (the part of the hosts they
// share, the script's path and the closing quote), for the searches that
// look for it first and try a whole marker only where it occurs. Constants
// only.
#ifndef TAGSMITH_TAGGING_MARKER_TAIL_H_
#define TAGSMITH_TAGGING_MARKER_TAIL_H_

#include <cstddef>
#include <cstdint>

#include "buffer/chain_cursor.h"
#include "tagging/script_hosts.h"

#define TAGSMITH_PLAIN_MARKER \
  "<script src=\"http://" TAGSMITH_PLAIN_HOST "/urchin.js\""
#define TAGSMITH_SECURE_MARKER \
  "<script src=\"https://" TAGSMITH_SECURE_HOST "/urchin.js\""

inline constexpr std::size_t CommonTailLength(const char* a,
                                              std::size_t aLength,
                                              const char* b,
                                              std::size_t bLength) {
  std::size_t n = 0;
  while (n < aLength && n < bLength &&
         a[aLength - 1 - n] == b[bLength - 1 - n]) {
    ++n;
  }
  return n;
}

inline constexpr std::size_t kTailLength = CommonTailLength(
    TAGSMITH_PLAIN_MARKER, sizeof(TAGSMITH_PLAIN_MARKER) - 1,
    TAGSMITH_SECURE_MARKER, sizeof(TAGSMITH_SECURE_MARKER) - 1);
static_assert(kTailLength >= 2, "the markers share their closing text");
inline constexpr const char* kTailText =
    &TAGSMITH_PLAIN_MARKER[sizeof(TAGSMITH_PLAIN_MARKER) - 1 - kTailLength];
// The vector filter tests two of the tail's bytes that seldom stand at
// their distance in a page: the first "g" of the host and the "j" of the
// script's name. '.' and '"', its ends, are common in markup.
inline constexpr std::size_t TailIndexOf(char c) {
  std::size_t i = 0;
  while (i < kTailLength && kTailText[i] != c) ++i;
  return i;
}
inline constexpr std::size_t kPairAt = TailIndexOf('g');
inline constexpr std::size_t kPairTo = TailIndexOf('j');
static_assert(kPairAt < kPairTo && kPairTo < kTailLength,
              "the tail holds both bytes of the filter, in that order");
inline constexpr unsigned char kPairFirst =
    FoldCase(static_cast<unsigned char>(kTailText[kPairAt]));
inline constexpr unsigned char kPairLast =
    FoldCase(static_cast<unsigned char>(kTailText[kPairTo]));

// For each folded byte, the offsets in the common tail that hold it.
struct TailOffsets {
  std::uint64_t of[256];
};

inline constexpr TailOffsets MakeTailOffsets() {
  TailOffsets offsets{};
  for (std::size_t i = 0; i < kTailLength; ++i) {
    offsets.of[FoldCase(static_cast<unsigned char>(kTailText[i]))] |=
        std::uint64_t{1} << i;
  }
  return offsets;
}

static_assert(kTailLength <= 64, "the tail's offsets fit one word");
inline constexpr TailOffsets kTailOffsets = MakeTailOffsets();

#endif  // TAGSMITH_TAGGING_MARKER_TAIL_H_
