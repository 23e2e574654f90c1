#include "tagging/body_splice.h"

#include <cassert>

#include "buffer/chain_edit.h"

namespace {

// Writes [CRLF] hex(size) CRLF into `text` and points `node` at it.
void SizeLine(ChunkNode* node, char* text, bool leadingCrLf,
              std::uint32_t size) {
  std::uint32_t n = 0;
  if (leadingCrLf) {
    text[n++] = '\r';
    text[n++] = '\n';
  }
  n += FormatHex(size, text + n);
  text[n++] = '\r';
  text[n++] = '\n';
  PointRecord(node, text, n);
}

constexpr char kCrLf[] = "\r\n";

// A cut chunk's size digits become `size` in hex (its extension kept).
void RewriteChunkSize(ResponseChain* chain, const ChunkPlace& chunk,
                      std::uint32_t size, SpliceFrame* frame) {
  PointRecord(&frame->digits, frame->digitsText,
              FormatHex(size, frame->digitsText));
  ChunkNode* const pieces[] = {&frame->digits};
  ReplaceSpan(chain, chunk.sizeLine, &chunk.afterDigits, pieces, 1,
              &frame->digitsSpare);
}

}  // namespace

void SpliceIntoPlain(ResponseChain* chain, const ResponseFacts& facts,
                     const ChainCursor& tag, SpliceFrame* frame) {
  assert(frame->block.pieces[0] == &frame->block.insertBefore);
  assert(HasByte(tag));
  ReplaceSpan(chain, tag, &tag, frame->block.pieces, 5, &frame->spare);
  // The value lies before the tag, so the splice left it where it was.
  if ((facts.flags & kHasContentLength) != 0) {
    RewriteContentLength(chain, facts, TrackingBlockLength(frame->block),
                         &frame->length);
  }
}

void SpliceIntoFramed(ResponseChain* chain, const FramedBody& framing,
                      const ChainCursor& tag, SpliceFrame* frame) {
  assert(frame->block.pieces[0] == &frame->block.insertBefore);
  const std::uint64_t offset = ViewOffsetOf(framing, tag);
  ChunkPlace chunk;
  const ChainCursor at = ChainPositionOf(framing, offset, &chunk);
  const auto k = static_cast<std::uint32_t>(offset - chunk.offset);
  const std::uint32_t blockLength = TrackingBlockLength(frame->block);
  ChunkNode* pieces[7];
  pieces[0] = &frame->openLine;
  for (int i = 0; i < 5; ++i) pieces[1 + i] = frame->block.pieces[i];
  pieces[6] = &frame->closeLine;
  if (k == 0) {
    // A chunk of its own just before the tag's chunk.
    SizeLine(&frame->openLine, frame->openText, false, blockLength);
    PointRecord(&frame->closeLine, kCrLf, 2);
    ReplaceSpan(chain, chunk.sizeLine, &chunk.sizeLine, pieces, 7,
                &frame->spare);
    return;
  }
  // The tag's chunk ends after its first k bytes; the block's chunk and a
  // chunk for the rest follow. Later edits first: the size digits come
  // before the tag and stay where they are.
  SizeLine(&frame->openLine, frame->openText, true, blockLength);
  SizeLine(&frame->closeLine, frame->closeText, true, chunk.size - k);
  ReplaceSpan(chain, at, &at, pieces, 7, &frame->spare);
  RewriteChunkSize(chain, chunk, k, frame);
}

void SpliceCompressed(ResponseChain* chain, const ResponseFacts& facts,
                      const ChainCursor& first, const FramedBody* framing,
                      std::uint64_t kept, const char* encoded,
                      std::uint32_t encodedLength, SpliceFrame* frame) {
  PointRecord(&frame->encoded, encoded, encodedLength);
  if (framing == nullptr) {
    ChainCursor from = first;
    const bool inside = Advance(&from, static_cast<std::uint32_t>(kept));
    assert(inside);
    (void)inside;
    ChunkNode* const pieces[] = {&frame->encoded};
    ReplaceSpan(chain, from, nullptr, pieces, 1, &frame->spare);
    if ((facts.flags & kHasContentLength) != 0) {
      SetContentLength(chain, facts,
                       static_cast<std::uint32_t>(kept + encodedLength),
                       &frame->length);
    }
    return;
  }
  ChunkPlace chunk;
  const ChainCursor at = ChainPositionOf(*framing, kept, &chunk);
  const auto k = static_cast<std::uint32_t>(kept - chunk.offset);
  ChunkNode* const pieces[] = {&frame->openLine, &frame->encoded,
                               &frame->closeLine};
  SizeLine(&frame->openLine, frame->openText, k > 0, encodedLength);
  PointRecord(&frame->closeLine, kCrLf, 2);
  // Everything from the cut up to the last chunk goes; the last chunk, its
  // trailer lines and the final CRLF stay.
  ReplaceSpan(chain, k > 0 ? at : chunk.sizeLine, &framing->lastChunk, pieces,
              3, &frame->spare);
  if (k > 0) RewriteChunkSize(chain, chunk, k, frame);
}
