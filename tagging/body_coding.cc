#include "tagging/body_coding.h"

#include <zlib.h>

#include <cassert>
#include <climits>
#include <cstddef>
#include <cstring>

namespace {

// Boundaries closer than this to the one before are not kept: the table
// stays small, and continuing from a slightly earlier one costs little.
constexpr std::uint64_t kBoundarySpacing = 1024;
constexpr std::size_t kWindow = 32768;
constexpr int kLevel = 1;

voidpf ZAlloc(voidpf opaque, uInt items, uInt size) {
  const auto* heap = static_cast<const WorkingHeap*>(opaque);
  if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
  return heap->allocate(heap->opaque, static_cast<std::size_t>(items) * size);
}

void ZFree(voidpf opaque, voidpf address) {
  const auto* heap = static_cast<const WorkingHeap*>(opaque);
  heap->release(heap->opaque, address);
}

void PrepareStream(const WorkingHeap& heap, z_stream* stream) {
  std::memset(stream, 0, sizeof *stream);
  stream->zalloc = &ZAlloc;
  stream->zfree = &ZFree;
  stream->opaque = const_cast<WorkingHeap*>(&heap);
}

const ChunkNode* NextWithBytes(const ChunkNode* node) {
  do {
    node = node->next;
  } while (node != nullptr && (node->data == nullptr || node->length == 0));
  return node;
}

// The input's length and its last four bytes (zero-padded when shorter).
void MeasureInput(const ChainCursor& first, std::uint64_t* length,
                  unsigned char last[4]) {
  std::memset(last, 0, 4);
  *length = 0;
  const char* pos = first.pos;
  for (const ChunkNode* node = first.node; node != nullptr;
       node = NextWithBytes(node), pos = node != nullptr ? node->data : nullptr) {
    const char* end = node->data + node->length;
    *length += static_cast<std::uint64_t>(end - pos);
    for (const char* p = end - pos > 4 ? end - 4 : pos; p < end; ++p) {
      std::memmove(last, last + 1, 3);
      last[3] = static_cast<unsigned char>(*p);
    }
  }
}

bool IsZlibHeader(unsigned char cmf, unsigned char flg) {
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (flg & 0x20) == 0 &&
         (cmf * 256u + flg) % 31 == 0;
}

bool AddBoundary(const WorkingHeap& heap, DecodedBody* decoded,
                 const BlockBoundary& boundary) {
  if (decoded->boundaryCount > 0 &&
      boundary.pageBytes <
          decoded->boundaries[decoded->boundaryCount - 1].pageBytes + kBoundarySpacing) {
    return true;
  }
  if (decoded->boundaryCount == decoded->boundaryCapacity) {
    const std::uint32_t capacity =
        decoded->boundaryCapacity == 0 ? 64 : decoded->boundaryCapacity * 2;
    auto* grown = static_cast<BlockBoundary*>(
        heap.allocate(heap.opaque, capacity * sizeof(BlockBoundary)));
    if (grown == nullptr) return false;
    if (decoded->boundaryCount > 0) {
      std::memcpy(grown, decoded->boundaries,
                  decoded->boundaryCount * sizeof(BlockBoundary));
    }
    heap.release(heap.opaque, decoded->boundaries);
    decoded->boundaries = grown;
    decoded->boundaryCapacity = capacity;
  }
  decoded->boundaries[decoded->boundaryCount++] = boundary;
  return true;
}

enum class Inflated {
  kWhole,    // one stream, inflated wholly, ending exactly at the input's end
  kCorrupt,  // not such a stream
  kRefused,  // memory refused, or the page is too large
};

// Inflates the input from `first` into a new page, noting block boundaries.
Inflated InflateAll(const WorkingHeap& heap, int windowBits,
                    const ChainCursor& first, std::uint64_t sizeHint,
                    DecodedBody* decoded) {
  HeapBuffer page{nullptr, 0, 0};
  z_stream stream;
  PrepareStream(heap, &stream);
  if (inflateInit2(&stream, windowBits) != Z_OK) return Inflated::kRefused;

  Inflated result = Inflated::kCorrupt;
  bool ended = false;
  const ChunkNode* nextNode = first.node;
  const char* nextPos = first.pos;
  const Bytef* pieceStart = nullptr;
  unsigned char lastTaken = 0;
  bool drained = false;
  // A raw stream has no header; its start is its first boundary.
  if (windowBits < 0 && !AddBoundary(heap, decoded, BlockBoundary{0, 0, 0, 0, 0})) {
    result = Inflated::kRefused;
    goto done;
  }
  if (!ReserveBuffer(heap, &page, sizeHint, kMaxDecodedPage)) {
    result = Inflated::kRefused;
    goto done;
  }
  for (;;) {
    if (stream.avail_in == 0 && nextNode == nullptr) {
      // Stopped at the last block's end, inflate needs one more call (with
      // no input) to end the stream; a second one means it ran out.
      if (drained) break;
      drained = true;
    } else if (stream.avail_in == 0) {
      pieceStart = reinterpret_cast<const Bytef*>(nextPos);
      stream.next_in = const_cast<Bytef*>(pieceStart);
      stream.avail_in =
          static_cast<uInt>(nextNode->data + nextNode->length - nextPos);
      nextNode = NextWithBytes(nextNode);
      nextPos = nextNode != nullptr ? nextNode->data : nullptr;
    }
    if (page.length == page.capacity &&
        !ReserveBuffer(heap, &page, 1, kMaxDecodedPage)) {
      result = Inflated::kRefused;  // memory, or over the limit
      goto done;
    }
    const std::size_t room = page.capacity - page.length;
    stream.next_out = reinterpret_cast<Bytef*>(page.bytes + page.length);
    stream.avail_out = room > UINT_MAX ? UINT_MAX : static_cast<uInt>(room);
    const uInt outBefore = stream.avail_out;
    const uInt inBefore = stream.avail_in;
    const int ret = inflate(&stream, Z_BLOCK);
    page.length += outBefore - stream.avail_out;
    if (stream.next_in > pieceStart) lastTaken = stream.next_in[-1];
    if (ret == Z_STREAM_END) {
      ended = true;
      break;
    }
    if (ret == Z_MEM_ERROR) {
      result = Inflated::kRefused;
      goto done;
    }
    if (ret != Z_OK && ret != Z_BUF_ERROR) goto done;  // corrupt
    if (ret == Z_BUF_ERROR && stream.avail_in > 0 && stream.avail_out > 0 &&
        stream.avail_in == inBefore) {
      goto done;  // no progress with input and room: never expected
    }
    if (ret == Z_OK) drained = false;  // progress: it may go on
    if ((stream.data_type & 128) != 0 && (stream.data_type & 64) == 0) {
      // Between blocks: the unused bits of the last byte taken begin the
      // next block, so that byte is rewritten and its used bits primed.
      const int unused = stream.data_type & 7;
      BlockBoundary boundary{stream.total_in, page.length,
                             static_cast<std::uint32_t>(stream.adler), 0, 0};
      if (unused > 0) {
        boundary.keptBytes -= 1;
        boundary.bits = static_cast<std::uint8_t>(8 - unused);
        boundary.value =
            static_cast<std::uint8_t>(lastTaken & ((1u << boundary.bits) - 1));
      }
      if (!AddBoundary(heap, decoded, boundary)) {
        result = Inflated::kRefused;
        goto done;
      }
    }
  }
  // Whole, and nothing after the stream's end.
  if (ended && stream.avail_in == 0 && nextNode == nullptr) {
    result = Inflated::kWhole;
    decoded->page = page.bytes;
    decoded->pageLength = page.length;
    decoded->inputLength = stream.total_in;
    decoded->check = static_cast<std::uint32_t>(stream.adler);
    page = HeapBuffer{nullptr, 0, 0};
  }
done:
  inflateEnd(&stream);
  ReleaseBuffer(heap, &page);
  return result;
}

// Feeds `length` bytes to the deflate stream, growing `out` as needed.
bool DeflateInto(const WorkingHeap& heap, z_stream* stream, const char* bytes,
                 std::size_t length, int flush, HeapBuffer* out) {
  stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
  stream->avail_in = static_cast<uInt>(length);
  for (;;) {
    if (out->length == out->capacity &&
        !ReserveBuffer(heap, out, 4096, SIZE_MAX / 2)) {
      return false;
    }
    const std::size_t room = out->capacity - out->length;
    stream->next_out = reinterpret_cast<Bytef*>(out->bytes + out->length);
    stream->avail_out = room > UINT_MAX ? UINT_MAX : static_cast<uInt>(room);
    const uInt before = stream->avail_out;
    const int ret = deflate(stream, flush);
    out->length += before - stream->avail_out;
    if (flush == Z_FINISH) {
      if (ret == Z_STREAM_END) return true;
      if (ret != Z_OK && ret != Z_BUF_ERROR) return false;
      continue;
    }
    if (ret != Z_OK && ret != Z_BUF_ERROR) return false;
    if (stream->avail_in == 0 && stream->avail_out > 0) return true;
  }
}

void AppendWord(HeapBuffer* out, std::uint32_t word, bool bigEndian) {
  for (int i = 0; i < 4; ++i) {
    const int shift = bigEndian ? 24 - 8 * i : 8 * i;
    out->bytes[out->length++] = static_cast<char>((word >> shift) & 0xFF);
  }
}

}  // namespace

