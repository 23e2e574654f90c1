#include "buffer/append_mark.h"

#include <cassert>

AppendMark MarkBeforeAppend(const ResponseChain* chain) {
  if (chain == nullptr || chain->tail == nullptr) return AppendMark{nullptr, 0};
  return AppendMark{chain->tail, chain->tail->length};
}

ChainCursor HeldPositionOf(const ResponseChain& chain, const AppendMark& mark,
                           std::uint32_t offset) {
  // The chunk's bytes begin after the tail's old ones: in the room of its
  // block, then in the records that follow it.
  const ChunkNode* node = mark.tail != nullptr ? mark.tail : chain.head;
  std::uint32_t skip = mark.tail != nullptr ? mark.length : 0;
  assert(node != nullptr);
  while (offset >= node->length - skip) {
    offset -= node->length - skip;
    skip = 0;
    node = node->next;
    assert(node != nullptr);
  }
  return ChainCursor{node, node->data + skip + offset};
}
