#include "tagging/body_coding.h"

#include <zlib.h>

#include <cassert>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tagging/zlib_heap.h"

namespace {

// Boundaries closer than this to the one before are not kept: the table
// stays small, and continuing from a slightly earlier one costs little.
constexpr std::uint64_t kBoundarySpacing = 1024;

// The input's length and its last four bytes (zero-padded when shorter).
void MeasureInput(const ChainCursor& first, std::uint64_t* length,
                  unsigned char last[4]) {
  std::memset(last, 0, 4);
  *length = 0;
  const char* pos = first.pos;
  for (const ChunkNode* node = first.node; node != nullptr;
       node = NextRecordWithBytes(node),
                        pos = node != nullptr ? node->data : nullptr) {
    const char* end = node->data + node->length;
    *length += static_cast<std::uint64_t>(end - pos);
    for (const char* p = end - pos > 4 ? end - 4 : pos; p < end; ++p) {
      std::memmove(last, last + 1, 3);
      last[3] = static_cast<unsigned char>(*p);
    }
  }
}

// A zlib header: method 8, a window of at most 32 KB, the check bits right.
// Whether it asks for a preset dictionary is the FDICT bit of `flg`.
bool IsZlibHeader(unsigned char cmf, unsigned char flg) {
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256u + flg) % 31 == 0;
}
constexpr unsigned char kPresetDictionary = 0x20;

bool AddBoundary(const WorkingHeap& heap, DecodedBody* decoded,
                 const BlockBoundary& boundary) {
  const HeapArray<BlockBoundary>& table = decoded->boundaries;
  if (table.count > 0 &&
      boundary.pageBytes <
          table.items[table.count - 1].pageBytes + kBoundarySpacing) {
    return true;
  }
  return AppendItem(heap, &decoded->boundaries, boundary);
}

// A later point at the same page offset replaces the one before (it is
// nearer whatever follows); one close after the one before is not kept.
bool AddResume(const WorkingHeap& heap, DecodedBody* decoded,
               const ResumePoint& point) {
  if (decoded->resumes.count > 0) {
    ResumePoint* last = &decoded->resumes.items[decoded->resumes.count - 1];
    if (point.pageBytes == last->pageBytes) {
      *last = point;
      return true;
    }
    if (point.pageBytes < last->pageBytes + kBoundarySpacing) return true;
  }
  return AppendItem(heap, &decoded->resumes, point);
}

enum class Inflated {
  kWhole,     // one stream, inflated wholly, ending exactly at the input's end
  kTrailing,  // one whole stream, with bytes after its end
  kCorrupt,   // no whole stream: it breaks, or the input ends inside it
  kTooLarge,  // the page is over kMaxDecodedPage
  kRefused,   // memory refused
};

// The page buffer holds one byte more than the largest page: a page of
// exactly kMaxDecodedPage still has room for inflate to end its stream,
// and a longer one shows as that one byte.
constexpr std::uint64_t kPageRoom = kMaxDecodedPage + 1;

