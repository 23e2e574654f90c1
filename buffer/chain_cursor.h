// A position in a response chain that reads the chain's records as one byte
// stream, forward and backward across record seams, plus the two
// comparisons the filter needs: a case-folding prefix match and the
// recognition of a closing tag.
//
// A cursor owns nothing: it points into the chain's records and bytes,
// which must outlive it. Cursors are plain values; copies move
// independently and matching never moves the caller's cursor.
//
// Character rules are fixed, whatever the server's locale: white space is
// the six bytes space, TAB, LF, VT, FF and CR; a to z fold to A to Z. Bytes
// 0x80-0xFF never fold and are never white space.
#ifndef TAGSMITH_BUFFER_CHAIN_CURSOR_H_
#define TAGSMITH_BUFFER_CHAIN_CURSOR_H_

#include "buffer/response_chain.h"

struct ChainCursor {
  const ChunkNode* node;  // the record that holds the current byte
  const char* pos;        // the current byte, or node's end when past the end
};

constexpr bool IsWhiteSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr unsigned char FoldCase(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// True when the record has bytes to read or send. Records without bytes
// appear once the end-of-request pass has spliced the chain.
inline bool HoldsBytes(const ChunkNode* node) {
  return node->data != nullptr && node->length > 0;
}

// The next record after `node` that holds bytes, or null: the one walk
// every reader of the chain uses to pass over empty records.
// REQUIRES: node != null.
const ChunkNode* NextRecordWithBytes(const ChunkNode* node);

// `node` itself when it holds bytes, else the next one that does; null
// for a null node or when none does.
const ChunkNode* FirstRecordWithBytes(const ChunkNode* node);

// A cursor on the first byte of the chain that starts at `head`.
// REQUIRES: head != null and head->length > 0.
ChainCursor CursorAtStart(const ChunkNode* head);

// True when the cursor stands on a real byte (not past the chain's end).
inline bool HasByte(const ChainCursor& c) {
  return c.pos < c.node->data + c.node->length;
}

// The byte under the cursor.
// REQUIRES: HasByte(c).
inline unsigned char ByteAt(const ChainCursor& c) {
  return static_cast<unsigned char>(*c.pos);
}

// Moves one byte on, into the next record that has bytes when the current
// one is used up. False when there is no further byte: the cursor then
// stands past the last byte and must not be read.
bool StepForward(ChainCursor* c);

// Moves one byte back, into the previous record's last byte when at the
// start of a record. False at the first byte of a closed chain's head (or
// of an open chain's head): the cursor stays there.
bool StepBack(ChainCursor* c);

// Moves `count` bytes on; false (cursor past the end) when the chain ends
// first.
bool Advance(ChainCursor* c, std::uint32_t count);

// True when the bytes from the cursor on equal `text` under case folding.
// An empty text matches anywhere; a cursor past the end matches nothing
// else. Never reads past the chain's last byte.
bool MatchAt(const ChainCursor& c, const char* text);

// True when a closing tag for `name` begins at the cursor: "<", optional
// white space, "/", optional white space, the name in any case, optional
// white space, ">". False for a null or empty name, past the end, or when
// the chain ends inside the tag.
bool MatchClosingTag(const ChainCursor& c, const char* name);

#endif  // TAGSMITH_BUFFER_CHAIN_CURSOR_H_
