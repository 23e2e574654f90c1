// The response chain: the chunks of one outgoing response, held back in
// send order as a doubly linked list of records until the end of the
// request, or until the filter lets the response go early (it will not be
// tagged, or it has grown past what one response may hold); after that the
// rest of the response passes untouched.
//
// Ownership: the `ResponseChain` record, the `ChunkNode`s appended here and
// the blocks of bytes they hold (each record at the start of its own
// block) come from the server's per-request allocator (AllocMem) and are
// never freed by the filter; the server reclaims them when the request
// ends. Records spliced in during the end-of-request pass live in that
// call's frame and point at fixed texts, frame buffers or into the bytes
// of existing records; the chain is flushed before that call returns and
// is never walked again afterwards.
#ifndef TAGSMITH_BUFFER_RESPONSE_CHAIN_H_
#define TAGSMITH_BUFFER_RESPONSE_CHAIN_H_

#include <cassert>
#include <cstdint>

#include "isapi/isapi.h"

// One buffered chunk or spliced piece of the response.
struct ChunkNode {
  // The record before; null in the head of an open chain, the head itself
  // once the chain is closed (the only record that ever points at itself).
  ChunkNode* prev;
  ChunkNode* next;   // null in the last record
  const char* data;  // may be null: a record with nothing to send
  std::uint32_t length;
};

enum class ChainState : std::uint32_t {
  // Chunks are withheld and appended.
  kBuffering,
  // Nothing more is held: the chain was flushed, or a chunk could not be
  // buffered and everything held went out. Raw data passes untouched.
  kPassing,
};

// The most bytes of one response that are held: past this, what is held
// goes out and the rest passes untagged. A page this large is no page a
// person reads, and on the web server the memory stays taken until the
// connection closes.
inline constexpr std::uint64_t kMaxHeldBytes = std::uint64_t{64} << 20;

// What one response holds: the chain record, the records with their
// blocks, and the end-of-request view of its chunk framing (taken from
// the process heap, tagging/chunk_framing.h) together stay within twice
// its bytes plus kHeldMemorySlack, whatever the size of its chunks.
// Appending keeps within it by itself: a chunk goes first into the room
// left in the last record's block, and a new block has room for at most
// as many bytes as are held already (the chunk's rest, and after it about
// a sixteenth of them, within kRecordRoom and kLargestRecordRoom: see
// below), so every block but the last is full and a record stands for at
// least kRecordRoom bytes once the chain is longer.
// The end of the request asks TakeHeldMemory before it takes more, and a
// response that would pass the bound goes out untagged and whole. A
// decoded page is not part of it: kMaxDecodedPage bounds that.
inline constexpr std::uint64_t kHeldMemorySlack = 16 * 1024;

// What the headers decided for a page held to its end; the tagging layer's
// record, opaque here.
struct KeptPage;

// What the filter-context slot holds for one response.
struct ResponseChain {
  ChunkNode* head;  // null only until the first chunk is held
  ChunkNode* tail;  // the last record, so that appending costs O(1)
  ChainState state;
  std::uint64_t heldBytes;   // response bytes copied into the chain
  std::uint64_t heldMemory;  // what holding them takes (see above)
  char* room;                // the free bytes after the tail's, in its block
  std::uint32_t roomLeft;
  // How far the filter has seen the header block arrive (its watch's
  // state, tagging/header_block.h); 0 when the chain is made. The chain
  // only keeps it.
  std::uint32_t headerWatch;
  // Set once the headers of a page held to its end are judged (an AllocMem
  // block, counted in heldMemory); null until then.
  KeptPage* kept;
};

// The bytes a new block has room for after the chunk (or the rest of one)
// that opens it: about a sixteenth of the bytes held, from 4 KiB less its
// record to 64 KiB less its record, as a whole number of chunks of that
// chunk's size (the nearest), and never more than is held. A long page
// then takes few blocks (few calls to the server's allocator, few records
// to walk and to send), chunks of one size are never split over two
// records, and the room the last block may leave unused stays within
// 4 KiB or a sixteenth of the page (and half a chunk), so the end of the
// request keeps its share of the bound above.
inline constexpr std::uint32_t kRecordRoom = 4096 - sizeof(ChunkNode);
inline constexpr std::uint32_t kLargestRecordRoom = 65536 - sizeof(ChunkNode);

