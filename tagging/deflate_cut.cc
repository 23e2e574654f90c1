#include "tagging/deflate_cut.h"

#include <cassert>
#include <cstring>

#include "tagging/input_bits.h"

namespace {

constexpr unsigned kMaxBits = 15;
constexpr unsigned kFastBits = 9;
constexpr std::uint64_t kWindow = 32768;

// A canonical prefix code: symbols by length, and a table of the codes of
// at most kFastBits bits (symbol << 4 | length; 0 for a longer code).
struct Code {
  std::uint16_t count[kMaxBits + 1];
  std::uint16_t symbol[288];
  std::uint16_t fast[1u << kFastBits];
};

struct Tables {
  Code literals;  // literal/length
  Code distances;
  Code lengths;  // the code-length code of a dynamic header
  std::uint8_t bits[288 + 32];
};

constexpr std::uint16_t kLengthBase[29] = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                           1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                           4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {
    1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {
    0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

std::uint16_t Reverse(unsigned code, unsigned bits) {
  unsigned reversed = 0;
  for (unsigned i = 0; i < bits; ++i, code >>= 1)
    reversed = reversed << 1 | (code & 1);
  return static_cast<std::uint16_t>(reversed);
}

// The first code of each length, canonically.
void FirstCodes(const Code& code, unsigned first[kMaxBits + 1]) {
  unsigned next = 0;
  first[0] = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    next = (next + (len > 1 ? code.count[len - 1] : 0)) << 1;
    first[len] = next;
  }
}

// The code of `lengths[0, n)`. False when it is over-subscribed.
bool BuildCode(const std::uint8_t* lengths, unsigned n, Code* code) {
  std::memset(code, 0, sizeof *code);
  for (unsigned s = 0; s < n; ++s) code->count[lengths[s]]++;
  code->count[0] = 0;
  int left = 1;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - code->count[len];
    if (left < 0) return false;
  }
  std::uint16_t offset[kMaxBits + 2] = {};
  for (unsigned len = 1; len <= kMaxBits; ++len)
    offset[len + 1] =
        static_cast<std::uint16_t>(offset[len] + code->count[len]);
  unsigned next[kMaxBits + 1];
  FirstCodes(*code, next);
  for (unsigned s = 0; s < n; ++s) {
    const unsigned len = lengths[s];
    if (len == 0) continue;
    code->symbol[offset[len]++] = static_cast<std::uint16_t>(s);
    const unsigned value = next[len]++;
    if (len > kFastBits) continue;
    for (unsigned i = Reverse(value, len); i < (1u << kFastBits);
         i += 1u << len)
      code->fast[i] = static_cast<std::uint16_t>(s << 4 | len);
  }
  return true;
}

// The next symbol of `code`, or -1 for bits that are no code of it.
int Decode(InputBits* in, const Code& code) {
  NeedBits(in, kMaxBits);
  const std::uint16_t entry = code.fast[PeekBits(*in, kFastBits)];
  if (entry != 0) {
    DropBits(in, entry & 15);
    return entry >> 4;
  }
  // A longer code, a bit at a time: `value` is the code read so far and
  // `first` the first code of its length.
  std::uint32_t bits = PeekBits(*in, kMaxBits);
  int value = 0, first = 0, index = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    value |= static_cast<int>(bits & 1);
    bits >>= 1;
    const int count = code.count[len];
    if (value - first < count) {
      DropBits(in, len);
      return code.symbol[index + value - first];
    }
    index += count;
    first = (first + count) << 1;
    value <<= 1;
  }
  return -1;
}

bool FixedCodes(Tables* t) {
  std::uint8_t* bits = t->bits;
  std::memset(bits, 8, 144);
  std::memset(bits + 144, 9, 112);
  std::memset(bits + 256, 7, 24);
  std::memset(bits + 280, 8, 8);
  std::memset(bits + 288, 5, 30);
  return BuildCode(bits, 288, &t->literals) &&
         BuildCode(bits + 288, 30, &t->distances);
}

