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

// Far from the page's end the search turns to one forward pass: it must
// give the tag the search back from the end gives, whatever the seams.
TEST(ClosingBodyTag, FarFromTheEndTheLastTagIsStillFound) {
  const std::string text(5000, 'x');  // more than the search reads back
  std::string markup;
  for (int i = 0; i < 200; ++i) markup += "<p>somebody</p><b>nobody</b>";
  std::string fakes;  // noted as tags, none of them one
  for (int i = 0; i < 6; ++i) fakes += "</bodyx></ body";
  const struct {
    const char* name;
    std::string page;
    std::size_t from;
    std::string tag;  // its first occurrence is the tag found; "" none
  } cases[] = {
      {"far from the end", "<body>" + text + "</BODY>" + text, 0, "</BODY>"},
      {"none in markup", "<body>" + markup + "</bod" + markup, 0, ""},
      {"the later of two", "</body>" + text + "< / Body >" + text, 0,
       "< / Body >"},
      {"before more places than are kept", "</Body>" + fakes + text, 0,
       "</Body>"},
      {"only before `from`", "</body>" + text + "</p>" + text, 8, ""},
      {"in the last bytes", text + text + "</body>", 0, "</body>"},
  };
  for (const auto& k : cases) {
    const std::size_t at =
        k.tag.empty() ? std::string::npos : k.page.find(k.tag);
    for (const std::size_t cut : {std::size_t{1}, std::size_t{4097},
                                  at == std::string::npos ? 2 : at + 3}) {
      SCOPED_TRACE(std::string(k.name) + ", cut " + std::to_string(cut));
      TestChain chain(TestChain::Cut(k.page, {cut}));
      ChainCursor tag{};
      const bool found =
          FindLastClosingBodyTag(chain.node(1), chain.At(k.from), &tag);
      ASSERT_EQ(found, !k.tag.empty());
      if (found) {
        EXPECT_EQ(tag.pos, chain.At(at).pos);
      }
    }
  }
}

}  // namespace
