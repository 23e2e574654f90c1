#include "tagging/chunk_framing.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Steps on and reports whether the cursor now stands on a byte.
bool Next(ChainCursor* c) { return StepForward(c) && HasByte(*c); }

// Reads "\r\n" at `c`; true with `c` on the byte after the LF, or past the
// end when the LF was the chain's last byte (`*ended` then true).
bool ReadCrLf(ChainCursor* c, bool* ended) {
  if (!HasByte(*c) || ByteAt(*c) != '\r' || !Next(c) || ByteAt(*c) != '\n') {
    return false;
  }
  *ended = !Next(c);
  return true;
}

// Reads a size line: 1 to 8 hex digits, an optional extension, CRLF.
bool ReadSizeLine(ChainCursor* c, std::uint32_t* size, ChainCursor* afterDigits,
                  bool* ended) {
  std::uint32_t value = 0;
  int digits = 0;
  for (; HasByte(*c) && HexValue(ByteAt(*c)) >= 0; ++digits) {
    if (digits == 8) return false;
    value = value * 16 + static_cast<std::uint32_t>(HexValue(ByteAt(*c)));
    if (!Next(c)) return false;
  }
  if (digits == 0) return false;
  *afterDigits = *c;
  if (ByteAt(*c) == ';') {
    do {
      if (!Next(c)) return false;
    } while (ByteAt(*c) != '\r' && ByteAt(*c) != '\n');
  }
  *size = value;
  return ReadCrLf(c, ended);
}

// How a walk over the chunks ended.
enum class Walk { kLastChunk, kStopped, kBroken };

// Walks the chunks from the size line under `c`: for each chunk of data,
// visit.Chunk(place), then visit.Piece(bytes, length) for each piece of
// its data that lies in one chain record. A Chunk that answers false stops
// the walk before its data (kStopped). kLastChunk with `c` past the last
// chunk's size line (`*ended` when the chain ends there) and `*lastChunk`
// on its first digit.
template <typename Visit>
Walk WalkChunks(ChainCursor* c, bool* ended, ChainCursor* lastChunk,
                Visit* visit) {
  std::uint64_t offset = 0;
  for (;;) {
    const ChainCursor sizeLine = *c;
    ChainCursor afterDigits;
    std::uint32_t size = 0;
    if (!ReadSizeLine(c, &size, &afterDigits, ended)) return Walk::kBroken;
    if (size == 0) {
      *lastChunk = sizeLine;
      return Walk::kLastChunk;
    }
    if (*ended) return Walk::kBroken;
    if (!visit->Chunk(ChunkPlace{sizeLine, afterDigits, *c, size, offset})) {
      return Walk::kStopped;
    }
    for (std::uint32_t left = size; left > 0;) {
      const auto inRecord =
          static_cast<std::uint32_t>(c->node->data + c->node->length - c->pos);
      const std::uint32_t take = left < inRecord ? left : inRecord;
      visit->Piece(c->pos, take);
      offset += take;
      left -= take;
      if (!Advance(c, take)) return Walk::kBroken;  // CRLF must follow the data
    }
    if (!ReadCrLf(c, ended) || *ended) return Walk::kBroken;
  }
}

// Trailer lines from `c`, then the empty line that ends the response.
bool ReadTrailers(ChainCursor c, bool ended) {
  while (!ended) {
    if (ByteAt(c) == '\r') return ReadCrLf(&c, &ended) && ended;
    while (ByteAt(c) != '\r') {
      if (ByteAt(c) == '\n' || !Next(&c)) return false;
    }
    if (!ReadCrLf(&c, &ended)) return false;
  }
  return false;  // the response ended without the closing CRLF
}

// Counts the pieces the view would have and the data bytes.
struct CountPieces {
  std::uint64_t pieces = 0;
  std::uint64_t bytes = 0;
  bool Chunk(const ChunkPlace&) { return true; }
  void Piece(const char*, std::uint32_t length) {
    ++pieces;
    bytes += length;
  }
};

// Points a record at each piece, or copies every piece to `copy`.
struct FillView {
  ChunkNode* view;
  char* copy;  // null: records into the chain
  std::uint32_t count = 0;
  bool Chunk(const ChunkPlace&) { return true; }
  void Piece(const char* bytes, std::uint32_t length) {
    if (copy != nullptr) {
      std::memcpy(copy, bytes, length);
      copy += length;
    } else {
      view[count].data = bytes;
      view[count++].length = length;
    }
  }
};