// Why a page buffer could not grow by `more`: its limit, or memory.
Inflated Refusal(const HeapBuffer& page, std::size_t more) {
  return page.length + more > kPageRoom ? Inflated::kTooLarge
                                        : Inflated::kRefused;
}

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
  // Where the block being inflated begins (a raw stream's first at 0),
  // and the page length at which inflate next stops to note a resume
  // point inside it.
  bool inBlocks = windowBits < 0;
  std::uint64_t blockBit = 0;
  std::uint64_t nextResume = kResumeSpacing;
  // A raw stream has no header; its start is its first boundary.
  if (windowBits < 0 &&
      (!AddBoundary(heap, decoded, BlockBoundary{0, 0, 0, 0, 0}) ||
       !AddResume(heap, decoded, ResumePoint{0, 0, 0}))) {
    result = Inflated::kRefused;
    goto done;
  }
  if (!ReserveBuffer(heap, &page, sizeHint, kPageRoom)) {
    result = Refusal(page, sizeHint);
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
      nextNode = NextRecordWithBytes(nextNode);
      nextPos = nextNode != nullptr ? nextNode->data : nullptr;
    }
    if (page.length == page.capacity &&
        !ReserveBuffer(heap, &page, 1, kPageRoom)) {
      result = Refusal(page, 1);
      goto done;
    }
    std::size_t room = page.capacity - page.length;
    if (nextResume - page.length < room) room = nextResume - page.length;
    stream.next_out = reinterpret_cast<Bytef*>(page.bytes + page.length);
    stream.avail_out = room > UINT_MAX ? UINT_MAX : static_cast<uInt>(room);
    const uInt outBefore = stream.avail_out;
    const uInt inBefore = stream.avail_in;
    const int ret = inflate(&stream, Z_BLOCK);
    page.length += outBefore - stream.avail_out;
    if (page.length > kMaxDecodedPage) {
      result = Inflated::kTooLarge;
      goto done;
    }
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
    if (page.length == nextResume) {
      nextResume += kResumeSpacing;
      // Inside a block's codes, inflateMark gives how many bits the symbol
      // being decoded has taken and how many of its bytes are out.
      const long mark = inflateMark(&stream);
      if (inBlocks && mark >= 0 && (stream.data_type & 128) == 0) {
        const auto back = static_cast<std::uint64_t>(mark >> 16);
        const auto out = static_cast<std::uint64_t>(mark & 0xFFFF);
        const std::uint64_t bit = std::uint64_t{stream.total_in} * 8 -
                                  static_cast<unsigned>(stream.data_type & 63) -
                                  back;
        if (bit > blockBit && out <= page.length &&
            !AddResume(heap, decoded,
                       ResumePoint{blockBit, bit, page.length - out})) {
          result = Inflated::kRefused;
          goto done;
        }
      }
    }
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
      inBlocks = true;
      blockBit =
          std::uint64_t{stream.total_in} * 8 - static_cast<unsigned>(unused);
      if (!AddBoundary(heap, decoded, boundary) ||
          !AddResume(heap, decoded,
                     ResumePoint{blockBit, blockBit, page.length})) {
        result = Inflated::kRefused;
        goto done;
      }
    }
  }
  // The stream's end reached: whole only when nothing follows it.
  if (ended && (stream.avail_in > 0 || nextNode != nullptr)) {
    result = Inflated::kTrailing;
  } else if (ended) {
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
            static_cast<std::uint32_t>(last[3]) << 24) +
           1u;
  } else if (coding == ContentCoding::kDeflate && IsZlibHeader(b0, b1)) {
    // A stream that needs a dictionary the filter does not have can be
    // neither read nor continued; it is not raw deflate either.
    if ((b1 & kPresetDictionary) != 0) return Decoding::kRefuse;
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
  if (hint > kPageRoom) hint = kPageRoom;

  decoded->input = *first;
  switch (InflateAll(heap, windowBits, *first, hint, decoded)) {
    case Inflated::kWhole:
      return Decoding::kDecoded;
    case Inflated::kTrailing:
      // A whole stream is no page, whatever follows it; a client that
      // stops at its end would lose what was put after it.
      ReleaseDecoded(heap, decoded);
      return Decoding::kRefuse;
    case Inflated::kCorrupt:
      ReleaseDecoded(heap, decoded);
      // Bytes that are not raw deflate may be the page itself (whether
      // they read as one is the caller's rule); a body that announced its
      // format and broke it is left alone.
      return windowBits < 0 ? Decoding::kPlain : Decoding::kRefuse;
    case Inflated::kTooLarge:
      ReleaseDecoded(heap, decoded);
      return Decoding::kTooLarge;
    case Inflated::kRefused:
      break;
  }
  ReleaseDecoded(heap, decoded);
  return Decoding::kNoMemory;
}

void ReleaseDecoded(const WorkingHeap& heap, DecodedBody* decoded) {
  heap.release(heap.opaque, decoded->page);
  ReleaseArray(heap, &decoded->boundaries);
  ReleaseArray(heap, &decoded->resumes);
  *decoded = DecodedBody{};
}
