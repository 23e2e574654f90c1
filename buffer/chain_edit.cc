#include "buffer/chain_edit.h"

#include <cassert>

namespace {

[[maybe_unused]] bool InChain(const ResponseChain* chain,
                              const ChunkNode* wanted) {
  for (const ChunkNode* node = chain->head; node != nullptr;
       node = node->next) {
    if (node == wanted) return true;
  }
  return false;
}

// The chain's own record that a cursor stands in. Cursors read through
// const records; the chain, and so the record, is ours to change.
ChunkNode* RecordOf(ResponseChain* chain, const ChunkNode* wanted) {
  assert(InChain(chain, wanted));
  (void)chain;
  return const_cast<ChunkNode*>(wanted);
}

[[maybe_unused]] bool Inside(const ChunkNode* node, const char* pos) {
  return pos >= node->data && pos <= node->data + node->length;
}

}  // namespace

void PointRecord(ChunkNode* node, const char* data, std::uint32_t length) {
  node->data = length > 0 ? data : nullptr;
  node->length = length;
}

void ReplaceSpan(ResponseChain* chain, const ChainCursor& from,
                 const ChainCursor* to, ChunkNode* const* pieces,
                 std::uint32_t count, ChunkNode* spare) {
  ChunkNode* const first = RecordOf(chain, from.node);
  assert(Inside(first, from.pos));

  // What follows the span: the rest of `to`'s record, taken over by the
  // spare before `first` is shortened (they may be the same record).
  ChunkNode* after = nullptr;
  if (to != nullptr) {
    ChunkNode* const last = RecordOf(chain, to->node);
    assert(Inside(last, to->pos));
    assert(last != first || to->pos >= from.pos);
    PointRecord(
        spare, to->pos,
        static_cast<std::uint32_t>(last->data + last->length - to->pos));
    spare->next = last->next;
    after = spare;
  }
  first->length = static_cast<std::uint32_t>(from.pos - first->data);

  ChunkNode* prev = first;
  for (std::uint32_t i = 0; i < count; ++i) {
    prev->next = pieces[i];
    pieces[i]->prev = prev;
    prev = pieces[i];
  }
  prev->next = after;
  if (after == nullptr) {
    chain->tail = prev;
    return;
  }
  after->prev = prev;
  if (after->next != nullptr) {
    after->next->prev = after;
  } else {
    chain->tail = after;
  }
}
