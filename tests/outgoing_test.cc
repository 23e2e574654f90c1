// The pump without a socket: a planned response in, through the linked
// filter, with --gzip and --chunked, the bytes the client gets and whether
// the connection stays open out, one case per line.
#include "commands/serve/outgoing.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/body_codings.h"
#include "tests/filter_harness.h"

namespace tagsmith::host {
namespace {

const std::string kPage = "<html><body><p>hello</p></body></html>";

struct Case {
  const char* name;
  bool tagged;  // the application has an account
  CodingOptions coding;
  unsigned status = 200;
  bool head_only = false;
  bool keep_alive = true;
  bool stopping = false;
  // A page the filter lets go at once, whose client is lost at the head.
  bool lose_client = false;
  // What comes out.
  bool no_body = false;
  bool keeps = true;
};

struct Sent {
  std::string head, body;
  bool keeps;
  std::int64_t call_began;
};

Sent Send(const Case& c, const std::string& app_directory) {
  HeldBudget held(1 << 30);
  ResponsePlan plan;
  plan.status = c.status;
  plan.content_type = c.lose_client ? "text/plain" : "text/html";
  plan.text = kPage;
  plan.body_size = kPage.size();
  plan.head_only = c.head_only;
  plan.keep_alive = c.keep_alive;
  plan.app_directory = app_directory;
  Outgoing out(std::move(plan), held);
  out.coder =
      ResponseCoder(c.coding, CodingRequest{c.status, out.plan.content_type,
                                            kPage.size(), "gzip", true});
  if (out.coder.compresses()) CompressPage(&out);
  std::atomic<std::int64_t> began{0};
  std::unique_ptr<char[]> buffer;
  // Pieces of 7 bytes: the tag and the framing are cut everywhere.
  const PumpContext context{testing::LinkedFilter(), held, 7, began, &buffer};
  StartResponse(&out, context, 11, c.stopping, false);
  std::string bytes;
  const char* step = nullptr;
  while (Pump(&out, context, &step) == PumpStep::kWrite) {
    out.client.Take(&out.writing);
    std::size_t written = 0;
    for (std::string_view piece : out.writing.pieces) {
      bytes += piece;
      written += piece.size();
    }
    ObserveWritten(&out, written);
    if (c.lose_client) out.client.MarkLost();
  }
  const std::size_t end = bytes.find("\r\n\r\n") + 4;
  return Sent{bytes.substr(0, end), bytes.substr(end),
              KeepsConnection(out, c.stopping), began.load()};
}

TEST(Outgoing, PumpsThePlanThroughTheFilter) {
  const CodingOptions gzip{true, false}, chunked{false, true};
  const Case cases[] = {
      {"plain", false, {}},
      {"tagged", true, {}},
      {"chunked", false, chunked},
      {"chunked, tagged", true, chunked},
      {"gzip, tagged", true, gzip},
      {"HEAD", true, {}, 200, true, true, false, false, true},
      {"HEAD, chunked", true, chunked, 200, true, true, false, false, true},
      {"304", false, {}, 304, true, true, false, false, true},
      {"closing plan",
       false,
       {},
       200,
       false,
       false,
       false,
       false,
       false,
       false},
      {"stopping", true, chunked, 200, false, true, true, false, false, false},
      {"client lost", false, chunked, 200, false, true, false, true, true,
       false},
  };
  testing::AppDir tagging("[ga1]\r\nAccount=UA-7\r\n");
  for (const Case& c : cases) {
    const Sent sent = Send(c, c.tagged ? tagging.path() : "");
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sent.keeps, c.keeps);
    EXPECT_EQ(sent.call_began, 0);  // no filter call is left marked
    EXPECT_EQ(sent.head.find("Connection: close") != std::string::npos,
              !c.keep_alive || c.stopping);
    std::string body = sent.body;
    if (c.coding.chunked && !c.no_body) {
      const auto deframed = checks::Deframe(body);
      ASSERT_TRUE(deframed) << body;
      body = deframed->data;
    }
    if (c.coding.gzip) {
      EXPECT_NE(sent.head.find("Content-Encoding: gzip"), std::string::npos);
      body = checks::Inflate(body, checks::Format::kGzip).value_or("broken");
    }
    const std::size_t length = sent.head.find("Content-Length: ");
    if (!c.coding.chunked && !c.no_body) {
      EXPECT_EQ(std::stoul(sent.head.substr(length + 16)), sent.body.size());
    }
    if (c.no_body) {
      EXPECT_EQ(sent.body, "");
    } else if (c.tagged) {
      EXPECT_NE(body.find("UA-7"), std::string::npos) << body;
      EXPECT_EQ(body.substr(body.size() - 14), "</body></html>");
    } else {
      EXPECT_EQ(body, kPage);
    }
  }
}

}  // namespace
}  // namespace tagsmith::host
