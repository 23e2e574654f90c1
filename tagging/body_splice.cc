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
void PlanChunkSize(EditPlan* plan, const ChunkPlace& chunk, std::uint32_t size,
                   SpliceFrame* frame) {
  PointRecord(&frame->digits, frame->digitsText,
              FormatHex(size, frame->digitsText));
  ChunkNode* const pieces[] = {&frame->digits};
  AddEdit(plan, chunk.sizeLine, &chunk.afterDigits, pieces, 1,
          &frame->digitsSpare);
}

void PlanPlain(EditPlan* plan, const ChainCursor& tag, SpliceFrame* frame) {
  assert(frame->block.pieces[0] == &frame->block.insertBefore);
  assert(HasByte(tag));
  AddEdit(plan, tag, &tag, frame->block.pieces, 5, &frame->spare);
}

void PlanFramed(EditPlan* plan, const FramedBody& framing,
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
    AddEdit(plan, chunk.sizeLine, &chunk.sizeLine, pieces, 7, &frame->spare);
    return;
  }
  // The tag's chunk ends after its first k bytes (its size digits say so);
  // the block's chunk and a chunk for the rest follow.
  SizeLine(&frame->openLine, frame->openText, true, blockLength);
  SizeLine(&frame->closeLine, frame->closeText, true, chunk.size - k);
  PlanChunkSize(plan, chunk, k, frame);
  AddEdit(plan, at, &at, pieces, 7, &frame->spare);
}

void PlanCompressed(EditPlan* plan, const SplicePlace& place,
                    SpliceFrame* frame) {
  PointRecord(&frame->encoded, place.encoded, place.encodedLength);
  if (place.framing == nullptr) {
    ChainCursor from = place.first;
    const bool inside = Advance(&from, static_cast<std::uint32_t>(place.kept));
    assert(inside);
    (void)inside;
    ChunkNode* const pieces[] = {&frame->encoded};
    AddEdit(plan, from, nullptr, pieces, 1, &frame->spare);
    return;
  }
  ChunkPlace chunk;
  const ChainCursor at = ChainPositionOf(*place.framing, place.kept, &chunk);
  const auto k = static_cast<std::uint32_t>(place.kept - chunk.offset);
  ChunkNode* const pieces[] = {&frame->openLine, &frame->encoded,
                               &frame->closeLine};
  SizeLine(&frame->openLine, frame->openText, k > 0, place.encodedLength);
  PointRecord(&frame->closeLine, kCrLf, 2);
  if (k > 0) PlanChunkSize(plan, chunk, k, frame);
  // Everything from the cut up to the last chunk goes; the last chunk, its
  // trailer lines and the final CRLF stay.
  AddEdit(plan, k > 0 ? at : chunk.sizeLine, &place.framing->lastChunk, pieces,
          3, &frame->spare);
}

}  // namespace

void PlanSpliceLength(EditPlan* plan, const ResponseFacts& facts,
                      const SplicePlace& place, SpliceFrame* frame) {
  if ((facts.flags & kHasContentLength) == 0 || place.framing != nullptr)
    return;
  const std::uint32_t length =
      place.compressed
          ? static_cast<std::uint32_t>(place.kept + place.encodedLength)
          : ParseLengthValue(facts.lengthValue) +
                TrackingBlockLength(frame->block);
  PlanContentLength(plan, facts, length, &frame->length);
}

void PlanBodySplice(EditPlan* plan, const SplicePlace& place,
                    SpliceFrame* frame) {
  if (place.compressed) {
    PlanCompressed(plan, place, frame);
  } else if (place.framing != nullptr) {
    PlanFramed(plan, *place.framing, place.tag, frame);
  } else {
    PlanPlain(plan, place.tag, frame);
  }
}
