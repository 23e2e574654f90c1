// ReplaceSpan on chains cut at every seam: the bytes read in order, and the
// links (prev, next, the closed head, the tail) stay a well-formed chain.
#include "buffer/chain_edit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/chain_builder.h"

namespace {

struct Edit {
  const char* name;
  std::string text;
  std::size_t from;
  std::size_t to;  // npos: to the chain's end
  std::vector<std::string> pieces;
  std::string expected;
};

TEST(ChainEdit, ReplacesTheSpanWhateverTheSeams) {
  const std::size_t kEnd = std::string::npos;
  const std::vector<Edit> edits = {
      {"insert at the start", "abcdef", 0, 0, {"XY"}, "XYabcdef"},
      {"insert in the middle", "abcdef", 3, 3, {"X", "Y"}, "abcXYdef"},
      {"insert at the end", "abcdef", 6, kEnd, {"XY"}, "abcdefXY"},
      {"replace one byte", "abcdef", 2, 3, {"X"}, "abXdef"},
      {"replace across the whole", "abcdef", 0, kEnd, {"X"}, "X"},
      {"delete", "abcdef", 1, 5, {}, "af"},
      {"cut the tail off", "abcdef", 4, kEnd, {}, "abcd"},
      {"empty piece", "abcdef", 2, 4, {""}, "abef"},
  };
  for (const Edit& edit : edits) {
    ForEveryChainShape(edit.text, edit.name, [&](const ChainShape& shape) {
      const std::vector<ChunkNode*> pieces = shape.Pieces(edit.pieces);
      // Only `from` is given as the previous record's end; where it does
      // not begin a record that is the plain case again.
      const ChainCursor from = shape.Place(edit.from);
      if (shape.pastPrevious && from.node == shape.At(edit.from).node) return;
      const ChainCursor to =
          edit.to == kEnd ? ChainCursor{} : shape.At(edit.to);
      ReplaceSpan(&shape.chain, from, edit.to == kEnd ? nullptr : &to,
                  pieces.data(), static_cast<std::uint32_t>(pieces.size()),
                  shape.Spare());
      EXPECT_EQ(ChainBytes(shape.chain.head), edit.expected)
          << edit.name << ", " << shape.Label();
    });
  }
}

}  // namespace
