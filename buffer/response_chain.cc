#include "buffer/response_chain.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "buffer/chain_cursor.h"

namespace {

// Stands in the slot when not even the chain record could be had, or the
// response was let go before anything was held, so that the rest of the
// response passes untouched instead of a later chunk starting a chain in
// the middle of the response. Never written.
const ResponseChain kGaveUp = {
    nullptr, nullptr, ChainState::kPassing, 0, 0, nullptr, 0, 0, nullptr};

void* SlotValueForGaveUp() { return const_cast<ResponseChain*>(&kGaveUp); }

// Stops buffering this response: what is held goes out now, in order, and
// the caller leaves the current chunk untouched so that it follows.
void GiveUp(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain) {
  // Passing first: the server hands our own writes back as raw data.
  chain->state = ChainState::kPassing;
  FlushChain(pfc, chain->head);
}

// A new record at the start of a block with room for `capacity` bytes,
// linked nowhere yet; null when refused.
ChunkNode* NewRecord(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     std::uint32_t capacity) {
  void* block = AllocHeld(
      pfc, chain, static_cast<std::uint32_t>(sizeof(ChunkNode)) + capacity);
  if (block == nullptr) return nullptr;
  auto* node = static_cast<ChunkNode*>(block);
  node->prev = chain->tail;
  node->next = nullptr;
  node->data = reinterpret_cast<const char*>(node + 1);
  node->length = 0;
  return node;
}

// Copies a piece of a chunk, through the watch's copier when there is one.
void CopyPiece(const CopyNote* copied, char* to, const char* from,
               std::uint32_t count) {
  if (copied != nullptr && copied->copy != nullptr) {
    copied->copy(copied->context, to, from, count);
  } else {
    std::memcpy(to, from, count);
  }
}

}  // namespace

bool TakeHeldMemory(ResponseChain* chain, std::uint64_t size) {
  if (size > HeldMemoryRoom(*chain)) return false;
  chain->heldMemory += size;
  return true;
}

std::uint64_t HeldMemoryRoom(const ResponseChain& chain) {
  const std::uint64_t bound = 2 * chain.heldBytes + kHeldMemorySlack;
  return chain.heldMemory < bound ? bound - chain.heldMemory : 0;
}

void* AllocHeld(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                std::uint32_t size) {
  if (!TakeHeldMemory(chain, size)) return nullptr;
  return pfc->AllocMem(pfc, size, 0);
}

ResponseChain* ChainOf(HTTP_FILTER_CONTEXT* pfc) {
  void* slot = pfc->pFilterContext;
  if (slot == nullptr || slot == SlotValueForGaveUp()) return nullptr;
  return static_cast<ResponseChain*>(slot);
}

