// Watches a plain page's body as its chunks are copied into the response's
// chain, for an existing tracking script: the pass that copies a chunk
// also looks for the markers' common tail (marker_tail.h) in the copy while
// its bytes are at hand, carries a tail begun before a seam into the next
// copy, and tries a whole marker, stepping back into the chain, only where
// the tail occurs. So the end of the request knows whether the page
// carries the script without reading the body again.
//
// The copy of each piece finds, as it goes, the places of both searches'
// pairs (pair_places.h), so that the watch reads only those few places of
// the piece. Small copies, and pieces the copier did not see, are watched a
// record's worth at a time, while the record is still at hand, with one
// pass for both pairs.
//
// The watch is a few words the caller keeps between chunks (in the page's
// KeptPage); it points at the chain's bytes not yet watched, which live as
// long as the chain. It reads the chain's bytes only during the calls.
#ifndef TAGSMITH_TAGGING_BODY_WATCH_H_
#define TAGSMITH_TAGGING_BODY_WATCH_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "buffer/response_chain.h"
#include "tagging/body_tag_watch.h"

struct BodyWatch {
  bool on;     // the body is watched; otherwise nothing is known of it
  bool found;  // a marker begins in the bytes watched so far
  // Bit k: the last k + 1 bytes watched fold equal to the tail's first
  // k + 1 (a tail that may go on in the next bytes).
  std::uint64_t begun;
  // Copied bytes not watched yet: [from, from + waiting) in `node`.
  const ChunkNode* node;
  const char* from;
  std::uint32_t waiting;
  // The waiting bytes hold no byte of the pair filter's last test and no
  // closing body tag's first letter, as their copies found (false when
  // unknown).
  bool clear;
  // What CopyWatched found of the last copy, for the note that follows it.
  bool copyClear;
  // The closing body tags' places; complete while `on` and not `found`.
  BodyTagWatch tags = {};
  // The pairs' places CopyWatched found in the last copy, [copyTo, copyTo +
  // copyCount) (copyTo null when it found none).
  const char* copyTo = nullptr;
  std::uint32_t copyCount = 0;
  PairPlaces copyPlaces = {};
  // Large copies still to find places before one tests for the letters.
  std::uint8_t placedLeft = 0;
};

// Starts watching a page held from the start of its body: the chain's
// bytes from `from` to its end are watched as one copy.
// REQUIRES: `from` stands on a byte of the open chain.
void StartBodyWatch(BodyWatch* watch, const ChainCursor& from);

// Watches `count` bytes at `bytes`, just copied into `node`, which are the
// next bytes of the body. Nothing once a marker is found or when off.
// With `clear`, the bytes are known to hold no byte of the pair filter's
// last test nor the closing body tag's first letter, and only tails and
// names across their ends are looked for. With `places` (of the tail's
// pair and of the name's, found in these bytes), only those are tried.
// REQUIRES: `node` is linked in the chain and holds [bytes, bytes + count);
// `places`, when given, hold every place in them.
void WatchCopied(BodyWatch* watch, const ChunkNode* node, const char* bytes,
                 std::uint32_t count, bool clear = false,
                 const PairPlaces* places = nullptr);

// The copier AppendChunk takes with the note: copies the bytes and finds
// on the way the places of the tail's pair and of the closing body tag's
// name (or, for a small copy, whether it holds the last byte of the one or
// the first letter of the other), so that the note after it reads only
// those places.
void CopyWatched(void* context, char* to, const char* from,
                 std::uint32_t count);

// The copier note AppendChunk takes (buffer/response_chain.h): `context` is
// the BodyWatch. Watches at once, or keeps the bytes waiting while they
// continue the waiting ones in the same record and are less than a
// record's worth. A piece whose copy found every place is watched at once.
void NoteCopied(void* context, const ChunkNode* node, const char* bytes,
                std::uint32_t count);

// Watches the bytes still waiting: `found` then covers every byte noted.
void FinishBodyWatch(BodyWatch* watch);

// The last closing body tag whose "<" is `from` or after it, as
// FindLastClosingBodyTag finds it in the chain ending with `last`: from the
// places the watch noted when it saw the whole body, else by that search.
// REQUIRES: FinishBodyWatch was called; `from` is the body's first byte
// when the watch is on.
bool FindWatchedClosingBodyTag(const BodyWatch& watch, const ChunkNode* last,
                               const ChainCursor& from, ChainCursor* tag);

#endif  // TAGSMITH_TAGGING_BODY_WATCH_H_