// Stops at the chunk that holds the de-framed byte at `offset`.
struct FindChunk {
  std::uint64_t offset;
  ChunkPlace* found;
  bool Chunk(const ChunkPlace& place) {
    if (offset >= place.offset + place.size) return true;
    *found = place;
    return false;
  }
  void Piece(const char*, std::uint32_t) {}
};

}  // namespace

Framing ReadFraming(const WorkingHeap& heap, const ChainCursor* first,
                    std::uint64_t room, FramedBody* body) {
  *body = FramedBody{};
  if (first == nullptr || !HasByte(*first) || HexValue(ByteAt(*first)) < 0) {
    return Framing::kPlain;
  }
  body->first = *first;
  ChainCursor c = *first;
  bool ended = false;
  CountPieces count;
  if (WalkChunks(&c, &ended, &body->lastChunk, &count) != Walk::kLastChunk ||
      !ReadTrailers(c, ended)) {
    return Framing::kBroken;
  }
  body->length = count.bytes;
  if (count.pieces == 0) return Framing::kFramed;

  // A record a piece costs more than the bytes when chunks are tiny; then
  // one record for a copy of them is the cheaper view. Either way the
  // view takes no more than the data bytes and one record.
  const std::uint64_t asRecords = count.pieces * sizeof(ChunkNode);
  const std::uint64_t asCopy = sizeof(ChunkNode) + count.bytes;
  const bool copied = asCopy < asRecords;
  const std::uint64_t memory = copied ? asCopy : asRecords;
  if (memory > room || memory > SIZE_MAX) return Framing::kRefused;
  auto* view = static_cast<ChunkNode*>(
      heap.allocate(heap.opaque, static_cast<std::size_t>(memory)));
  if (view == nullptr) return Framing::kRefused;
  body->view = view;
  body->memory = memory;
  body->viewCount = copied ? 1 : static_cast<std::uint32_t>(count.pieces);
  FillView fill{view, copied ? reinterpret_cast<char*>(view + 1) : nullptr};
  c = *first;
  const Walk again = WalkChunks(&c, &ended, &body->lastChunk, &fill);
  assert(again == Walk::kLastChunk);
  (void)again;
  if (copied) {
    view->data = reinterpret_cast<const char*>(view + 1);
    view->length = static_cast<std::uint32_t>(count.bytes);
  }
  for (std::uint32_t i = 0; i < body->viewCount; ++i) {
    view[i].prev = i == 0 ? view : &view[i - 1];  // closed at its head
    view[i].next = i + 1 < body->viewCount ? &view[i + 1] : nullptr;
  }
  return Framing::kFramed;
}

std::uint64_t ViewOffsetOf(const FramedBody& body, const ChainCursor& at) {
  assert(at.node >= body.view && at.node < body.view + body.viewCount);
  std::uint64_t offset = static_cast<std::uint64_t>(at.pos - at.node->data);
  for (const ChunkNode* node = body.view; node != at.node; ++node) {
    offset += node->length;
  }
  return offset;
}

ChainCursor ChainPositionOf(const FramedBody& body, std::uint64_t offset,
                            ChunkPlace* chunk) {
  assert(offset < body.length);
  ChainCursor c = body.first;
  bool ended = false;
  ChainCursor last;
  FindChunk find{offset, chunk};
  const Walk walk = WalkChunks(&c, &ended, &last, &find);
  assert(walk == Walk::kStopped);
  (void)walk;
  ChainCursor at = chunk->data;
  const bool inside =
      Advance(&at, static_cast<std::uint32_t>(offset - chunk->offset));
  assert(inside);
  (void)inside;
  return at;
}

std::uint32_t FormatHex(std::uint32_t value, char* out) {
  char reversed[8];
  std::uint32_t n = 0;
  do {
    reversed[n++] = "0123456789abcdef"[value % 16];
    value /= 16;
  } while (value != 0);
  for (std::uint32_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

void ReleaseFraming(const WorkingHeap& heap, FramedBody* body) {
  heap.release(heap.opaque, body->view);
  *body = FramedBody{};
}
