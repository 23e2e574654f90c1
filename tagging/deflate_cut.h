// Where a deflate stream can be cut just before a page offset, inside the
// block that holds it: a walk of our own over that block's symbols, from a
// resume point noted while inflating, that knows the input bit position
// at which each symbol ends. The stream has already inflated wholly, so
// anything the walk does not expect (a stored block in the way, a code it
// cannot read, bytes other than the page's) ends it with kFallBack and the
// caller continues the stream from a block boundary instead.
//
// Ownership: the walk's code tables come from the WorkingHeap and are
// given back before FindCut returns; the input and the page are read in
// place.
#ifndef TAGSMITH_TAGGING_DEFLATE_CUT_H_
#define TAGSMITH_TAGGING_DEFLATE_CUT_H_

#include <cstdint>

#include "buffer/chain_cursor.h"
#include "tagging/working_heap.h"

// A place where decoding can take up again inside a deflate stream.
struct ResumePoint {
  std::uint64_t blockBit;   // input bit where its block's header begins
  std::uint64_t symbolBit;  // input bit where a symbol begins; blockBit
                            // for the block's start
  std::uint64_t pageBytes;  // page bytes decoded before that symbol
};

// The stream cut after its last whole symbol at or before the offset.
struct DeflateCut {
  std::uint64_t bit;        // input bits kept
  std::uint64_t pageBytes;  // page bytes they decode to
  std::uint64_t blockBit;   // where the cut block's header begins
  bool finalBlock;          // that header's BFINAL bit is set
  std::uint8_t endBits;     // the block's end-of-block code: its length
  std::uint16_t endCode;    // and its bits, the first in the lowest bit
};

enum class Walk : std::uint8_t {
  kCut,       // `cut` holds the place
  kFallBack,  // something the walk does not read: cut elsewhere
  kMismatch,  // the symbols decode to other bytes than the page's
  kNoMemory,  // the tables were refused
};

// Walks the deflate stream in the bytes from `input` on, from `from` to
// the last symbol ending at or before page offset `at`, checking each
// symbol's bytes against `page` (what zlib decoded).
// REQUIRES: from.pageBytes <= at <= pageLength; from came from inflating
// this input into `page`.
Walk FindCut(const WorkingHeap& heap, const ChainCursor& input,
             const char* page, std::uint64_t pageLength,
             const ResumePoint& from, std::uint64_t at, DeflateCut* cut);

#endif  // TAGSMITH_TAGGING_DEFLATE_CUT_H_
