#include "tagging/chunk_framing.h"

#include <cassert>
#include <cstddef>

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

// What a pass over the framing found; the second pass fills `body`.
struct Counts {
  std::uint32_t views;
  std::uint32_t chunks;
};

// One pass over the framing. With `body` null it only validates and
// counts; otherwise it fills the arrays the first pass sized.
bool WalkFraming(ChainCursor c, Counts* counts, FramedBody* body) {
  std::uint64_t offset = 0;
  bool ended = false;
  for (;;) {
    const ChainCursor sizeLine = c;
    ChainCursor afterDigits;
    std::uint32_t size = 0;
    if (!ReadSizeLine(&c, &size, &afterDigits, &ended)) return false;
    if (size == 0) {
      if (body != nullptr) body->lastChunk = sizeLine;
      break;
    }
    if (ended) return false;
    if (body != nullptr) {
      body->chunks[counts->chunks] =
          ChunkPlace{sizeLine, afterDigits, size, offset};
    }
    // The data, record by record: each piece is one view record.
    for (std::uint32_t left = size; left > 0;) {
      const auto inRecord =
          static_cast<std::uint32_t>(c.node->data + c.node->length - c.pos);
      const std::uint32_t take = left < inRecord ? left : inRecord;
      if (body != nullptr) {
        ChunkNode* view = &body->view[counts->views];
        view->data = c.pos;
        view->length = take;
        body->sources[counts->views] = ViewSource{c.node, offset, counts->chunks};
      }
      ++counts->views;
      offset += take;
      left -= take;
      if (!Advance(&c, take)) return false;  // CRLF must follow the data
    }
    ++counts->chunks;
    if (!ReadCrLf(&c, &ended) || ended) return false;
  }
  // Trailer lines, then the empty line that ends the response.
  while (!ended) {
    if (ByteAt(c) == '\r') return ReadCrLf(&c, &ended) && ended;
    while (ByteAt(c) != '\r') {
      if (ByteAt(c) == '\n' || !Next(&c)) return false;
    }
    if (!ReadCrLf(&c, &ended)) return false;
  }
  return false;  // the response ended without the closing CRLF
}

}  // namespace

Framing ReadFraming(const WorkingHeap& heap, const ChainCursor* first,
                    FramedBody* body) {
  if (first == nullptr || !HasByte(*first) || HexValue(ByteAt(*first)) < 0) {
    return Framing::kPlain;
  }
  Counts counts{0, 0};
  if (!WalkFraming(*first, &counts, nullptr)) return Framing::kBroken;

  *body = FramedBody{};
  const std::size_t bytes = counts.views * sizeof(ChunkNode) +
                            counts.chunks * sizeof(ChunkPlace) +
                            counts.views * sizeof(ViewSource);
  char* block = bytes > 0 ? static_cast<char*>(heap.allocate(heap.opaque, bytes))
                          : nullptr;
  if (bytes > 0 && block == nullptr) return Framing::kBroken;
  static_assert(alignof(ChunkPlace) <= alignof(ChunkNode) &&
                    alignof(ViewSource) <= alignof(ChunkNode),
                "one block holds the three arrays");
  body->view = reinterpret_cast<ChunkNode*>(block);
  body->chunks = reinterpret_cast<ChunkPlace*>(block + counts.views * sizeof(ChunkNode));
  body->sources = reinterpret_cast<ViewSource*>(
      block + counts.views * sizeof(ChunkNode) + counts.chunks * sizeof(ChunkPlace));
  Counts filled{0, 0};
  const bool ok = WalkFraming(*first, &filled, body);
  assert(ok && filled.views == counts.views && filled.chunks == counts.chunks);
  (void)ok;
  body->viewCount = counts.views;
  body->chunkCount = counts.chunks;
  body->length = 0;
  for (std::uint32_t i = 0; i < counts.views; ++i) {
    ChunkNode* view = &body->view[i];
    view->prev = i == 0 ? view : &body->view[i - 1];  // closed at its head
    view->next = i + 1 < counts.views ? &body->view[i + 1] : nullptr;
    body->length += view->length;
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
  *body = FramedBody{};
}
