// FindLastClosingBodyTag: the last tag at or after `from`, across seams,
// and an end to the search when `from` is in no record of the chain.
#include <gtest/gtest.h>

#include "tagging/tracking_block.h"
#include "tests/chain_builder.h"

namespace {

TEST(ClosingBodyTag, FindsTheLastTagFromTheStartOn) {
  const std::string page = "<body></body>x</ BODY >y";
  for (std::size_t cut = 1; cut < page.size(); ++cut) {
    TestChain chain(TestChain::Cut(page, {cut}));
    ChainCursor tag;
    ASSERT_TRUE(FindLastClosingBodyTag(chain.node(1), chain.At(0), &tag));
    EXPECT_EQ(tag.pos, chain.At(14).pos) << "cut " << cut;
    // From past the last tag's "<", none is found.
    EXPECT_FALSE(FindLastClosingBodyTag(chain.node(1), chain.At(15), &tag));
  }
}

TEST(ClosingBodyTag, FromOutsideTheChainEndsAtItsHead) {
  TestChain chain({"<p>", "</p>"});
  TestChain other({"</body>"});
  ChainCursor tag;
  EXPECT_FALSE(FindLastClosingBodyTag(chain.node(1), other.At(0), &tag));
  TestChain open({"<p>", "</p>"}, false);
  EXPECT_FALSE(FindLastClosingBodyTag(open.node(1), other.At(0), &tag));
}

}  // namespace
