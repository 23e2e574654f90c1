// The three splices, planned and applied, on responses cut at every seam: the
// bytes that leave are the page with the block (or the re-encoded rest) in
// place, framed as before, with Content-Length stating the new body.
#include "tagging/body_splice.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/body_codings.h"
#include "tests/chain_builder.h"

namespace {

const std::string kBlock = "<script>B</script>";
constexpr char kEncoded[] = "ENCODED";  // 7 bytes

std::string Head(const std::string& fields) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + fields + "\r\n";
}

// One response in a chain cut at `cut` (0: one byte per record), with its
// scanned facts and, for a framed body, its view.
struct Held {
  Held(const std::string& response, std::size_t cut)
      : chain(cut == 0 ? TestChain::Bytes(response)
                       : TestChain::Cut(response, {cut})) {
    state.head = chain.head();
    state.tail = state.head;
    while (state.tail->next != nullptr) state.tail = state.tail->next;
    facts = ScanResponseHeaders(chain.head());
    first = facts.bodyStart;
    Advance(&first, 2);
  }
  TestChain chain;
  ResponseChain state{};
  ResponseFacts facts;
  ChainCursor first;
  std::unique_ptr<SpliceFrame> frame = std::make_unique<SpliceFrame>();
};

// The de-framed body of a whole response, read by the tests' own reader;
// "broken" when it is not well framed.
std::string Deframed(const std::string& response) {
  const auto body = tagsmith::checks::Deframe(
      std::string_view(response).substr(response.find("\r\n\r\n") + 4));
  return body ? body->data : "broken";
}

void FillBlock(SpliceFrame* frame) {
  static const SiteConfig config{};
  FillBuiltBlock(config, kBlock.data(), kBlock.size(), &frame->block);
}

// Plans the splice at `place`, the length first, and applies the plan.
void Splice(Held* held, const SplicePlace& place) {
  EditPlan plan = EmptyEditPlan();
  PlanSpliceLength(&plan, held->facts, place, held->frame.get());
  PlanBodySplice(&plan, place, held->frame.get());
  ApplyEditPlan(&held->state, plan);
}

TEST(BodySplice, PlainPageGetsTheBlockAndItsLength) {
  const std::string body = "<p>x</p></body>";
  for (const bool withLength : {true, false}) {
    const std::string fields =
        withLength ? "Content-Length: " + std::to_string(body.size()) + "\r\n"
                   : "";
    const std::string response = Head(fields) + body;
    const std::string expected =
        Head(withLength
                 ? "Content-Length: " +
                       std::to_string(body.size() + kBlock.size()) + "\r\n"
                 : "") +
        "<p>x</p>" + kBlock + "</body>";
    for (std::size_t cut = 0; cut < response.size(); ++cut) {
      Held held(response, cut);
      ASSERT_NE(held.facts.flags, 0u);
      ChainCursor tag = held.first;
      ASSERT_TRUE(Advance(&tag, 8));
      FillBlock(held.frame.get());
      Splice(&held, SplicePlace{{}, nullptr, tag, false, 0, nullptr, 0});
      EXPECT_EQ(ChainBytes(held.state.head), expected) << "cut " << cut;
    }
  }
}

TEST(BodySplice, FramedPageGetsTheBlockAsAChunk) {
  const std::string data = "abcde";
  const std::string response = Head("Transfer-Encoding: chunked\r\n") +
                               tagsmith::checks::Frame("abcde", {2, 3});
  for (std::size_t at = 0; at < data.size(); ++at) {
    const std::string expected = data.substr(0, at) + kBlock + data.substr(at);
    for (std::size_t cut = 0; cut < response.size(); ++cut) {
      Held held(response, cut);
      FramedBody framing;
      ASSERT_EQ(ReadFraming(ProcessHeap(), &held.first, 1 << 20, &framing),
                Framing::kFramed);
      ChainCursor tag = CursorAtStart(framing.view);
      ASSERT_TRUE(Advance(&tag, at));
      FillBlock(held.frame.get());
      Splice(&held, SplicePlace{{}, &framing, tag, false, 0, nullptr, 0});
      ReleaseFraming(ProcessHeap(), &framing);
      EXPECT_EQ(Deframed(ChainBytes(held.state.head)), expected)
          << "tag at " << at << ", cut " << cut;
    }
  }
}

TEST(BodySplice, CompressedRestIsReplaced) {
  const std::string encoded = kEncoded;
  const std::string data = "0123456789";
  for (std::size_t kept = 0; kept < data.size(); kept += 3) {
    // Unframed, with the new length stated.
    const std::string plain = Head("Content-Length: 10\r\n") + data;
    const std::string plainExpected =
        Head("Content-Length: " + std::to_string(kept + encoded.size()) +
             "\r\n") +
        data.substr(0, kept) + encoded;
    // Framed: the rest as one chunk before the last.
    const std::string framed = Head("Transfer-Encoding: chunked\r\n") +
                               tagsmith::checks::Frame(data, {4, 6});
    const std::string framedData = data.substr(0, kept) + encoded;
    for (std::size_t cut = 0; cut < framed.size(); ++cut) {
      if (cut < plain.size()) {
        Held held(plain, cut);
        Splice(&held,
               SplicePlace{held.first, nullptr, {}, true, kept, kEncoded, 7});
        EXPECT_EQ(ChainBytes(held.state.head), plainExpected) << "cut " << cut;
      }
      Held held(framed, cut);
      FramedBody framing;
      ASSERT_EQ(ReadFraming(ProcessHeap(), &held.first, 1 << 20, &framing),
                Framing::kFramed);
      Splice(&held,
             SplicePlace{held.first, &framing, {}, true, kept, kEncoded, 7});
      ReleaseFraming(ProcessHeap(), &framing);
      EXPECT_EQ(Deframed(ChainBytes(held.state.head)), framedData)
          << "kept " << kept << ", cut " << cut;
    }
  }
}

}  // namespace
