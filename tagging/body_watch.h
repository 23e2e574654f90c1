// Watches a plain page's body as its chunks are copied into the response's
// chain, for an existing tracking script: the pass that copies a chunk
// also looks for the markers' common tail (marker_tail.h) in the copy while
// its bytes are at hand, carries a tail begun before a seam into the next
// copy, and tries a whole marker, stepping back into the chain, only where
// the tail occurs. So the end of the request knows whether the page
// carries the script without reading the body again.
//
// Small copies are watched a record's worth at a time, while the record
// is still at hand, so that a page sent in small chunks does not pay the
// search's set-up for each.
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
};

// Starts watching a page held from the start of its body: the chain's
// bytes from `from` to its end are watched as one copy.
// REQUIRES: `from` stands on a byte of the open chain.
void StartBodyWatch(BodyWatch* watch, const ChainCursor& from);

// Watches `count` bytes at `bytes`, just copied into `node`, which are the
// next bytes of the body. Nothing once a marker is found or when off.
// With `clear`, the bytes are known to hold no byte of the pair filter's
// last test nor the closing body tag's first letter, and only tails and
// names across their ends are looked for.
// REQUIRES: `node` is linked in the chain and holds [bytes, bytes + count).
void WatchCopied(BodyWatch* watch, const ChunkNode* node, const char* bytes,
                 std::uint32_t count, bool clear = false);

// The copier AppendChunk takes with the note: copies the bytes and tests
// them on the way for the pair filter's last byte and the closing body
// tag's first letter (one test serves both), so that the note after it may
// skip the searches of bytes that cannot hold a tail or a tag's name.
void CopyWatched(void* context, char* to, const char* from,
                 std::uint32_t count);

// The copier note AppendChunk takes (buffer/response_chain.h): `context` is
// the BodyWatch. Watches at once, or keeps the bytes waiting while they
// continue the waiting ones in the same record and are less than a
// record's worth.
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
