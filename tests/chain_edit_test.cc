// ReplaceSpan on chains cut at every seam: the bytes read in order, and the
// links (prev, next, the closed head, the tail) stay a well-formed chain.
#include "buffer/chain_edit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/chain_builder.h"

namespace {

// The chain's bytes, checking each link on the way.
std::string ReadChain(const ResponseChain& chain) {
  std::string bytes;
  EXPECT_EQ(chain.head->prev, chain.head);
  const ChunkNode* last = chain.head;
  for (const ChunkNode* node = chain.head; node != nullptr; node = node->next) {
    if (node != chain.head) {
      EXPECT_EQ(node->prev, last);
    }
    if (node->length > 0) bytes.append(node->data, node->length);
    last = node;
  }
  EXPECT_EQ(chain.tail, last);
  return bytes;
}

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
    // Every placement of one seam, and one byte a record.
    std::vector<std::vector<std::string>> shapes = {TestChain::Bytes(edit.text),
                                                    {edit.text}};
    for (std::size_t cut = 1; cut < edit.text.size(); ++cut)
      shapes.push_back(TestChain::Cut(edit.text, {cut}));
    for (const auto& shape : shapes) {
      for (const bool pastPrevious : {false, true}) {
        TestChain source(shape);
        ResponseChain chain{};
        chain.head = source.head();
        chain.tail = source.node(shape.size() - 1);
        std::vector<ChunkNode> records(edit.pieces.size());
        std::vector<ChunkNode*> pieces;
        for (std::size_t i = 0; i < records.size(); ++i) {
          PointRecord(&records[i], edit.pieces[i].data(),
                      static_cast<std::uint32_t>(edit.pieces[i].size()));
          pieces.push_back(&records[i]);
        }
        // A position just past a record's last byte stands for the offset
        // at the chain's end.
        auto at = [&](std::size_t offset) {
          if (offset < edit.text.size()) return source.At(offset);
          const ChunkNode* tail = chain.tail;
          return ChainCursor{tail, tail->data + tail->length};
        };
        ChainCursor from = at(edit.from);
        // The same place as the previous record's end.
        if (pastPrevious) {
          if (from.node == chain.head || from.pos != from.node->data) continue;
          from.node = from.node->prev;
          from.pos = from.node->data + from.node->length;
        }
        const ChainCursor to = edit.to == kEnd ? ChainCursor{} : at(edit.to);
        ChunkNode spare{};
        ReplaceSpan(&chain, from, edit.to == kEnd ? nullptr : &to,
                    pieces.data(), static_cast<std::uint32_t>(pieces.size()),
                    &spare);
        EXPECT_EQ(ReadChain(chain), edit.expected)
            << edit.name << ", " << shape.size() << " records"
            << (pastPrevious ? ", from the previous record's end" : "");
      }
    }
  }
}

}  // namespace
