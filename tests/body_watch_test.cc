// The watch over copied pieces must answer as the duplicate check over the
// whole body does, wherever seams and small copies cut a marker.
#include "tagging/body_watch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tagging/duplicate_check.h"
#include "tagging/tracking_block.h"
#include "tests/chain_builder.h"

namespace {

TEST(BodyWatch, AgreesWithTheDuplicateCheckWhateverTheSeams) {
  const std::string plain = kPlainScriptMarker;
  const std::string secure = kSecureScriptMarker;
  const std::string tail = plain.substr(plain.find(".google"));
  const std::string filler(70, 'x');
  std::string text, dense;  // places in every block, kept or too many
  for (int i = 0; i < 50; ++i) text += "baby ";
  for (int i = 0; i < 6; ++i) dense += text;
  std::string sparse;  // a place of the name's pair every 124 bytes
  for (int i = 0; i < 40; ++i) sparse += "baby" + std::string(120, 'x');
  const std::vector<std::string> bodies = {
      filler + plain + filler,
      "<p>" + secure,
      filler + "<SCRIPT SRC=\"HTTPS://SSL.GOOGLE-ANALYTICS.COM/URCHIN.JS\"",
      filler + tail + filler,  // the tail without a marker's start
      "<script src=\"http://www" + tail.substr(0, 20) + "x" + tail.substr(21),
      plain.substr(0, plain.size() - 1) + filler,  // the quote missing
      tail + tail + "<script src=\"http://www" + tail,
      "g" + std::string(27, 'j') + "j" + plain,
      text + "</body>" + text + filler + plain + filler + text,
      dense + plain + filler + tail,
      sparse + plain + sparse + "</body>" + sparse,
      sparse + "</body>\n" + sparse + tail + sparse,
  };
  std::mt19937 rng(11);
  for (const std::string& body : bodies) {
    for (int round = 0; round < 60; ++round) {
      // Pieces of 1 to 40 bytes (a tail is 32), or fewer and larger.
      std::vector<std::size_t> cuts;
      const std::size_t most = round % 3 == 0 ? 90 : round % 3 == 1 ? 40 : 1500;
      for (std::size_t at = 1 + rng() % most; at < body.size();
           at += 1 + rng() % most) {
        cuts.push_back(at);
      }
      TestChain chain(TestChain::Cut(body, cuts), false);
      // The first record is held when the watch starts.
      ChunkNode* const second = chain.head()->next;
      chain.head()->next = nullptr;
      BodyWatch watch{};
      StartBodyWatch(&watch, CursorAtStart(chain.head()));
      chain.head()->next = second;
      for (std::size_t i = 1; i <= cuts.size(); ++i) {
        // Each record noted as it would be copied: some in two parts.
        const ChunkNode* node = chain.node(i);
        const std::uint32_t part = round % 2 == 0 ? node->length / 2 : 0;
        // Two rounds in three each part goes through the copier first, as
        // AppendChunk does, so that parts without the filter's byte skip.
        const std::vector<char> copy(node->data, node->data + node->length);
        char* const into = const_cast<char*>(node->data);
        const auto note = [&](std::uint32_t at, std::uint32_t count) {
          if (round % 3 != 0)
            CopyWatched(&watch, into + at, copy.data() + at, count);
          NoteCopied(&watch, node, node->data + at, count);
        };
        if (part > 0) note(0, part);
        note(part, node->length - part);
      }
      FinishBodyWatch(&watch);
      CloseChain(chain.head());
      ASSERT_EQ(watch.found, CarriesTrackingScript(CursorAtStart(chain.head())))
          << body << ", round " << round;
      ChainCursor expected{}, tag{};
      const ChunkNode* last = chain.node(cuts.size());
      ASSERT_EQ(FindWatchedClosingBodyTag(watch, last, chain.At(1), &tag),
                FindLastClosingBodyTag(last, chain.At(1), &expected));
      ASSERT_EQ(tag.pos, expected.pos) << body << ", round " << round;
    }
  }
}

}  // namespace
