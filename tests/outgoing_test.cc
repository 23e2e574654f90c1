// The pump without a socket: a planned response in, through the linked
// filter, with --gzip and --chunked, the bytes the client gets and whether
// the connection stays open out, one case per line.
#include "commands/serve/outgoing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
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

// A page the filter lets go at its headers leaves from the file by the
// kernel (a socket pair smaller than the file makes the sender wait); one
// it tags does not; a file that shrank after its length was sent ends early.
TEST(Outgoing, SendsALetGoPageFromTheFile) {
  struct {
    const char* name;
    bool tagged;
    std::size_t file_bytes;  // of the planned size
    bool direct, keeps;
  } const cases[] = {
      {"let go", false, 300000, true, true},
      {"tagged", true, 300000, false, true},
      {"shrank", false, 1000, true, false},
  };
  const std::string page =
      "<html><body>" + std::string(300000 - 28, 'x') + "</body></html>";
  testing::AppDir tagging("[ga1]\r\nAccount=UA-7\r\n"), plain("[ga1]\r\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = plain.path() + "/page.html";
    std::ofstream(path, std::ios::binary) << page.substr(0, c.file_bytes);
    HeldBudget held(1 << 30);
    ResponsePlan plan;
    plan.status = 200;
    plan.content_type = "text/html";
    plan.file = FileHandle(open(path.c_str(), O_RDONLY));
    plan.body_size = page.size();
    plan.keep_alive = true;
    plan.app_directory = c.tagged ? tagging.path() : plain.path();
    Outgoing out(std::move(plan), held);
    std::atomic<std::int64_t> began{0};
    std::unique_ptr<char[]> buffer;
    PumpContext context{testing::LinkedFilter(), held, 4096, began, &buffer};
    context.send_file = true;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    StartResponse(&out, context, 11, false, false);
    std::string bytes;
    char got[65536];
    auto drain = [&] {
      for (ssize_t n; (n = read(pair[1], got, sizeof got)) > 0;)
        bytes.append(got, static_cast<std::size_t>(n));
    };
    const char* step = nullptr;
    bool direct = false;
    for (PumpStep next;
         (next = Pump(&out, context, &step)) != PumpStep::kDone;) {
      out.client.Take(&out.writing);
      if (next == PumpStep::kSendFile) {
        direct = true;
        while (SendBodyDirect(&out, pair[0]) == DirectStep::kWait) drain();
      } else {
        std::size_t written = 0;
        for (std::string_view piece : out.writing.pieces) {
          bytes += piece;
          written += piece.size();
        }
        ObserveWritten(&out, written);
      }
      drain();
    }
    close(pair[0]);
    close(pair[1]);
    EXPECT_EQ(direct, c.direct);
    EXPECT_EQ(KeepsConnection(out, false), c.keeps);
    const std::string body = bytes.substr(bytes.find("\r\n\r\n") + 4);
    if (c.tagged)
      EXPECT_NE(body.find("UA-7"), std::string::npos);
    else
      EXPECT_EQ(body, page.substr(0, c.file_bytes));
  }
}

}  // namespace
}  // namespace tagsmith::host
