// The closing body tags noted while the body is watched must give the tag
// the search from the end finds, wherever the seams cut it.
#include <gtest/gtest.h>

#include <random>
#include <utility>

#include "tagging/body_watch.h"
#include "tagging/tracking_block.h"
#include "tests/chain_builder.h"

namespace {

// The body's first byte, which stands for the empty line's CR, is held when
// the watch starts; the records `cuts` make are noted as copied (in two
// parts when `halves`, through the copier when `copied`).
void Check(const std::string& body, NotedTag noted,
           std::vector<std::size_t> cuts, bool halves, bool copied) {
  cuts.insert(cuts.begin(), 1);
  TestChain chain(TestChain::Cut(body, cuts), false);
  ChunkNode* const second = std::exchange(chain.head()->next, nullptr);
  BodyWatch watch{};
  StartBodyWatch(&watch, CursorAtStart(chain.head()));
  chain.head()->next = second;
  for (std::size_t i = 1; i <= cuts.size(); ++i) {
    const ChunkNode* node = chain.node(i);
    // The copier copies into the record, as AppendChunk has it.
    const std::vector<char> copy(node->data, node->data + node->length);
    char* const into = const_cast<char*>(node->data);
    for (std::uint32_t at = 0, part = halves ? node->length / 2 : 0;
         at < node->length; part = node->length - at) {
      if (part == 0) continue;
      if (copied) CopyWatched(&watch, into + at, copy.data() + at, part);
      NoteCopied(&watch, node, node->data + at, part);
      at += part;
    }
  }
  FinishBodyWatch(&watch);
  CloseChain(chain.head());
  ChainCursor expected{}, fromNotes{}, found{};
  const ChunkNode* last = chain.node(cuts.size());
  const bool hasTag = FindLastClosingBodyTag(last, chain.At(1), &expected);
  ASSERT_EQ(LastNotedBodyTag(watch.tags, &fromNotes), noted) << body << cuts[1];
  ASSERT_EQ(FindWatchedClosingBodyTag(watch, last, chain.At(1), &found), hasTag)
      << body << cuts[1];
  EXPECT_TRUE(!hasTag || found.pos == expected.pos) << body << cuts[1];
  EXPECT_TRUE(noted != NotedTag::kFound || fromNotes.pos == expected.pos)
      << body << cuts[1];
}

const std::string kFiller(90, 'x');
const std::pair<std::string, NotedTag> kCases[] = {
    {"\n<p>x</p></body>\n</html>\n", NotedTag::kFound},
    {"\n</body></BODY >< /\tBoDy\r\n>tail", NotedTag::kFound},
    {"\n</body>x</bodyx>y</body", NotedTag::kFound},  // the last are no tags
    {"\n<body><p>somebody, nobody</p>", NotedTag::kNone},
    {"</body>abc", NotedTag::kNone},  // its "<" is no byte of the body
    {"\n/body> </ body>" + kFiller, NotedTag::kFound},
    {"\n< / b o d y >" + kFiller, NotedTag::kNone},
    {"\n</bod</body>y>", NotedTag::kFound},
    {"\n</body>" + kFiller + "</body >" + kFiller + "</p>", NotedTag::kFound},
    // More places than are kept, none of them a tag.
    {"\n</body>" + kFiller + "</bodyz></bodyz></bodyz></bodyz></bodyz>",
     NotedTag::kUnsure},
};

TEST(BodyTagWatch, AgreesWithTheSearchFromTheEndWhateverTheSeams) {
  std::mt19937 rng(5);
  for (const auto& [body, noted] : kCases) {
    for (std::size_t cut = 2; cut < body.size(); ++cut) {
      for (int way = 0; way < 4; ++way) {
        std::vector<std::size_t> cuts = {cut};
        for (std::size_t at = cut + 1 + rng() % 9; way > 1 && at < body.size();
             at += 1 + rng() % 9) {
          cuts.push_back(at);
        }
        Check(body, noted, cuts, way & 1, way != 2);
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
