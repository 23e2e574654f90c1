#include "tagging/body_encoding.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>

#include "tagging/deflate_cut.h"
#include "tagging/input_bits.h"
#include "tagging/zlib_heap.h"

namespace {

constexpr std::size_t kWindow = 32768;
// The tail is most of the cost of a compressed page; zlib's fastest level
// compresses it in about half the time of level 6.
constexpr int kLevel = 1;
// A short rest (the tag near the page's end, the usual case) is compressed
// with a small window and hash: setting up zlib's full-size state and a
// 32 KB dictionary would cost more than compressing it.
constexpr std::uint64_t kShortRest = 4096;
constexpr int kShortWindowBits = 12;
constexpr int kShortMemLevel = 4;

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

// Adler-32 of A from that of A + B, that of B and B's length: with n the
// length, a = a1 + a2 - 1 and b = b1 + b2 + n (a1 - 1), modulo 65521.
std::uint32_t AdlerWithout(std::uint32_t whole, std::uint32_t tail,
                           std::uint64_t tailLength) {
  constexpr std::uint64_t kBase = 65521;
  const std::uint64_t n = tailLength % kBase;
  const std::uint64_t a = whole & 0xFFFF, b = whole >> 16;
  const std::uint64_t a2 = tail & 0xFFFF, b2 = tail >> 16;
  const std::uint64_t a1 = (a + kBase + 1 - a2) % kBase;
  const std::uint64_t b1 =
      (b + 2 * kBase - b2 + kBase * kBase - n * ((a1 + kBase - 1) % kBase)) %
      kBase;
  return static_cast<std::uint32_t>(b1 << 16 | a1);
}

// Where the new blocks begin: the input bytes kept as they are, then
// `copyLength` more input bytes copied (a final block's header among them
// has its BFINAL bit cleared), then `bitCount` bits, then the new blocks.
struct Continuation {
  std::uint64_t keptBytes;
  std::uint64_t pageBytes;  // the page bytes all that decodes to
  std::uint64_t copyLength;
  std::uint32_t clearBit;  // BFINAL's bit in the copied bytes; ~0u: none
  std::uint32_t bits;
  unsigned bitCount;  // at most 7 + 15
  bool hasCheck;      // `check` is the Adler-32 of the page bytes before
  std::uint32_t check;
};

// The continuation from a block boundary.
Continuation FromBoundary(const BlockBoundary& from) {
  return Continuation{from.keptBytes, from.pageBytes, 0,    ~0u,
                      from.value,     from.bits,      true, from.check};
}

// The continuation after the cut's last symbol: the cut block ends with
// its own end-of-block code, and when it was the final one, its header
// is copied to clear BFINAL.
bool FromCut(const DecodedBody& decoded, const DeflateCut& cut,
             Continuation* next) {
  const std::uint64_t lastByte = cut.bit / 8;
  const auto used = static_cast<unsigned>(cut.bit % 8);
  unsigned char partial = 0;
  if (used > 0 && !CopyInput(decoded.input, lastByte, 1,
                             reinterpret_cast<char*>(&partial))) {
    return false;
  }
  std::uint32_t bits = partial & ((1u << used) - 1);
  *next = Continuation{lastByte, cut.pageBytes, 0, ~0u, 0, 0, false, 0};
  if (cut.finalBlock) {
    const std::uint64_t headerByte = cut.blockBit / 8;
    const auto bfinal = static_cast<std::uint32_t>(cut.blockBit % 8);
    if (headerByte == lastByte) {
      bits &= ~(1u << bfinal);
    } else {
      next->keptBytes = headerByte;
      next->copyLength = lastByte - headerByte;
      next->clearBit = bfinal;
    }
  }
  next->bits = bits | static_cast<std::uint32_t>(cut.endCode) << used;
  next->bitCount = used + cut.endBits;
  return true;
}

// The last entry of a table in page order that starts at or before `at`,
// or its first entry when none does.
template <typename Item>
const Item& LastAtOrBefore(const HeapArray<Item>& table, std::uint64_t at) {
  assert(table.count > 0);
  const Item* begin = table.items;
  const Item* end = begin + table.count;
  const Item* after = std::upper_bound(
      begin, end, at, [](std::uint64_t offset, const Item& item) {
        return offset < item.pageBytes;
      });
  return after == begin ? *begin : *(after - 1);
}

// The continuation nearest before `at`: after the last whole symbol when
// the walk reads the block that holds it, else at the last block boundary.
// False when memory for the walk is refused.
bool ChooseContinuation(const WorkingHeap& heap, const DecodedBody& decoded,
                        std::uint64_t at, Continuation* next) {
  const BlockBoundary& boundary = LastAtOrBefore(decoded.boundaries, at);
  assert(boundary.pageBytes <= at);
  *next = FromBoundary(boundary);
  if (boundary.pageBytes == at || decoded.resumes.count == 0) return true;
  const ResumePoint& from = LastAtOrBefore(decoded.resumes, at);
  if (from.pageBytes > at) return true;
  DeflateCut cut;
  switch (FindCut(heap, decoded.input, decoded.page, decoded.pageLength, from,
                  at, &cut)) {
    case Walk::kNoMemory:
      return false;
    case Walk::kCut:
      // Nearer than the boundary, or no gain.
      if (cut.pageBytes > boundary.pageBytes) {
        Continuation fromCut;
        if (FromCut(decoded, cut, &fromCut)) *next = fromCut;
      }
      return true;
    case Walk::kFallBack:
    case Walk::kMismatch:
      return true;
  }
  return true;
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
  assert(at < decoded.pageLength && decoded.boundaries.count > 0);
  Continuation from;
  if (!ChooseContinuation(heap, decoded, at, &from)) return false;
  assert(from.pageBytes <= at);

  std::uint64_t insertLength = 0;
  for (std::uint32_t i = 0; i < insertCount; ++i)
    insertLength += insert[i].length;
  const std::uint64_t restLength =
      decoded.pageLength - from.pageBytes + insertLength;

  // Room for the copied bytes, the new blocks and the trailer, so that
  // the output is rarely grown.
  z_stream stream;
  PrepareStream(heap, &stream);
  const bool shortRest = restLength <= kShortRest;
  if (deflateInit2(&stream, kLevel, Z_DEFLATED,
                   shortRest ? -kShortWindowBits : -MAX_WBITS,
                   shortRest ? kShortMemLevel : 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  bool ok = ReserveBuffer(
      heap, tail,
      from.copyLength + 4 +
          deflateBound(&stream, static_cast<uLong>(restLength)) + 16,
      SIZE_MAX / 2);
  if (ok && from.copyLength > 0) {
    ok = CopyInput(decoded.input, from.keptBytes, from.copyLength,
                   tail->bytes + tail->length);
    tail->bytes[tail->length] =
        static_cast<char>(tail->bytes[tail->length] & ~(1u << from.clearBit));
    tail->length += from.copyLength;
  }
  // Whole bytes of the bits to come first are written here, the rest
  // primed (deflatePrime takes few bits at a time in older zlib).
  std::uint32_t bits = from.bits;
  unsigned bitCount = from.bitCount;
  for (; ok && bitCount >= 8; bitCount -= 8, bits >>= 8)
    tail->bytes[tail->length++] = static_cast<char>(bits & 0xFF);
  if (ok && bitCount > 0) {
    ok = deflatePrime(&stream, static_cast<int>(bitCount),
                      static_cast<int>(bits & ((1u << bitCount) - 1))) == Z_OK;
  }
  const std::uint64_t windowLimit =
      shortRest ? std::uint64_t{1} << kShortWindowBits : kWindow;
  const std::uint64_t window =
      from.pageBytes < windowLimit ? from.pageBytes : windowLimit;
  if (ok && window > 0) {
    ok = deflateSetDictionary(&stream,
                              reinterpret_cast<const Bytef*>(
                                  decoded.page + from.pageBytes - window),
                              static_cast<uInt>(window)) == Z_OK;
  }

  // Adler-32 is cheap: it is taken over what is compressed anew. CRC-32
  // is derived from the whole page's (checked while inflating) and the
  // few bytes from the tag on, since every step of it is linear: with
  // M_n(c) the CRC c carried over n more bytes (crc32_combine(c, 0, n)),
  // crc(A + B) = M_|B|(crc(A)) ^ crc(B).
  const bool zlibFormat = decoded.format == BodyFormat::kZlib;
  auto feed = [&](const char* bytes, std::size_t length, uLong* adler) {
    if (!ok || length == 0) return;
    if (zlibFormat) {
      *adler = adler32(*adler, reinterpret_cast<const Bytef*>(bytes),
                       static_cast<uInt>(length));
    }
    ok = DeflateInto(heap, &stream, bytes, length, Z_NO_FLUSH, tail);
  };
  const uLong empty = adler32(0L, Z_NULL, 0);
  uLong before = empty, inserted = empty, after = empty;
  feed(decoded.page + from.pageBytes, at - from.pageBytes, &before);
  for (std::uint32_t i = 0; i < insertCount; ++i)
    feed(insert[i].bytes, insert[i].length, &inserted);
  feed(decoded.page + at, decoded.pageLength - at, &after);
  ok = ok && DeflateInto(heap, &stream, nullptr, 0, Z_FINISH, tail);
  deflateEnd(&stream);

  if (ok && decoded.format != BodyFormat::kRawDeflate) {
    ok = ReserveBuffer(heap, tail, 8, SIZE_MAX / 2);
  }
  if (ok && decoded.format == BodyFormat::kGzip) {
    uLong crcInserted = crc32(0L, Z_NULL, 0);
    for (std::uint32_t i = 0; i < insertCount; ++i) {
      if (insert[i].length == 0) continue;  // null bytes would restart it
      crcInserted =
          crc32(crcInserted, reinterpret_cast<const Bytef*>(insert[i].bytes),
                insert[i].length);
    }
    const uLong crcAfter = crc32(
        crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(decoded.page + at),
        static_cast<uInt>(decoded.pageLength - at));
    // The page is crc(P + S) with S the bytes from the tag on; the tagged
    // page is crc(P + I + S) = M_|I|(M_|S|(crc(P))) ^ M_|S|(crc(I)) ^ crc(S),
    // and M_|S|(crc(P)) = crc(P + S) ^ crc(S).
    const uLong tagged =
        crc32_combine(decoded.check ^ crcAfter, 0,
                      static_cast<z_off_t>(insertLength)) ^
        crc32_combine(crcInserted, 0,
                      static_cast<z_off_t>(decoded.pageLength - at)) ^
        crcAfter;
    AppendWord(tail, static_cast<std::uint32_t>(tagged), false);
    AppendWord(tail,
               static_cast<std::uint32_t>(decoded.pageLength + insertLength),
               false);
  } else if (ok && zlibFormat) {
    const auto afterLength = static_cast<z_off_t>(decoded.pageLength - at);
    const auto beforeLength = static_cast<z_off_t>(at - from.pageBytes);
    // The page's Adler-32 before the new blocks, unless the boundary had it.
    const uLong front =
        from.hasCheck ? from.check
                      : AdlerWithout(decoded.check,
                                     static_cast<std::uint32_t>(adler32_combine(
                                         before, after, afterLength)),
                                     decoded.pageLength - from.pageBytes);
    const uLong tagged = adler32_combine(
        adler32_combine(adler32_combine(front, before, beforeLength), inserted,
                        static_cast<z_off_t>(insertLength)),
        after, afterLength);
    AppendWord(tail, static_cast<std::uint32_t>(tagged), true);
  }
  if (!ok) {
    ReleaseBuffer(heap, tail);
    return false;
  }
  *keptBytes = from.keptBytes;
  return true;
}
