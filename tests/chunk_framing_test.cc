// ReadFraming over bodies cut at every seam: the verdict, the de-framed
// bytes of the view, the way back from a view byte to its chunk, and the
// view's memory refused.
#include "tagging/chunk_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/chain_builder.h"
#include "tests/refusing_heap.h"

namespace {

std::vector<std::vector<std::string>> Shapes(const std::string& text) {
  std::vector<std::vector<std::string>> shapes = {TestChain::Bytes(text),
                                                  {text}};
  for (std::size_t cut = 1; cut < text.size(); ++cut)
    shapes.push_back(TestChain::Cut(text, {cut}));
  return shapes;
}

struct Case {
  std::string body;
  Framing framing;
  std::string data;  // the de-framed bytes, when framed
};

TEST(ChunkFraming, ReadsWellFormedFramingAndOnlyThat) {
  const std::vector<Case> cases = {
      {"5\r\nhello\r\n0\r\n\r\n", Framing::kFramed, "hello"},
      {"2;a=b\r\nhe\r\nA\r\n0123456789\r\n0\r\nX: y\r\n\r\n", Framing::kFramed,
       "he0123456789"},
      {"0\r\n\r\n", Framing::kFramed, ""},
      {"ffffffff", Framing::kBroken, ""},
      {"<html>", Framing::kPlain, ""},
      {"123456789\r\n", Framing::kBroken, ""},  // nine digits
      {"5\nhello\r\n0\r\n\r\n", Framing::kBroken, ""},
      {"5\r\nhel", Framing::kBroken, ""},
      {"5\r\nhelloXY0\r\n\r\n", Framing::kBroken, ""},
      {"5\r\nhello\r\n0\r\n\r\nmore", Framing::kBroken, ""},
      {"5\r\nhello\r\n0\r\n", Framing::kBroken, ""},  // no closing line
      {"5\r\nhello\r\n0\r\nX: y\n\r\n", Framing::kBroken, ""},
      {"1;x\r\n", Framing::kBroken, ""},
  };
  for (const Case& c : cases) {
    for (const auto& shape : Shapes(c.body)) {
      TestChain chain(shape);
      const ChainCursor first = CursorAtStart(chain.head());
      RefusingHeap counted;
      FramedBody body;
      ASSERT_EQ(ReadFraming(counted.heap(), &first, 1 << 20, &body), c.framing)
          << c.body << " in " << shape.size() << " records";
      if (c.framing != Framing::kFramed) continue;
      EXPECT_EQ(body.length, c.data.size());
      EXPECT_EQ(ChainBytes(body.view), c.data);
      EXPECT_LE(body.memory, sizeof(ChunkNode) + c.data.size());
      // Every view byte leads back to the same byte in the chain.
      std::uint64_t offset = 0;
      for (const ChunkNode* node = body.view; node != nullptr;
           node = node->next) {
        for (std::uint32_t i = 0; i < node->length; ++i, ++offset) {
          EXPECT_EQ(ViewOffsetOf(body, ChainCursor{node, node->data + i}),
                    offset);
          ChunkPlace chunk;
          const ChainCursor at = ChainPositionOf(body, offset, &chunk);
          EXPECT_EQ(ByteAt(at), static_cast<unsigned char>(c.data[offset]));
          EXPECT_LE(chunk.offset, offset);
          EXPECT_GT(chunk.offset + chunk.size, offset);
        }
      }
      ReleaseFraming(counted.heap(), &body);
      EXPECT_EQ(counted.held, 0);
    }
  }
  FramedBody body;
  EXPECT_EQ(ReadFraming(ProcessHeap(), nullptr, 1 << 20, &body),
            Framing::kPlain);
}

TEST(ChunkFraming, RefusedViewIsReported) {
  TestChain chain({"5\r\nhel", "lo\r\n0\r\n\r\n"});
  const ChainCursor first = CursorAtStart(chain.head());
  FramedBody body;
  RefusingHeap refusing;
  refusing.refuse = 1;
  EXPECT_EQ(ReadFraming(refusing.heap(), &first, 1 << 20, &body),
            Framing::kRefused);
  EXPECT_EQ(refusing.held, 0);
  // Two records of the chain's bytes, or a copy of five: the room is the
  // smaller, and one byte less is refused.
  const std::uint64_t needed = sizeof(ChunkNode) + 5;
  EXPECT_EQ(ReadFraming(ProcessHeap(), &first, needed - 1, &body),
            Framing::kRefused);
  ASSERT_EQ(ReadFraming(ProcessHeap(), &first, needed, &body),
            Framing::kFramed);
  EXPECT_EQ(body.memory, needed);
  ReleaseFraming(ProcessHeap(), &body);
}

}  // namespace
