// Pages that `tagsmith serve --gzip` and `--chunked` code before the filter
// sees them, fetched by real clients that decode them (curl --compressed,
// Python's http.client with its gzip and zlib decoders, headless Chromium):
// what the client decodes is the page, whole, with the tracking block once,
// just before its last closing body tag.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "tagging/duplicate_check.h"
#include "tagging/tracking_block.h"
#include "tests/serve_harness.h"

namespace tagsmith::serve_testing {
namespace {

using std::chrono::seconds;

enum class Coding { kGzip, kChunked, kGzipChunked };
enum class Client { kCurl, kPython, kChromium };

const char kAccount[] = "UA-CODED-7";

// Fetches PATH twice on one connection asking for gzip, decodes each body
// with the gzip module and again with zlib (they must agree), writes the
// first page to OUT and what the client saw to OUT.head.
const char kPythonClient[] = R"(
import gzip, http.client, sys, zlib
port, path, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
pages, report, first = [], [], None
for _ in range(2):
    conn.request("GET", path, headers={"Accept-Encoding": "gzip"})
    response = conn.getresponse()
    raw = response.read()  # http.client takes the chunk framing off
    first = first or conn.sock
    length = response.getheader("Content-Length")
    if length is not None and int(length) != len(raw):
        sys.exit("Content-Length %s, body %d bytes" % (length, len(raw)))
    if response.getheader("Content-Encoding") == "gzip":
        page = gzip.decompress(raw)
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        if (inflater.decompress(raw) + inflater.flush() != page or
                not inflater.eof or inflater.unused_data):
            sys.exit("zlib does not decode the body as gzip does")
    else:
        page = raw
    pages.append(page)
    report = ["%s: %s" % field for field in response.getheaders()]
if pages[0] != pages[1]:
    sys.exit("the two responses differ")
report.append("same connection: %s" % (conn.sock is first))
open(out, "wb").write(pages[0])
open(out + ".head", "w").write("\n".join(report) + "\n")
)";

std::string Filler() {
  // Words of pseudo-random letters: a page that gzip shrinks to several
  // chunks of 4096 bytes, not to one.
  std::string text;
  std::uint32_t state = 12345;
  for (int line = 0; line < 800; ++line) {
    text += "<p>";
    for (int letter = 0; letter < 70; ++letter) {
      state = state * 1103515245u + 12345u;
      text +=
          (letter % 8 == 7) ? ' ' : static_cast<char>('a' + (state >> 16) % 26);
    }
    text += "</p>\n";
  }
  return text;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++count;
  return count;
}

class ServeCoded : public ::testing::TestWithParam<std::tuple<Coding, Client>> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(top_.path().empty());
    site_ = top_.path();
    WriteFile(site_ + "/tagsmith.config",
              std::string("[ga1]\nAccount=") + kAccount + "\n");
    page_ =
        "<!DOCTYPE html>\n<html>\n<head><title>Coded</title></head>\n"
        "<body>\n<h1>Coded</h1>\n" +
        Filler() + "<p>END-OF-CONTENT</p>\n</body>\n</html>\n";
    WriteFile(site_ + "/page.html", page_);
    WriteFile(site_ + "/urchin.js", kStandInTracker);
    block_ = std::string(kPlainScriptHead) + kAccount + kScriptTail;
  }

  bool gzip() const { return std::get<0>(GetParam()) != Coding::kChunked; }
  bool chunked() const { return std::get<0>(GetParam()) != Coding::kGzip; }

  std::vector<std::string> ServeArgs() const {
    std::vector<std::string> args{site_, "--chunk-size", "4096"};
    if (gzip()) args.push_back("--gzip");
    if (chunked()) args.push_back("--chunked");
    return args;
  }

  // The response head as the client saw it: coded as asked.
  void ExpectCodedHead(const std::string& head) {
    EXPECT_EQ(head.find("Content-Encoding: gzip") != std::string::npos, gzip())
        << head;
    EXPECT_EQ(head.find("Transfer-Encoding: chunked") != std::string::npos,
              chunked())
        << head;
    EXPECT_EQ(head.find("Content-Length") != std::string::npos, !chunked())
        << head;
  }

  // The decoded page is the served page, whole, plus the block once, just
  // before its last closing body tag.
  void ExpectTaggedOnce(const std::string& decoded) {
    std::string without = decoded;
    const auto at = without.find(block_);
    if (at != std::string::npos) without.erase(at, block_.size());
    ASSERT_TRUE(without == page_)
        << "the decoded page is not the served page (" << decoded.size()
        << " bytes, the page " << page_.size() << ")";
    EXPECT_EQ(Count(decoded, block_), 1u) << "the tracking block is missing";
    if (at != std::string::npos) {
      EXPECT_EQ(at + block_.size(), decoded.rfind("</body>"))
          << "the block is not just before the last closing body tag";
    }
  }

  void ByCurl(const ServerProcess& server) {
    const std::string head = top_.path() + "/head", first = top_.path() + "/1",
                      second = top_.path() + "/2";
    const ProgramResult got = RunProgram(
        {"curl", "-sS", "--max-time", "20", "--compressed", "-D", head, "-w",
         "%{num_connects}\n", "-o", first, server.Url("/page.html"), "-o",
         second, server.Url("/page.html")},
        seconds(30));
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, "1\n0\n") << "the second request did not reuse the "
                                    "connection";
    ExpectCodedHead(ReadFile(head));
    EXPECT_TRUE(ReadFile(first) == ReadFile(second));
    ExpectTaggedOnce(ReadFile(first));
  }

  void ByPython(const ServerProcess& server) {
    ASSERT_TRUE(HaveProgram("python3")) << "python3 is needed";
    const std::string script = top_.path() + "/client.py",
                      out = top_.path() + "/page";
    WriteFile(script, kPythonClient);
    const ProgramResult got = RunProgram(
        {"python3", script, std::to_string(server.port()), "/page.html", out},
        seconds(30));
    ASSERT_EQ(got.status, 0) << got.err;
    const std::string head = ReadFile(out + ".head");
    ExpectCodedHead(head);
    EXPECT_NE(head.find("same connection: True"), std::string::npos) << head;
    ExpectTaggedOnce(ReadFile(out));
  }

  void ByChromium(const ServerProcess& server) {
    std::string skipped;
    const std::string browser = FindBrowser(&skipped);
    if (browser.empty()) GTEST_SKIP() << skipped;
    const ProgramResult dom = DumpDom(browser, server.Url("/page.html"),
                                      server.port(), server.tls_port());
    ASSERT_FALSE(dom.timed_out) << "chromium did not finish in 90 s";
    ASSERT_EQ(dom.status, 0) << dom.err;
    // The browser shows the page as parsed, not as sent: its text, whole,
    // and the script element once, after the last of the content.
    const std::size_t end = dom.out.find("END-OF-CONTENT");
    ASSERT_NE(end, std::string::npos) << dom.out;
    EXPECT_NE(dom.out.find(Filler().substr(0, 2000)), std::string::npos);
    EXPECT_EQ(Count(dom.out, kPlainScriptMarker), 1u)
        << "the tracking block is missing";
    EXPECT_GT(dom.out.find(kPlainScriptMarker), end);
    EXPECT_NE(dom.out.find(std::string("<p id=\"tracked\">tracked for ") +
                           kAccount + "</p>"),
              std::string::npos)
        << "the tracking script did not run in the page";
    if (gzip()) {
      // The page went out compressed: far fewer bytes than it holds.
      const std::string log = server.Output();
      const auto line = log.find(" GET /page.html 200 ");
      ASSERT_NE(line, std::string::npos) << log;
      EXPECT_LT(std::stoull(log.substr(line + 20)), page_.size() * 3 / 4)
          << log;
    }
  }

  ScratchDir top_;
  std::string site_, page_, block_;
};

