// A reader of a compressed body's bytes as a deflate bit stream (lowest bit
// of each byte first), from any bit position, across the chain records
// that hold the bytes; and copying a span of those bytes out.
//
// Ownership: the reader owns nothing; it points into the records, which
// must outlive it.
#ifndef TAGSMITH_TAGGING_INPUT_BITS_H_
#define TAGSMITH_TAGGING_INPUT_BITS_H_

#include <cassert>
#include <cstdint>

#include "buffer/chain_cursor.h"

struct InputBits {
  const ChunkNode* node;      // the record the next byte comes from
  const unsigned char* next;  // that byte; `end` when the record is used
  const unsigned char* end;
  std::uint64_t hold;    // bits read from the bytes and not yet taken
  unsigned held;         // how many (at most 63)
  std::uint64_t bit;     // the input position of the first held bit
  std::uint64_t endBit;  // the input's end once reached, else UINT64_MAX
};

// A reader on bit `bit` of the bytes from `input` to the end of its chain.
// False when the input ends before it.
bool StartBits(const ChainCursor& input, std::uint64_t bit, InputBits* in);

// Makes sure at least `count` bits are held (at most 56), padding with
// zero bits past the input's end.
inline void NeedBits(InputBits* in, unsigned count);

// The next `count` bits, not taken. REQUIRES: NeedBits(count) before.
inline std::uint32_t PeekBits(const InputBits& in, unsigned count) {
  assert(count <= in.held);
  return static_cast<std::uint32_t>(in.hold &
                                    ((std::uint64_t{1} << count) - 1));
}

// Takes `count` held bits.
// REQUIRES: at least `count` bits are held.
inline void DropBits(InputBits* in, unsigned count) {
  assert(count <= in->held);
  in->hold >>= count;
  in->held -= count;
  in->bit += count;
}

// Takes the next `count` bits (at most 32) and gives them.
inline std::uint32_t TakeBits(InputBits* in, unsigned count) {
  NeedBits(in, count);
  const std::uint32_t bits = PeekBits(*in, count);
  DropBits(in, count);
  return bits;
}

// Whether a bit taken came from past the input's end.
inline bool Overran(const InputBits& in) { return in.bit > in.endBit; }

// Loads the next byte (a zero byte past the input's end).
void LoadByte(InputBits* in);

inline void NeedBits(InputBits* in, unsigned count) {
  while (in->held < count) {
    if (in->next != in->end) {
      in->hold |= std::uint64_t{*in->next++} << in->held;
      in->held += 8;
    } else {
      LoadByte(in);
    }
  }
}

// Copies `length` bytes from byte `offset` of the input to `out`. False
// when the input ends first.
bool CopyInput(const ChainCursor& input, std::uint64_t offset,
               std::uint64_t length, char* out);

#endif  // TAGSMITH_TAGGING_INPUT_BITS_H_
