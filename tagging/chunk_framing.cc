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
bool ReadSizeLine(ChainCursor* c, std::uint32_t* size,
                  ChainCursor* afterDigits, bool* ended) {
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

// Makes room for one more element in `*array` (of `count` used), doubling
// it in `heap`. False when refused.
template <typename T>
bool Grow(const WorkingHeap& heap, T** array, std::uint32_t count,
          std::uint32_t* capacity) {
  if (count < *capacity) return true;
  if (*capacity > UINT32_MAX / 2 || *capacity > SIZE_MAX / 2 / sizeof(T)) return false;
  const std::uint32_t grown = *capacity == 0 ? 16 : *capacity * 2;
  auto* bigger = static_cast<T*>(heap.allocate(heap.opaque, grown * sizeof(T)));
  if (bigger == nullptr) return false;
  if (count > 0) std::memcpy(static_cast<void*>(bigger), *array, count * sizeof(T));
  heap.release(heap.opaque, *array);
  *array = bigger;
  *capacity = grown;
  return true;
}

enum class Walk { kWellFormed, kBroken, kRefused };

// One pass over the framing, filling `body`'s arrays as it goes.
Walk WalkFraming(const WorkingHeap& heap, ChainCursor c, FramedBody* body) {
  std::uint32_t viewCapacity = 0;
  std::uint32_t chunkCapacity = 0;
  std::uint64_t offset = 0;
  bool ended = false;
  for (;;) {
    const ChainCursor sizeLine = c;
    ChainCursor afterDigits;
    std::uint32_t size = 0;
    if (!ReadSizeLine(&c, &size, &afterDigits, &ended)) return Walk::kBroken;
    if (size == 0) {
      body->lastChunk = sizeLine;
      break;
    }
    if (ended) return Walk::kBroken;
    if (!Grow(heap, &body->chunks, body->chunkCount, &chunkCapacity)) {
      return Walk::kRefused;
    }
    body->chunks[body->chunkCount] = ChunkPlace{sizeLine, afterDigits, size, offset};
    // The data, record by record: each piece is one view record.
    for (std::uint32_t left = size; left > 0;) {
      const auto inRecord =
          static_cast<std::uint32_t>(c.node->data + c.node->length - c.pos);
      const std::uint32_t take = left < inRecord ? left : inRecord;
      const std::uint32_t before = viewCapacity;
      if (!Grow(heap, &body->view, body->viewCount, &viewCapacity)) return Walk::kRefused;
      if (viewCapacity != before) {
        std::uint32_t sourceCapacity = before;
        if (!Grow(heap, &body->sources, body->viewCount, &sourceCapacity)) {
          return Walk::kRefused;
        }
      }
      ChunkNode* view = &body->view[body->viewCount];
      view->data = c.pos;
      view->length = take;
      body->sources[body->viewCount] = ViewSource{c.node, offset, body->chunkCount};
      ++body->viewCount;
      offset += take;
      left -= take;
      if (!Advance(&c, take)) return Walk::kBroken;  // CRLF must follow the data
    }
    ++body->chunkCount;
    if (!ReadCrLf(&c, &ended) || ended) return Walk::kBroken;
  }
  body->length = offset;
  // Trailer lines, then the empty line that ends the response.
  while (!ended) {
    if (ByteAt(c) == '\r') {
      return ReadCrLf(&c, &ended) && ended ? Walk::kWellFormed : Walk::kBroken;
    }
    while (ByteAt(c) != '\r') {
      if (ByteAt(c) == '\n' || !Next(&c)) return Walk::kBroken;
    }
    if (!ReadCrLf(&c, &ended)) return Walk::kBroken;
  }
  return Walk::kBroken;  // the response ended without the closing CRLF
}

}  // namespace

Framing ReadFraming(const WorkingHeap& heap, const ChainCursor* first,
                    FramedBody* body) {
  *body = FramedBody{};
  if (first == nullptr || !HasByte(*first) || HexValue(ByteAt(*first)) < 0) {
    return Framing::kPlain;
  }
  const Walk walk = WalkFraming(heap, *first, body);
  if (walk != Walk::kWellFormed) {
    ReleaseFraming(heap, body);
    return walk == Walk::kRefused ? Framing::kRefused : Framing::kBroken;
  }
  // The view's records are linked only now that the array stays put.
  for (std::uint32_t i = 0; i < body->viewCount; ++i) {
    ChunkNode* view = &body->view[i];
    view->prev = i == 0 ? view : &body->view[i - 1];  // closed at its head
    view->next = i + 1 < body->viewCount ? &body->view[i + 1] : nullptr;
  }
  return Framing::kFramed;
}

ChainCursor ChainPositionOf(const FramedBody& body, const ChainCursor& at,
                            std::uint32_t* chunk, std::uint32_t* offset) {
  const auto index = static_cast<std::size_t>(at.node - body.view);
  assert(index < body.viewCount);
  const ViewSource& source = body.sources[index];
  *chunk = source.chunk;
  *offset = static_cast<std::uint32_t>(source.offset - body.chunks[source.chunk].offset +
                                       static_cast<std::uint64_t>(at.pos - at.node->data));
  return ChainCursor{source.record, at.pos};
}

ChainCursor ViewPositionOf(const FramedBody& body, std::uint64_t offset) {
  assert(offset < body.length);
  // The last record that starts at or before the offset.
  std::uint32_t low = 0;
  std::uint32_t high = body.viewCount;
  while (high - low > 1) {
    const std::uint32_t mid = low + (high - low) / 2;
    if (body.sources[mid].offset <= offset) {
      low = mid;
    } else {
      high = mid;
    }
  }
  const ChunkNode* view = &body.view[low];
  return ChainCursor{view, view->data + (offset - body.sources[low].offset)};
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
  heap.release(heap.opaque, body->sources);
  heap.release(heap.opaque, body->chunks);
  *body = FramedBody{};
}