TEST_P(ServeCoded, TheClientDecodesThePageTaggedOnce) {
  const Client client = std::get<1>(GetParam());
  std::vector<std::string> args = ServeArgs();
  std::string cert, key;
  if (client == Client::kChromium) {
    // The browser fetches the script from its host over HTTPS only.
    const ProgramResult made = MakeCertificate(top_.path(), &cert, &key);
    ASSERT_EQ(made.status, 0) << made.err;
    args.insert(args.end(), {"--tls-listen", "127.0.0.1:0", "--tls-cert", cert,
                             "--tls-key", key});
  }
  ServerProcess server(args, client == Client::kChromium);
  ASSERT_TRUE(server.started()) << server.Errors();
  switch (client) {
    case Client::kCurl:
      return ByCurl(server);
    case Client::kPython:
      return ByPython(server);
    case Client::kChromium:
      return ByChromium(server);
  }
}

const char* const kCodingNames[] = {"gzip", "chunked", "gzip_chunked"};
const char* const kClientNames[] = {"curl", "python", "chromium"};
void PrintTo(Coding coding, std::ostream* out) {
  *out << kCodingNames[static_cast<int>(coding)];
}
void PrintTo(Client client, std::ostream* out) {
  *out << kClientNames[static_cast<int>(client)];
}

std::string CaseName(
    const ::testing::TestParamInfo<std::tuple<Coding, Client>>& info) {
  return std::string(kCodingNames[static_cast<int>(std::get<0>(info.param))]) +
         "_" + kClientNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Codings, ServeCoded,
    ::testing::Combine(::testing::Values(Coding::kGzip, Coding::kChunked,
                                         Coding::kGzipChunked),
                       ::testing::Values(Client::kCurl, Client::kPython,
                                         Client::kChromium)),
    CaseName);

}  // namespace
}  // namespace tagsmith::serve_testing
