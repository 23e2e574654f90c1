// Notes a plain page's closing body tags as its body is watched while
// copied (body_watch.h), so that the end of the request confirms the last
// few places noted instead of searching the body from its end.
//
// A place is noted where the copied bytes hold "body" in any case with
// "<", white space, "/" and white space before it, after the body's first
// byte; what follows it ("white space, >") is confirmed at the end, when
// every byte is there. The record is a few words inside the BodyWatch; it
// points into the chain's bytes, which live as long as the chain, and
// reads them only during the calls.
#ifndef TAGSMITH_TAGGING_BODY_TAG_WATCH_H_
#define TAGSMITH_TAGGING_BODY_TAG_WATCH_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"
#include "tagging/pair_places.h"

// The tag's name (folded), found by its first and last letters; the copy
// tests for the first, the rarer in text.
inline constexpr char kBodyName[] = "BODY";
inline constexpr std::uint32_t kBodyNameLength = 4;
inline constexpr unsigned char kBodyNameFirst = 'B';
inline constexpr unsigned char kBodyNameLast = 'Y';

struct BodyTagWatch {
  static constexpr std::uint32_t kKept = 4;
  // The byte before the body's first: a tag's "<" lies after it.
  ChainCursor start;
  // Bit k: the last k + 1 bytes watched fold equal to "BOD"'s first k + 1.
  std::uint32_t begun;
  // The "<" of the last places noted, place `noted - 1` at
  // `kept[(noted - 1) % kKept]`.
  ChainCursor kept[kKept];
  std::uint32_t noted;
};

// Starts noting the bytes after `start`.
void StartBodyTagWatch(BodyTagWatch* watch, const ChainCursor& start);

// Notes the places in `count` bytes at `bytes` of `node`, the next bytes
// of the body, and those that the bytes before them begin. With `clear`
// the bytes are known to hold no "b" or "B" (the name's rarest letter in
// text), so that only the names begun before them are looked at. With
// `places` (their `other` pair the name's first and last letters, found in
// these bytes), only those places are looked at for names wholly in them.
// REQUIRES: `node` is linked in the chain and holds [bytes, bytes + count);
// `places`, when given, hold every place in them.
void WatchForBodyTag(BodyTagWatch* watch, const ChunkNode* node,
                     const char* bytes, std::uint32_t count, bool clear,
                     const PairPlaces* places = nullptr);

enum class NotedTag {
  kFound,   // `tag` stands on the last closing body tag's "<"
  kNone,    // the watched bytes hold no closing body tag
  kUnsure,  // more places were noted than kept, and none kept is a tag
};

// Confirms the places noted, last first, once every byte of the body has
// been watched.
NotedTag LastNotedBodyTag(const BodyTagWatch& watch, ChainCursor* tag);

#endif  // TAGSMITH_TAGGING_BODY_TAG_WATCH_H_