// A dynamic block's header after its three first bits.
bool DynamicCodes(InputBits* in, Tables* t) {
  const unsigned literals = TakeBits(in, 5) + 257;
  const unsigned distances = TakeBits(in, 5) + 1;
  const unsigned lengthCount = TakeBits(in, 4) + 4;
  if (literals > 286 || distances > 30) return false;
  std::uint8_t lengths[19] = {};
  for (unsigned i = 0; i < lengthCount; ++i)
    lengths[kLengthOrder[i]] = static_cast<std::uint8_t>(TakeBits(in, 3));
  if (!BuildCode(lengths, 19, &t->lengths)) return false;
  std::uint8_t* bits = t->bits;
  const unsigned total = literals + distances;
  for (unsigned i = 0; i < total;) {
    const int symbol = Decode(in, t->lengths);
    if (symbol < 0) return false;
    if (symbol < 16) {
      bits[i++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    std::uint8_t repeated = 0;
    unsigned times = 0;
    if (symbol == 16) {
      if (i == 0) return false;
      repeated = bits[i - 1];
      times = 3 + TakeBits(in, 2);
    } else if (symbol == 17) {
      times = 3 + TakeBits(in, 3);
    } else {
      times = 11 + TakeBits(in, 7);
    }
    if (times > total - i) return false;
    std::memset(bits + i, repeated, times);
    i += times;
  }
  if (bits[256] == 0) return false;
  return BuildCode(bits, literals, &t->literals) &&
         BuildCode(bits + literals, distances, &t->distances);
}

// The end-of-block code of the literal code built from `t->bits`.
void EndCode(const Tables& t, DeflateCut* cut) {
  const unsigned len = t.bits[256];
  unsigned first[kMaxBits + 1];
  FirstCodes(t.literals, first);
  unsigned value = first[len];
  for (unsigned s = 0; s < 256; ++s) value += t.bits[s] == len ? 1 : 0;
  cut->endBits = static_cast<std::uint8_t>(len);
  cut->endCode = Reverse(value, len);
}

Walk WalkBlocks(Tables* t, const ChainCursor& input, const char* page,
                std::uint64_t pageLength, const ResumePoint& from,
                std::uint64_t at, DeflateCut* cut) {
  InputBits in;
  if (!StartBits(input, from.blockBit, &in)) return Walk::kFallBack;
  std::uint64_t out = from.pageBytes;
  bool resume = from.symbolBit != from.blockBit;
  for (;;) {
    DeflateCut best{};
    best.blockBit = in.bit;
    best.finalBlock = TakeBits(&in, 1) != 0;
    const unsigned type = TakeBits(&in, 2);
    if (type == 0) {
      // An empty stored block (after a flush) is passed; one with bytes
      // cannot be cut by this walk.
      TakeBits(&in, static_cast<unsigned>((8 - in.bit % 8) % 8));
      const std::uint32_t length = TakeBits(&in, 16);
      const std::uint32_t check = TakeBits(&in, 16);
      if (length != 0 || check != 0xFFFF || best.finalBlock || Overran(in))
        return Walk::kFallBack;
      continue;
    }
    if (type == 3 || !(type == 1 ? FixedCodes(t) : DynamicCodes(&in, t)) ||
        Overran(in)) {
      return Walk::kFallBack;
    }
    EndCode(*t, &best);
    if (resume) {
      if (from.symbolBit < in.bit || !StartBits(input, from.symbolBit, &in))
        return Walk::kFallBack;
      resume = false;
    }
    for (;;) {
      best.bit = in.bit;
      best.pageBytes = out;
      if (out == at) {
        *cut = best;
        return Walk::kCut;
      }
      const int symbol = Decode(&in, t->literals);
      if (symbol < 0) return Walk::kFallBack;
      if (symbol < 256) {
        if (out >= pageLength ||
            static_cast<unsigned char>(page[out]) != symbol) {
          return Walk::kMismatch;
        }
        ++out;
      } else if (symbol == 256) {
        break;
      } else {
        const unsigned lengthCode = static_cast<unsigned>(symbol) - 257;
        if (lengthCode >= 29) return Walk::kFallBack;
        const std::uint64_t length =
            kLengthBase[lengthCode] + TakeBits(&in, kLengthExtra[lengthCode]);
        const int distanceCode = Decode(&in, t->distances);
        if (distanceCode < 0 || distanceCode >= 30) return Walk::kFallBack;
        const std::uint64_t distance =
            kDistanceBase[distanceCode] +
            TakeBits(&in, kDistanceExtra[distanceCode]);
        if (distance > out || distance > kWindow || length > pageLength - out)
          return Walk::kMismatch;
        if (out + length > at) {
          // It spans the offset: the cut comes before it.
          *cut = best;
          return Overran(in) ? Walk::kFallBack : Walk::kCut;
        }
        // Each byte against the one `distance` before, as an overlapping
        // copy writes them.
        if (std::memcmp(page + out, page + out - distance, length) != 0)
          return Walk::kMismatch;
        out += length;
      }
      if (Overran(in)) return Walk::kFallBack;
    }
    // The block ended before the offset: on to the next.
    if (best.finalBlock || Overran(in)) return Walk::kFallBack;
    resume = false;
  }
}

}  // namespace

Walk FindCut(const WorkingHeap& heap, const ChainCursor& input,
             const char* page, std::uint64_t pageLength,
             const ResumePoint& from, std::uint64_t at, DeflateCut* cut) {
  assert(from.pageBytes <= at && at <= pageLength);
  auto* tables =
      static_cast<Tables*>(heap.allocate(heap.opaque, sizeof(Tables)));
  if (tables == nullptr) return Walk::kNoMemory;
  const Walk walk = WalkBlocks(tables, input, page, pageLength, from, at, cut);
  heap.release(heap.opaque, tables);
  return walk;
}
