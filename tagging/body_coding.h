// The content coding of a body (after any chunk framing is taken off):
// which format its bytes are in, and their decoding into the page, with the
// deflate block boundaries and resume points inside blocks noted so that
// body_encoding.h can cut the stream near any page offset and continue it.
//
// Ownership: the decoded page, the boundary and resume tables and zlib's
// state
// are working storage from a WorkingHeap (see working_heap.h). zlib's state
// is given back before DecodeBody returns; the rest with ReleaseDecoded
// after the flush. The input bytes are read in place and never held.
#ifndef TAGSMITH_TAGGING_BODY_CODING_H_
#define TAGSMITH_TAGGING_BODY_CODING_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "tagging/announced_coding.h"
#include "tagging/deflate_cut.h"
#include "tagging/working_heap.h"

// The largest page the filter decodes.
inline constexpr std::uint64_t kMaxDecodedPage = 64u * 1024 * 1024;

enum class BodyFormat : std::uint8_t { kPlain, kGzip, kZlib, kRawDeflate };

// A point between two deflate blocks where the stream can be continued.
struct BlockBoundary {
  std::uint64_t keptBytes;  // whole input bytes before it
  std::uint64_t pageBytes;  // page bytes decoded before it
  std::uint32_t check;      // CRC-32 (gzip) or Adler-32 (zlib) of those
  std::uint8_t bits;        // bits of the next input byte before it (0-7)
  std::uint8_t value;       // those bits, in the byte's low bits
};

// Resume points are noted at block starts and inside blocks about this
// many page bytes apart.
inline constexpr std::uint64_t kResumeSpacing = 32768;

struct DecodedBody {
  BodyFormat format;
  ChainCursor input;  // the compressed bytes' first byte
  char* page;         // the decoded page
  std::uint64_t pageLength;
  std::uint64_t inputLength;
  std::uint32_t check;  // CRC-32 or Adler-32 of the whole page
  // In stream order; the first at the start.
  HeapArray<BlockBoundary> boundaries;
  // In stream order; bit positions from `input`.
  HeapArray<ResumePoint> resumes;
};

enum class Decoding {
  kPlain,     // the bytes are not in the announced coding: tag as they are
  kDecoded,   // `decoded` holds the page
  kRefuse,    // corrupt: leave untouched
  kTooLarge,  // the page is over kMaxDecodedPage: leave untouched
  kNoMemory,  // memory refused: leave untouched
};

// Reads the bytes from `first` to the end of its chain as `coding` (gzip or
// deflate) says: gzip when they begin 1F 8B, then exactly one member that
// inflates wholly with the right CRC-32 and size and ends at the end; for
// deflate a zlib stream when the first two bytes are a valid zlib header
// (method 8, window at most 32 KB), which must ask for no preset
// dictionary, inflate wholly with the right Adler-32 and end at the end;
// otherwise raw deflate when that inflates wholly and ends exactly at the
// end; a whole raw stream with bytes after it is refused; otherwise plain.
// A page over kMaxDecodedPage is refused. `first` null: no bytes (plain).
Decoding DecodeBody(const WorkingHeap& heap, ContentCoding coding,
                    const ChainCursor* first, DecodedBody* decoded);

// Gives the decoded page and the boundary and resume tables back.
void ReleaseDecoded(const WorkingHeap& heap, DecodedBody* decoded);

#endif  // TAGSMITH_TAGGING_BODY_CODING_H_
