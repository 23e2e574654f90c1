#include "buffer/chain_cursor.h"

#include <cassert>

namespace {

const char* EndOf(const ChunkNode* node) { return node->data + node->length; }

const ChunkNode* PrevWithBytes(const ChunkNode* node) {
  while (node->prev != nullptr && node->prev != node) {
    node = node->prev;
    if (HoldsBytes(node)) return node;
  }
  return nullptr;
}

}  // namespace

const ChunkNode* NextRecordWithBytes(const ChunkNode* node) {
  assert(node != nullptr);
  return FirstRecordWithBytes(node->next);
}

const ChunkNode* FirstRecordWithBytes(const ChunkNode* node) {
  while (node != nullptr && !HoldsBytes(node)) node = node->next;
  return node;
}

ChainCursor CursorAtStart(const ChunkNode* head) {
  assert(head != nullptr && head->length > 0);
  return ChainCursor{head, head->data};
}

bool StepForward(ChainCursor* c) {
  assert(HasByte(*c));
  if (++c->pos < EndOf(c->node)) return true;
  const ChunkNode* next = NextRecordWithBytes(c->node);
  if (next == nullptr) return false;  // stays past the last byte
  c->node = next;
  c->pos = next->data;
  return true;
}

bool StepBack(ChainCursor* c) {
  if (c->pos > c->node->data) {
    --c->pos;
    return true;
  }
  const ChunkNode* prev = PrevWithBytes(c->node);
  if (prev == nullptr) return false;
  c->node = prev;
  c->pos = EndOf(prev) - 1;
  return true;
}

bool Advance(ChainCursor* c, std::uint32_t count) {
  while (count > 0) {
    if (!HasByte(*c)) return false;
    // Jump within the record, then cross the seam with one step.
    const auto left = static_cast<std::uint32_t>(EndOf(c->node) - c->pos);
    if (count < left) {
      c->pos += count;
      return true;
    }
    c->pos += left - 1;
    count -= left - 1;
    if (!StepForward(c)) return false;
    --count;
  }
  return true;
}

bool MatchAt(const ChainCursor& c, const char* text) {
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  if (*t == '\0') return true;
  if (!HasByte(c)) return false;
  const ChunkNode* node = c.node;
  const char* p = c.pos;
  for (;;) {
    // Compare what this record holds, then cross into the next one.
    for (const char* end = EndOf(node); p < end; ++p, ++t) {
      if (*t == '\0') return true;
      if (FoldCase(static_cast<unsigned char>(*p)) != FoldCase(*t)) {
        return false;
      }
    }
    if (*t == '\0') return true;
    node = NextRecordWithBytes(node);
    if (node == nullptr) return false;
    p = node->data;
  }
}

bool MatchClosingTag(const ChainCursor& c, const char* name) {
  if (name == nullptr || *name == '\0' || !HasByte(c) || ByteAt(c) != '<') {
    return false;
  }
  ChainCursor at = c;
  // Steps at least once, then on over white space; false at the chain's end.
  auto skip_space = [&at] {
    do {
      if (!StepForward(&at)) return false;
    } while (IsWhiteSpace(ByteAt(at)));
    return true;
  };
  if (!skip_space() || ByteAt(at) != '/') return false;
  if (!skip_space()) return false;
  const auto* n = reinterpret_cast<const unsigned char*>(name);
  if (FoldCase(ByteAt(at)) != FoldCase(*n)) return false;
  for (++n; *n != '\0'; ++n) {
    if (!StepForward(&at) || FoldCase(ByteAt(at)) != FoldCase(*n)) {
      return false;
    }
  }
  return skip_space() && ByteAt(at) == '>';
}
