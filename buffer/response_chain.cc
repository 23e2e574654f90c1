#include "buffer/response_chain.h"

#include <cstring>

namespace {

// Stands in the slot when not even the chain record could be had, or the
// response was let go before anything was held, so that the rest of the
// response passes untouched instead of a later chunk starting a chain in
// the middle of the response. Never written.
const ResponseChain kGaveUp = {nullptr, nullptr, ChainState::kPassing, 0, 0};

void* SlotValueForGaveUp() {
  return const_cast<ResponseChain*>(&kGaveUp);
}

// Stops buffering this response: what is held goes out now, in order, and
// the caller leaves the current chunk untouched so that it follows.
void GiveUp(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain) {
  // Passing first: the server hands our own writes back as raw data.
  chain->state = ChainState::kPassing;
  FlushChain(pfc, chain->head);
}

}  // namespace

ResponseChain* ChainOf(HTTP_FILTER_CONTEXT* pfc) {
  void* slot = pfc->pFilterContext;
  if (slot == nullptr || slot == SlotValueForGaveUp()) return nullptr;
  return static_cast<ResponseChain*>(slot);
}

void AppendChunk(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  // A zero-byte chunk sends nothing either way; not recording it keeps every
  // record in the chain holding at least one byte for the cursor.
  const std::uint32_t count = raw->cbInData;
  if (count == 0) return;

  ResponseChain* chain = ChainOf(pfc);
  if (chain == nullptr) {
    if (pfc->pFilterContext != nullptr) return;  // gave up earlier
    chain = static_cast<ResponseChain*>(
        pfc->AllocMem(pfc, sizeof(ResponseChain), 0));
    if (chain == nullptr) {
      pfc->pFilterContext = SlotValueForGaveUp();
      return;
    }
    chain->head = nullptr;
    chain->tail = nullptr;
    chain->state = ChainState::kBuffering;
    chain->heldBytes = 0;
    chain->headerWatch = 0;
    pfc->pFilterContext = chain;
  }
  if (chain->state != ChainState::kBuffering) return;
  if (count > kMaxHeldBytes - chain->heldBytes) {
    GiveUp(pfc, chain);
    return;
  }

  auto* node =
      static_cast<ChunkNode*>(pfc->AllocMem(pfc, sizeof(ChunkNode), 0));
  void* copy = node != nullptr ? pfc->AllocMem(pfc, count, 0) : nullptr;
  if (copy == nullptr) {
    GiveUp(pfc, chain);
    return;
  }
  std::memcpy(copy, raw->pvInData, count);
  node->prev = chain->tail;
  node->next = nullptr;
  node->data = static_cast<const char*>(copy);
  node->length = count;
  if (chain->tail != nullptr) {
    chain->tail->next = node;
  } else {
    chain->head = node;
  }
  chain->tail = node;
  chain->heldBytes += count;
  raw->cbInData = 0;
}

void LetResponseGo(HTTP_FILTER_CONTEXT* pfc) {
  if (ResponseChain* chain = ChainOf(pfc)) {
    if (chain->state == ChainState::kBuffering) GiveUp(pfc, chain);
  } else if (pfc->pFilterContext == nullptr) {
    pfc->pFilterContext = SlotValueForGaveUp();
  }
}

void CloseChain(ChunkNode* head) { head->prev = head; }

void FlushChain(HTTP_FILTER_CONTEXT* pfc, const ChunkNode* head) {
  for (const ChunkNode* node = head; node != nullptr; node = node->next) {
    if (node->data == nullptr || node->length == 0) continue;
    DWORD count = node->length;
    pfc->WriteClient(pfc, const_cast<char*>(node->data), &count, 0);
  }
}
