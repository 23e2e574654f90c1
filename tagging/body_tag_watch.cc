#include "tagging/body_tag_watch.h"

#include <cassert>

#include "tagging/pair_search.h"

namespace {

constexpr const char* kName = kBodyName;  // folded
constexpr std::uint32_t kNameLength = kBodyNameLength;
constexpr std::uint32_t kWhole = 1u << (kNameLength - 1);

// For each byte, the offsets in kName that hold it under folding.
struct NameOffsets {
  std::uint8_t of[256];
};

constexpr NameOffsets MakeNameOffsets() {
  NameOffsets offsets{};
  for (int c = 0; c < 256; ++c) {
    for (std::uint32_t i = 0; i < kNameLength; ++i) {
      if (static_cast<unsigned char>(kName[i]) ==
          FoldCase(static_cast<unsigned char>(c))) {
        offsets.of[c] |= static_cast<std::uint8_t>(1u << i);
      }
    }
  }
  return offsets;
}

constexpr NameOffsets kNameOffsets = MakeNameOffsets();

std::uint32_t OffsetsOf(char c) {
  return kNameOffsets.of[static_cast<unsigned char>(c)];
}

bool Same(const ChainCursor& a, const ChainCursor& b) {
  return a.node == b.node && a.pos == b.pos;
}

// Steps back from the byte before `at` over white space; false when that
// would reach the watch's start, which is no byte of a tag.
bool BackOverSpace(const BodyTagWatch& watch, ChainCursor* at) {
  do {
    if (!StepBack(at) || Same(*at, watch.start)) return false;
  } while (IsWhiteSpace(ByteAt(*at)));
  return true;
}

// Notes the place whose name begins at `name` when "<", white space, "/"
// and white space stand before it.
void NotePlace(BodyTagWatch* watch, ChainCursor name) {
  if (!BackOverSpace(*watch, &name) || ByteAt(name) != '/') return;
  if (!BackOverSpace(*watch, &name) || ByteAt(name) != '<') return;
  watch->kept[watch->noted % BodyTagWatch::kKept] = name;
  ++watch->noted;
}

// Notes the name that ends at `last`, its first byte kNameLength - 1
// bytes back.
void NoteEndingAt(BodyTagWatch* watch, const ChunkNode* node,
                  const char* last) {
  ChainCursor name{node, last};
  for (std::uint32_t i = 1; i < kNameLength; ++i) {
    if (!StepBack(&name)) return;
  }
  NotePlace(watch, name);
}

bool NameAt(const char* p) {
  for (std::uint32_t i = 0; i < kNameLength; ++i) {
    if (FoldCase(static_cast<unsigned char>(p[i])) !=
        static_cast<unsigned char>(kName[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

void StartBodyTagWatch(BodyTagWatch* watch, const ChainCursor& start) {
  *watch = BodyTagWatch{};
  watch->start = start;
}

void WatchForBodyTag(BodyTagWatch* watch, const ChunkNode* node,
                     const char* bytes, std::uint32_t count, bool clear,
                     const PairPlaces* places) {
  assert(bytes >= node->data && bytes + count <= node->data + node->length);
  assert(places == nullptr || AllKept(*places));
  const char* const end = bytes + count;
  if (count < 2 * kNameLength) {
    // Short: shift-and over all of it, carrying and starting names.
    std::uint32_t begun = watch->begun;
    for (const char* p = bytes; p < end; ++p) {
      begun = ((begun << 1) | 1) & OffsetsOf(*p);
      if ((begun & kWhole) != 0) NoteEndingAt(watch, node, p);
      begun &= ~kWhole;
    }
    watch->begun = begun;
    return;
  }
  // Names begun before these bytes, ending in their first bytes.
  std::uint32_t begun = watch->begun;
  for (const char* p = bytes; begun != 0; ++p) {
    begun = (begun << 1) & OffsetsOf(*p);
    if ((begun & kWhole) != 0) NoteEndingAt(watch, node, p);
    begun &= ~kWhole;
  }
  // Names wholly in these bytes, by their first and last letters: a "b"
  // alone is common in text ("be", "about", "<br>") and each one would
  // stop the vector search, while a "b" with a "y" three bytes on is rare.
  if (places != nullptr) {
    for (std::uint32_t i = 0; !clear && i < places->blocks; ++i) {
      for (std::uint64_t at = places->other[i]; at != 0; at &= at - 1) {
        const char* p = bytes + places->at[i] + __builtin_ctzll(at);
        if (NameAt(p)) NotePlace(watch, {node, p});
      }
    }
    clear = true;
  }
  for (const char* p = clear ? nullptr : bytes;
       p != nullptr && (p = FindFoldedPair(p, end, kBodyNameFirst,
                                           kBodyNameLast, kNameLength - 1));
       ++p) {
    if (NameAt(p)) NotePlace(watch, {node, p});
  }
  // Names begun in the last bytes, for the next ones: only where the last
  // byte is one of the name's.
  begun = 0;
  if (OffsetsOf(end[-1]) != 0) {
    for (const char* p = end - (kNameLength - 1); p < end; ++p) {
      begun = ((begun << 1) | 1) & OffsetsOf(*p);
    }
  }
  watch->begun = begun & (kWhole - 1);
}

NotedTag LastNotedBodyTag(const BodyTagWatch& watch, ChainCursor* tag) {
  const std::uint32_t kept =
      watch.noted < BodyTagWatch::kKept ? watch.noted : BodyTagWatch::kKept;
  for (std::uint32_t i = 1; i <= kept; ++i) {
    const ChainCursor& at = watch.kept[(watch.noted - i) % BodyTagWatch::kKept];
    if (MatchClosingTag(at, "body")) {
      *tag = at;
      return NotedTag::kFound;
    }
  }
  return watch.noted > kept ? NotedTag::kUnsure : NotedTag::kNone;
}
