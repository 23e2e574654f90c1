#include "buffer/chain_cursor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/chain_builder.h"

namespace {

// Every way of cutting a short text into records: no cut, one byte per
// record, and a single seam at each offset.
std::vector<std::vector<std::string>> AllSplits(const std::string& text) {
  std::vector<std::vector<std::string>> splits = {{text},
                                                  TestChain::Bytes(text)};
  for (size_t cut = 1; cut < text.size(); ++cut) {
    splits.push_back(TestChain::Cut(text, {cut}));
  }
  return splits;
}

TEST(ChainCursor, StepForwardReadsTheChainAsOneStream) {
  const std::string text = "HTTP/1.1 200 OK\r\n";
  for (const auto& pieces : AllSplits(text)) {
    TestChain chain(pieces);
    ChainCursor c = CursorAtStart(chain.head());
    std::string read(1, static_cast<char>(ByteAt(c)));
    while (StepForward(&c)) read += static_cast<char>(ByteAt(c));
    EXPECT_EQ(read, text);
    EXPECT_FALSE(HasByte(c)) << "past the last byte after the last step";
  }
}

TEST(ChainCursor, StepBackStopsAtHeadOfClosedChain) {
  const std::string text = "abcdef";
  for (const auto& pieces : AllSplits(text)) {
    TestChain chain(pieces);
    ChainCursor c = chain.At(text.size() - 1);
    std::string read(1, static_cast<char>(ByteAt(c)));
    while (StepBack(&c))
      read.insert(read.begin(), static_cast<char>(ByteAt(c)));
    EXPECT_EQ(read, text);
    EXPECT_EQ(c.node, chain.head());
    EXPECT_EQ(c.pos, chain.head()->data) << "stays on the first byte";
  }
}

TEST(ChainCursor, StepBackFromRecordStartLandsOnLastByteBefore) {
  TestChain chain({"ab", "c", "de"});
  ChainCursor c{chain.node(2), chain.node(2)->data};
  ASSERT_TRUE(StepBack(&c));
  EXPECT_EQ(c.node, chain.node(1));
  EXPECT_EQ(ByteAt(c), 'c');
  ASSERT_TRUE(StepBack(&c));
  EXPECT_EQ(c.node, chain.node(0));
  EXPECT_EQ(ByteAt(c), 'b');
}

TEST(ChainCursor, CrossesRecordsWithoutBytes) {
  TestChain chain({"ab", "", "", "cd"});
  ChainCursor c = chain.At(1);
  ASSERT_TRUE(StepForward(&c));
  EXPECT_EQ(ByteAt(c), 'c');
  ASSERT_TRUE(StepBack(&c));
  EXPECT_EQ(ByteAt(c), 'b');
  EXPECT_TRUE(MatchAt(chain.At(0), "ABCD"));
}

TEST(ChainCursor, RecordWalkPassesOverEmptyRecords) {
  TestChain chain({"", "ab", "", "", "cd", ""});
  const ChunkNode* node = FirstRecordWithBytes(chain.head());
  EXPECT_EQ(node, chain.node(1));
  EXPECT_EQ(NextRecordWithBytes(node), chain.node(4));
  EXPECT_EQ(NextRecordWithBytes(chain.node(4)), nullptr);
  EXPECT_EQ(FirstRecordWithBytes(chain.node(5)), nullptr);
  EXPECT_EQ(FirstRecordWithBytes(nullptr), nullptr);
}

TEST(ChainCursor, AdvanceStopsPastTheEnd) {
  TestChain chain({"ab", "c", "de"});
  ChainCursor c = CursorAtStart(chain.head());
  ASSERT_TRUE(Advance(&c, 4));
  EXPECT_EQ(ByteAt(c), 'e');
  c = CursorAtStart(chain.head());
  EXPECT_FALSE(Advance(&c, 5));
  EXPECT_FALSE(HasByte(c));
  EXPECT_FALSE(MatchAt(c, "x")) << "a cursor past the end matches nothing";
  EXPECT_TRUE(MatchAt(c, ""));
  EXPECT_FALSE(MatchClosingTag(c, "body"));
}

TEST(ChainCursor, MatchAtFoldsAsciiOnlyAndCrossesSeams) {
  struct Case {
    std::string text;
    size_t at;
    const char* pattern;
    bool match;
  } cases[] = {
      {"Content-Type: text/html", 0, "content-type: ", true},
      {"CONTENT-TYPE: TEXT/HTML", 14, "text/html", true},
      {"Content-Type: text/htm", 14, "text/html", false},  // chain ends first
      {"X-Tagsmith: UA-1", 0, "X-Tagsmith: ", true},
      {"X-Tagsmith:UA-1", 0, "X-Tagsmith: ", false},
      {"abc", 1, "", true},
      {"\xE9t\xE9", 0, "\xC9T\xC9", false},  // accented letters do not fold
      {"\xE9t\xE9", 0, "\xE9T\xE9", true},
      {"[@`{", 0, "{`@[", false},  // no folding around the letters
      {"[@`{", 0, "[@`{", true},
  };
  for (const Case& k : cases) {
    for (const auto& pieces : AllSplits(k.text)) {
      TestChain chain(pieces);
      EXPECT_EQ(MatchAt(chain.At(k.at), k.pattern), k.match)
          << k.text << " / " << k.pattern << " in " << pieces.size()
          << " records";
    }
  }
}

TEST(ChainCursor, ClosingTagGrammar) {
  struct Case {
    const char* text;
    bool match;
  } cases[] = {
      {"</body>", true},
      {"</BODY>", true},
      {"</BoDy>", true},
      {"< /body>", true},
      {"</ body>", true},
      {"</body >", true},
      {"<\t/\tbody\t>", true},
      {"</body\r\n>", true},
      {"<\r\n/\r\nbody\r\n>", true},
      {"</body>trailing", true},
      {"<body>", false},        // an opening tag
      {"</bod>", false},        // shorter name
      {"</bodyx>", false},      // longer name
      {"</body id=x>", false},  // an attribute
      {"</b ody>", false},      // no white space inside the name
      {"</body", false},        // the chain ends inside the tag
      {"</", false},
      {"<", false},
      {"x</body>", false},  // must start on "<"
  };
  for (const Case& k : cases) {
    for (const auto& pieces : AllSplits(k.text)) {
      TestChain chain(pieces);
      EXPECT_EQ(MatchClosingTag(CursorAtStart(chain.head()), "body"), k.match)
          << k.text << " in " << pieces.size() << " records";
    }
  }
  TestChain chain({"</body>"});
  EXPECT_FALSE(MatchClosingTag(CursorAtStart(chain.head()), ""));
  EXPECT_FALSE(MatchClosingTag(CursorAtStart(chain.head()), nullptr));
}

TEST(ChainCursor, MatchingNeverMovesTheCaller) {
  TestChain chain({"</bo", "dy>"});
  const ChainCursor c = CursorAtStart(chain.head());
  ChainCursor copy = c;
  EXPECT_TRUE(MatchClosingTag(copy, "body"));
  EXPECT_TRUE(MatchAt(copy, "</BODY>"));
  EXPECT_EQ(copy.node, c.node);
  EXPECT_EQ(copy.pos, c.pos);
}

TEST(ChainCursor, WhiteSpaceIsExactlySixBytes) {
  std::string space;
  for (int b = 0; b < 256; ++b) {
    if (IsWhiteSpace(static_cast<unsigned char>(b)))
      space += static_cast<char>(b);
  }
  EXPECT_EQ(space, std::string("\t\n\v\f\r "));
}

}  // namespace