Decoding DecodeBody(const WorkingHeap& heap, ContentCoding coding,
                    const ChainCursor* first, DecodedBody* decoded) {
  *decoded = DecodedBody{};
  if (first == nullptr || !HasByte(*first)) return Decoding::kPlain;
  ChainCursor second = *first;
  if (!StepForward(&second)) return Decoding::kPlain;
  const unsigned char b0 = ByteAt(*first);
  const unsigned char b1 = ByteAt(second);
  std::uint64_t inputLength = 0;
  unsigned char last[4];
  MeasureInput(*first, &inputLength, last);
  // Room for the page as the input suggests, so that it is rarely copied.
  std::uint64_t hint = inputLength * 4;

  int windowBits = 0;
  if (coding == ContentCoding::kGzip) {
    if (b0 != 0x1F || b1 != 0x8B) return Decoding::kPlain;
    decoded->format = BodyFormat::kGzip;
    windowBits = 16 + MAX_WBITS;
    // The member's stated size, trusted only as a first guess.
    hint = (last[0] | last[1] << 8 | last[2] << 16 |
            static_cast<std::uint32_t>(last[3]) << 24) + 1u;
  } else if (coding == ContentCoding::kDeflate && IsZlibHeader(b0, b1)) {
    decoded->format = BodyFormat::kZlib;
    windowBits = MAX_WBITS;
  } else if (coding == ContentCoding::kDeflate) {
    decoded->format = BodyFormat::kRawDeflate;
    windowBits = -MAX_WBITS;
  } else {
    return Decoding::kPlain;
  }
  // Deflate expands at most about 1032 times; a larger stated size is a lie.
  if (hint > inputLength * 1032 + 64) hint = inputLength * 1032 + 64;
  if (hint > kMaxDecodedPage) hint = kMaxDecodedPage;

  switch (InflateAll(heap, windowBits, *first, hint, decoded)) {
    case Inflated::kWhole:
      return Decoding::kDecoded;
    case Inflated::kCorrupt:
      ReleaseDecoded(heap, decoded);
      // Bytes that are not raw deflate are the page itself; a body that
      // announced its format and broke it is left alone.
      return windowBits < 0 ? Decoding::kPlain : Decoding::kRefuse;
    case Inflated::kRefused:
      break;
  }
  ReleaseDecoded(heap, decoded);
  return Decoding::kRefuse;
}

