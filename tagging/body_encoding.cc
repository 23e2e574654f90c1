#include "tagging/body_encoding.h"

#include <zlib.h>

#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>

#include "tagging/zlib_heap.h"

namespace {

constexpr std::size_t kWindow = 32768;
// The tail is most of the cost of a compressed page; zlib's fastest level
// compresses it in about half the time of level 6.
constexpr int kLevel = 1;

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
  for (std::uint32_t i = 0; i < insertCount; ++i)
    insertLength += insert[i].length;
  const std::uint64_t restLength =
      decoded.pageLength - from.pageBytes + insertLength;

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
    ok = deflateSetDictionary(&stream,
                              reinterpret_cast<const Bytef*>(
                                  decoded.page + from.pageBytes - window),
                              static_cast<uInt>(window)) == Z_OK;
  }
  // Room for the new blocks and the trailer, so that the output is
  // rarely grown.
  ok = ok &&
       ReserveBuffer(heap, tail,
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
      adler = adler32(adler, reinterpret_cast<const Bytef*>(bytes),
                      static_cast<uInt>(length));
    }
    ok = DeflateInto(heap, &stream, bytes, length, Z_NO_FLUSH, tail);
  };
  feed(decoded.page + from.pageBytes, at - from.pageBytes);
  for (std::uint32_t i = 0; i < insertCount; ++i)
    feed(insert[i].bytes, insert[i].length);
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
      inserted =
          crc32(inserted, reinterpret_cast<const Bytef*>(insert[i].bytes),
                insert[i].length);
    }
    const uLong after = crc32(crc32(0L, Z_NULL, 0),
                              reinterpret_cast<const Bytef*>(decoded.page + at),
                              static_cast<uInt>(decoded.pageLength - at));
    // The page is crc(P + S) with S the bytes from the tag on; the tagged
    // page is crc(P + I + S) = M_|I|(M_|S|(crc(P))) ^ M_|S|(crc(I)) ^ crc(S),
    // and M_|S|(crc(P)) = crc(P + S) ^ crc(S).
    const uLong tagged =
        crc32_combine(decoded.check ^ after, 0,
                      static_cast<z_off_t>(insertLength)) ^
        crc32_combine(inserted, 0,
                      static_cast<z_off_t>(decoded.pageLength - at)) ^
        after;
    AppendWord(tail, static_cast<std::uint32_t>(tagged), false);
    AppendWord(tail,
               static_cast<std::uint32_t>(decoded.pageLength + insertLength),
               false);
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
