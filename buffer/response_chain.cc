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

AppendResult AppendChunk(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw,
                         const CopyNote* copied) {
  // A zero-byte chunk sends nothing either way; not recording it keeps every
  // record in the chain holding at least one byte for the cursor.
  const std::uint32_t count = raw->cbInData;
  if (count == 0) return AppendResult::kHeld;

  ResponseChain* chain = ChainOf(pfc);
  if (chain == nullptr) {
    if (pfc->pFilterContext != nullptr) return AppendResult::kPassing;
    chain = static_cast<ResponseChain*>(
        pfc->AllocMem(pfc, sizeof(ResponseChain), 0));
    if (chain == nullptr) {
      pfc->pFilterContext = SlotValueForGaveUp();
      return AppendResult::kPassing;
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
  }
  if (chain->state != ChainState::kBuffering) return AppendResult::kPassing;
  if (count > kMaxHeldBytes - chain->heldBytes) return AppendResult::kTooLarge;

  // What fits goes into the room after the last record's bytes, the rest
  // into a new block, obtained before anything is copied so that a refusal
  // leaves the chain as it was. The new block has room for no more bytes
  // than are held already, or a sixteenth of them (within kRecordRoom and
  // kLargestRecordRoom): small blocks while the response is small, and
  // never more room left over than bytes held.
  const auto* bytes = static_cast<const char*>(raw->pvInData);
  const std::uint32_t inRoom =
      count < chain->roomLeft ? count : chain->roomLeft;
  const std::uint32_t rest = count - inRoom;
  chain->heldBytes += count;  // counted first: the new block's bound holds it
  ChunkNode* node = nullptr;
  std::uint32_t capacity = 0;
  if (rest > 0) {
    const std::uint64_t held = chain->heldBytes - rest;
    const std::uint64_t room =
        std::clamp<std::uint64_t>(held / 16, kRecordRoom, kLargestRecordRoom);
    capacity = static_cast<std::uint32_t>(std::min(held, room));
    if (capacity < rest) capacity = rest;
    node = NewRecord(pfc, chain, capacity);
    if (node == nullptr) {
      chain->heldBytes -= count;
      return AppendResult::kRefused;
    }
  }
  if (inRoom > 0) {
    CopyPiece(copied, chain->room, bytes, inRoom);
    chain->tail->length += inRoom;
    chain->room += inRoom;
    chain->roomLeft -= inRoom;
    if (copied != nullptr)
      copied->note(copied->context, chain->tail, chain->room - inRoom, inRoom);
  }
  if (node != nullptr) {
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
  }
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