bool EncodeTagged(const WorkingHeap& heap, const DecodedBody& decoded,
                  std::uint64_t at, const InsertText* insert,
                  std::uint32_t insertCount, std::uint64_t* keptBytes,
                  HeapBuffer* tail) {
  assert(at < decoded.pageLength && decoded.boundaryCount > 0);
  // The last boundary at or before the insertion point.
  std::uint32_t low = 0;
  std::uint32_t high = decoded.boundaryCount;
  while (high - low > 1) {
    const std::uint32_t mid = low + (high - low) / 2;
    if (decoded.boundaries[mid].pageBytes <= at) {
      low = mid;
    } else {
      high = mid;
    }
  }
  const BlockBoundary& from = decoded.boundaries[low];
  assert(from.pageBytes <= at);

  std::uint64_t insertLength = 0;
  for (std::uint32_t i = 0; i < insertCount; ++i) insertLength += insert[i].length;
  const std::uint64_t restLength = decoded.pageLength - from.pageBytes + insertLength;

  z_stream stream;
  PrepareStream(heap, &stream);
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, -MAX_WBITS, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  bool ok = true;
  if (from.bits > 0) ok = deflatePrime(&stream, from.bits, from.value) == Z_OK;
  const std::uint64_t window =
      from.pageBytes < kWindow ? from.pageBytes : kWindow;
  if (ok && window > 0) {
    ok = deflateSetDictionary(
             &stream,
             reinterpret_cast<const Bytef*>(decoded.page + from.pageBytes - window),
             static_cast<uInt>(window)) == Z_OK;
  }
  // Room for the new blocks and the trailer, so that the output is
  // rarely grown.
  ok = ok && ReserveBuffer(heap, tail,
                           deflateBound(&stream, static_cast<uLong>(restLength)) + 16,
                           SIZE_MAX / 2);

  // Adler-32 is cheap: it is taken over the new tail. CRC-32 is derived
  // from the whole page's (checked while inflating) and the few bytes from
  // the tag on, since every step of it is linear: with M_n(c) the CRC c
  // carried over n more bytes (crc32_combine(c, 0, n)),
  // crc(A + B) = M_|B|(crc(A)) ^ crc(B).
  const bool zlibFormat = decoded.format == BodyFormat::kZlib;
  uLong adler = adler32(0L, Z_NULL, 0);
  auto feed = [&](const char* bytes, std::size_t length) {
    if (!ok || length == 0) return;
    if (zlibFormat) {
      adler = adler32(adler, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(length));
    }
    ok = DeflateInto(heap, &stream, bytes, length, Z_NO_FLUSH, tail);
  };
  feed(decoded.page + from.pageBytes, at - from.pageBytes);
  for (std::uint32_t i = 0; i < insertCount; ++i) feed(insert[i].bytes, insert[i].length);
  feed(decoded.page + at, decoded.pageLength - at);
  ok = ok && DeflateInto(heap, &stream, nullptr, 0, Z_FINISH, tail);
  deflateEnd(&stream);

  if (ok && decoded.format != BodyFormat::kRawDeflate) {
    ok = ReserveBuffer(heap, tail, 8, SIZE_MAX / 2);
  }
  if (ok && decoded.format == BodyFormat::kGzip) {
    uLong inserted = crc32(0L, Z_NULL, 0);
    for (std::uint32_t i = 0; i < insertCount; ++i) {
      if (insert[i].length == 0) continue;  // null bytes would restart it
      inserted = crc32(inserted, reinterpret_cast<const Bytef*>(insert[i].bytes),
                       insert[i].length);
    }
    const uLong after = crc32(crc32(0L, Z_NULL, 0),
                              reinterpret_cast<const Bytef*>(decoded.page + at),
                              static_cast<uInt>(decoded.pageLength - at));
    // The page is crc(P + S) with S the bytes from the tag on; the tagged
    // page is crc(P + I + S) = M_|I|(M_|S|(crc(P))) ^ M_|S|(crc(I)) ^ crc(S),
    // and M_|S|(crc(P)) = crc(P + S) ^ crc(S).
    const uLong tagged =
        crc32_combine(decoded.check ^ after, 0, static_cast<z_off_t>(insertLength)) ^
        crc32_combine(inserted, 0, static_cast<z_off_t>(decoded.pageLength - at)) ^ after;
    AppendWord(tail, static_cast<std::uint32_t>(tagged), false);
    AppendWord(tail, static_cast<std::uint32_t>(decoded.pageLength + insertLength), false);
  } else if (ok && zlibFormat) {
    AppendWord(tail,
               static_cast<std::uint32_t>(adler32_combine(
                   from.check, adler, static_cast<z_off_t>(restLength))),
               true);
  }
  if (!ok) {
    ReleaseBuffer(heap, tail);
    return false;
  }
  *keptBytes = from.keptBytes;
  return true;
}

void ReleaseDecoded(const WorkingHeap& heap, DecodedBody* decoded) {
  heap.release(heap.opaque, decoded->page);
  heap.release(heap.opaque, decoded->boundaries);
  *decoded = DecodedBody{};
}