namespace {

// The chain record for a response's first chunk, in the slot; null (the
// slot then says the response passes) when refused.
ResponseChain* StartChain(HTTP_FILTER_CONTEXT* pfc) {
  auto* chain =
      static_cast<ResponseChain*>(pfc->AllocMem(pfc, sizeof(ResponseChain), 0));
  if (chain == nullptr) {
    pfc->pFilterContext = SlotValueForGaveUp();
    return nullptr;
  }
  chain->head = nullptr;
  chain->tail = nullptr;
  chain->state = ChainState::kBuffering;
  chain->heldBytes = 0;
  chain->heldMemory = sizeof(ResponseChain);
  chain->room = nullptr;
  chain->roomLeft = 0;
  chain->headerWatch = 0;
  chain->kept = nullptr;
  pfc->pFilterContext = chain;
  return chain;
}

// The room of a new block that begins with the `rest` of a chunk of
// `count` bytes, when `held` bytes were held before that rest: the rest,
// then about a sixteenth of what is held (within kRecordRoom and
// kLargestRecordRoom) taken to the nearest whole number of such chunks, so
// that chunks of one size fill each block exactly and none is split over
// two records (two copies, two notes); and never more than is held, so
// never more room left over than bytes held.
std::uint32_t NewRecordRoom(std::uint64_t held, std::uint32_t rest,
                            std::uint32_t count) {
  const std::uint64_t share =
      std::clamp<std::uint64_t>(held / 16, kRecordRoom, kLargestRecordRoom);
  const std::uint64_t room = std::min(held, share);
  const std::uint64_t most = std::max<std::uint64_t>(held, rest);
  std::uint64_t chunks = (room + count / 2) / count;
  if (rest + chunks * count > most) chunks = (most - rest) / count;
  return static_cast<std::uint32_t>(rest + chunks * count);
}

// Appends the chunk when it does not fit in the room left: what fits goes
// there, the rest into a new block, obtained before anything is copied so
// that a refusal leaves the chain as it was.
AppendResult AppendWithNewRecord(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                                 HTTP_FILTER_RAW_DATA* raw,
                                 const CopyNote* copied) {
  const std::uint32_t count = raw->cbInData;
  const auto* bytes = static_cast<const char*>(raw->pvInData);
  const std::uint32_t inRoom = chain->roomLeft;
  const std::uint32_t rest = count - inRoom;
  chain->heldBytes += count;  // counted first: the new block's bound holds it
  const std::uint32_t capacity =
      NewRecordRoom(chain->heldBytes - rest, rest, count);
  ChunkNode* node = NewRecord(pfc, chain, capacity);
  if (node == nullptr) {
    chain->heldBytes -= count;
    return AppendResult::kRefused;
  }
  if (inRoom > 0) {
    CopyPiece(copied, chain->room, bytes, inRoom);
    chain->tail->length += inRoom;
    if (copied != nullptr)
      copied->note(copied->context, chain->tail, chain->room, inRoom);
  }
  char* data = reinterpret_cast<char*>(node + 1);
  CopyPiece(copied, data, bytes + inRoom, rest);
  node->length = rest;
  if (chain->tail != nullptr) {
    chain->tail->next = node;
  } else {
    chain->head = node;
  }
  chain->tail = node;
  chain->room = data + rest;
  chain->roomLeft = capacity - rest;
  if (copied != nullptr) copied->note(copied->context, node, data, rest);
  raw->cbInData = 0;
  return AppendResult::kHeld;
}

}  // namespace

AppendResult AppendChunk(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw,
                         const CopyNote* copied) {
  // A zero-byte chunk sends nothing either way; not recording it keeps every
  // record in the chain holding at least one byte for the cursor.
  const std::uint32_t count = raw->cbInData;
  if (count == 0) return AppendResult::kHeld;

  // The slot read once: a response given up on holds a record whose state
  // is passing, like a chain that has been let go.
  auto* chain = static_cast<ResponseChain*>(pfc->pFilterContext);
  if (chain == nullptr) {
    chain = StartChain(pfc);
    if (chain == nullptr) return AppendResult::kPassing;
  } else if (chain->state != ChainState::kBuffering) {
    return AppendResult::kPassing;
  }
  if (count > kMaxHeldBytes - chain->heldBytes) return AppendResult::kTooLarge;
  if (count > chain->roomLeft)
    return AppendWithNewRecord(pfc, chain, raw, copied);

  // The usual chunk: all of it into the room after the last record's bytes.
  char* to = chain->room;
  chain->heldBytes += count;
  CopyPiece(copied, to, static_cast<const char*>(raw->pvInData), count);
  chain->tail->length += count;
  chain->room = to + count;
  chain->roomLeft -= count;
  if (copied != nullptr) copied->note(copied->context, chain->tail, to, count);
  raw->cbInData = 0;
  return AppendResult::kHeld;
}

void LetResponseGo(HTTP_FILTER_CONTEXT* pfc) {
  if (ResponseChain* chain = ChainOf(pfc)) {
    if (chain->state == ChainState::kBuffering) GiveUp(pfc, chain);
  } else if (pfc->pFilterContext == nullptr) {
    pfc->pFilterContext = SlotValueForGaveUp();
  }
}

void CloseChain(ChunkNode* head) {
  assert(head != nullptr);
  head->prev = head;
}

void FlushChain(HTTP_FILTER_CONTEXT* pfc, const ChunkNode* head) {
  for (const ChunkNode* node = FirstRecordWithBytes(head); node != nullptr;
       node = NextRecordWithBytes(node)) {
    DWORD count = node->length;
    pfc->WriteClient(pfc, const_cast<char*>(node->data), &count, 0);
  }
}