// What became of a chunk given to AppendChunk.
enum class AppendResult {
  kHeld,      // copied to the end of the chain (a zero-byte one: nothing)
  kPassing,   // the response is not held: the chunk passes untouched
  kTooLarge,  // it would take the chain past kMaxHeldBytes: not held
  kRefused,   // memory for it was refused: not held
};

// Handles one SF_NOTIFY_SEND_RAW_DATA: copies the chunk to the end of the
// response's chain (into the last record's block as far as it has room,
// so that small chunks share a record) and sets raw->cbInData to 0 so that
// nothing reaches the client yet. A chunk of zero bytes is not recorded. Once
// the chain is passing (or the response was let go, or not even the chain
// record could be had), chunks pass untouched. For kTooLarge and kRefused the
// chain and the chunk are as they were: the caller lets the response go
// (LetResponseGo writes what is held), and the chunk follows untouched.
// With `copied`, copied.note(copied.context, record, bytes, count) is called
// for each piece of the chunk once it is copied and linked, in order, so
// that a watch reads the bytes while they are at hand. With `copy`, each
// piece is copied by copy(copied.context, to, from, count) instead of
// memcpy, so that the watch may test the bytes on their one way through.
struct CopyNote {
  void (*note)(void* context, const ChunkNode* node, const char* bytes,
               std::uint32_t count);
  void* context;
  void (*copy)(void* context, char* to, const char* from, std::uint32_t count);
};
AppendResult AppendChunk(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw,
                         const CopyNote* copied = nullptr);

// Counts `size` more bytes in what the response holds, when that stays
// within its bound; false, nothing counted, otherwise.
bool TakeHeldMemory(ResponseChain* chain, std::uint64_t size);

// What the response may still take within its bound.
std::uint64_t HeldMemoryRoom(const ResponseChain& chain);

// An AllocMem block of `size` bytes for the response, counted in what it
// holds; null when that would pass its bound or AllocMem refuses.
void* AllocHeld(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                std::uint32_t size);

// The chain in the request's slot, or null when the response has nothing
// buffered (or was let go before anything was held).
ResponseChain* ChainOf(HTTP_FILTER_CONTEXT* pfc);

// True while the response's chunks are held: none has come yet, or its
// chain is buffering. Inline: every chunk of a response let go asks it.
inline bool IsHolding(const HTTP_FILTER_CONTEXT* pfc) {
  const void* slot = pfc->pFilterContext;
  return slot == nullptr || static_cast<const ResponseChain*>(slot)->state ==
                                ChainState::kBuffering;
}

// Lets the response go: what is held goes out now, in order, and every
// later chunk of the response passes untouched. The caller leaves the
// chunk it is handling untouched, so that it follows what was held.
void LetResponseGo(HTTP_FILTER_CONTEXT* pfc);

// Calls read(head) with the held records followed by the chunk now
// arriving, which is not copied: a record in this call's frame points at
// the server's bytes, and it is unlinked again before this returns. With
// nothing held yet that record is the head. `read` must not keep cursors
// or spans into the chain. REQUIRES: the chain is open or null, and
// raw.cbInData > 0 (every record holds bytes).
template <typename Read>
auto ReadWithArrivingChunk(ResponseChain* chain,
                           const HTTP_FILTER_RAW_DATA& raw, Read read) {
  assert(chain == nullptr || chain->head == nullptr ||
         chain->head->prev != chain->head);
  assert(raw.cbInData > 0);
  ChunkNode arriving{chain != nullptr ? chain->tail : nullptr, nullptr,
                     static_cast<const char*>(raw.pvInData), raw.cbInData};
  if (chain == nullptr || chain->head == nullptr) return read(&arriving);
  chain->tail->next = &arriving;
  auto answer = read(chain->head);
  chain->tail->next = nullptr;
  return answer;
}

// Marks the chain closed (the head's prev points at the head), so that
// cursors stepping back stop at the start.
// REQUIRES: head != null.
void CloseChain(ChunkNode* head);

// Writes every record that has bytes to the client with WriteClient, in
// chain order. Results of WriteClient are not looked at.
void FlushChain(HTTP_FILTER_CONTEXT* pfc, const ChunkNode* head);

#endif  // TAGSMITH_BUFFER_RESPONSE_CHAIN_H_
