#include "tagging/input_bits.h"

#include <cstdint>
#include <cstring>

namespace {

// Moves `node`/`pos` on by `offset` bytes, a record at a time. False when
// the chain ends first (at its end is not past it when `offset` is 0).
bool Seek(const ChunkNode** node, const char** pos, std::uint64_t offset) {
  for (;;) {
    const auto left =
        static_cast<std::uint64_t>((*node)->data + (*node)->length - *pos);
    if (offset < left) {
      *pos += offset;
      return true;
    }
    offset -= left;
    const ChunkNode* next = NextRecordWithBytes(*node);
    if (next == nullptr) {
      *pos = (*node)->data + (*node)->length;
      return offset == 0;
    }
    *node = next;
    *pos = next->data;
  }
}

}  // namespace

bool StartBits(const ChainCursor& input, std::uint64_t bit, InputBits* in) {
  const ChunkNode* node = input.node;
  const char* pos = input.pos;
  if (!Seek(&node, &pos, bit / 8)) return false;
  in->node = node;
  in->next = reinterpret_cast<const unsigned char*>(pos);
  in->end = reinterpret_cast<const unsigned char*>(node->data + node->length);
  in->hold = 0;
  in->held = 0;
  in->bit = bit - bit % 8;
  in->endBit = UINT64_MAX;
  const unsigned skip = static_cast<unsigned>(bit % 8);
  if (skip > 0) {
    NeedBits(in, skip);
    DropBits(in, skip);
    if (Overran(*in)) return false;
  }
  return true;
}

void LoadByte(InputBits* in) {
  while (in->next == in->end) {
    const ChunkNode* next =
        in->node != nullptr ? NextRecordWithBytes(in->node) : nullptr;
    if (next == nullptr) {
      // Past the end: zero bits, and the end noted so that taking one
      // shows.
      if (in->node != nullptr) in->endBit = in->bit + in->held;
      in->node = nullptr;
      in->held += 8;
      return;
    }
    in->node = next;
    in->next = reinterpret_cast<const unsigned char*>(next->data);
    in->end = in->next + next->length;
  }
  in->hold |= std::uint64_t{*in->next++} << in->held;
  in->held += 8;
}

bool CopyInput(const ChainCursor& input, std::uint64_t offset,
               std::uint64_t length, char* out) {
  const ChunkNode* node = input.node;
  const char* pos = input.pos;
  if (!Seek(&node, &pos, offset)) return false;
  while (length > 0) {
    const auto left =
        static_cast<std::uint64_t>(node->data + node->length - pos);
    const std::uint64_t take = left < length ? left : length;
    std::memcpy(out, pos, take);
    out += take;
    length -= take;
    if (length == 0) break;
    node = NextRecordWithBytes(node);
    if (node == nullptr) return false;
    pos = node->data;
  }
  return true;
}
