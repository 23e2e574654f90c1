// mod_tagsmith over HTTP/2 (TLS and cleartext), through mod_deflate and a
// proxied gzip backend; streamed responses that must not wait for their
// end; and a large download that must pass as the file it is.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "tests/apache_harness.h"

namespace tagsmith::apache_testing {
namespace {

namespace fs = std::filesystem;
using serve_testing::BodyOf;
using serve_testing::FilteredByRun;
using serve_testing::ProgramResult;
using serve_testing::ReadFile;
using serve_testing::RunProgram;
using serve_testing::WriteFile;
using Clock = std::chrono::steady_clock;

std::string TaggedPage(const std::string& app_dir, const std::string& page,
                       bool secure = false) {
  return BodyOf(FilteredByRun(app_dir, "text/html", page, secure));
}

// A backend that sends the page gzip-compressed with a Content-Length.
constexpr char kGzipBackend[] = R"(import gzip, http.server, sys
page = gzip.compress(open(sys.argv[2], 'rb').read())
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def do_GET(self):
        self.send_response(200)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Encoding', 'gzip')
        self.send_header('Content-Length', str(len(page)))
        self.end_headers()
        self.wfile.write(page)
    def log_message(self, *args):
        pass
http.server.HTTPServer(('127.0.0.1', int(sys.argv[1])), Handler).serve_forever()
)";

// curl's output as it arrives: each read's bytes and when they came,
// in seconds from the start.
struct Arrival {
  double at;
  std::string bytes;
};

std::vector<Arrival> ArrivalsOf(const std::string& options,
                                const std::string& url) {
  const std::string command =
      "curl -sN --max-time 20 " + options + " '" + url + "'";
  std::vector<Arrival> arrivals;
  FILE* out = popen(command.c_str(), "r");
  if (!out) return arrivals;
  const Clock::time_point start = Clock::now();
  char buffer[4096];
  for (ssize_t n; (n = read(fileno(out), buffer, sizeof buffer)) > 0;)
    arrivals.push_back(
        {std::chrono::duration<double>(Clock::now() - start).count(),
         std::string(buffer, static_cast<std::size_t>(n))});
  pclose(out);
  return arrivals;
}

// When the first byte of `text` arrived; -1 if it never did.
double WhenSeen(const std::vector<Arrival>& arrivals, const std::string& text) {
  std::string all;
  for (const Arrival& arrival : arrivals) {
    all += arrival.bytes;
    if (all.find(text) != std::string::npos) return arrival.at;
  }
  return -1;
}

TEST(ApacheHttp2, PagesTaggedOnceOverTlsCleartextDeflateAndProxy) {
  REQUIRE_APACHE();
  serve_testing::ScratchDir backend_dir;
  fs::permissions(backend_dir.path(), fs::perms(0755));
  ApacheOptions options;
  options.tls = true;
  options.http2 = true;
  options.backend_port = FreePort();
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string page = ReadFile(apache.site() + "/page.html");
  WriteFile(backend_dir.path() + "/backend.py", kGzipBackend);
  const Backend backend(
      {"python3", backend_dir.path() + "/backend.py",
       std::to_string(options.backend_port), apache.site() + "/page.html"},
      backend_dir.path());
  ASSERT_TRUE(backend.Answers("http://127.0.0.1:" +
                              std::to_string(options.backend_port)));

  const std::string plain = "http://127.0.0.1:" + std::to_string(apache.port());
  const std::string tls =
      "https://127.0.0.1:" + std::to_string(apache.tls_port());
  const std::string tagged = TaggedPage(apache.site(), page);
  struct Case {
    std::string url;
    const char* option;
    std::string expected;
    const char* coding;  // the content-encoding the client must see
  } cases[] = {
      {tls + "/page.html", "--http2", TaggedPage(apache.site(), page, true),
       ""},
      {plain + "/page.html", "--http2-prior-knowledge", tagged, ""},
      {plain + "/gz/page.html", "--http2-prior-knowledge", tagged, "gzip"},
      {plain + "/proxy/page.html", "--http2-prior-knowledge", tagged, "gzip"},
      {plain + "/cgi-bin/page.cgi", "--http2-prior-knowledge", tagged, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const ProgramResult got =
        RunProgram({"curl", "-sSk", c.option, "--compressed", "-D",
                    apache.dir() + "/head", c.url},
                   kClientLimit);
    ASSERT_EQ(got.status, 0) << got.err;
    const std::string head = ReadFile(apache.dir() + "/head");
    EXPECT_EQ(head.substr(0, 10), "HTTP/2 200") << head;
    EXPECT_TRUE(SameBytes(got.out, c.expected)) << head;
    if (*c.coding) {
      EXPECT_NE(head.find(std::string("content-encoding: ") + c.coding),
                std::string::npos)
          << head;
    } else if (c.url.find("/cgi-bin/") == std::string::npos) {
      EXPECT_NE(head.find("content-length: " + std::to_string(got.out.size())),
                std::string::npos)
          << head;
    }
  }
}

// Chromium opens a page over HTTPS, which it speaks HTTP/2 to, and finds
// the block in the page.
TEST(ApacheHttp2, ChromiumRunsTheBlockOverHttps) {
  REQUIRE_APACHE();
  std::string skipped;
  const std::string browser = serve_testing::FindBrowser(&skipped);
  if (browser.empty()) GTEST_SKIP() << skipped;
  ApacheOptions options;
  options.tls = true;
  options.http2 = true;
  options.extra =
      "LogFormat \"%H %U %>s\" protocol\nCustomLog logs/access.log protocol";
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string url =
      "https://127.0.0.1:" + std::to_string(apache.tls_port()) + "/small.html";
  const ProgramResult dom =
      serve_testing::DumpDom(browser, url, apache.port(), apache.tls_port());
  ASSERT_FALSE(dom.timed_out) << "chromium did not finish in 90 s";
  ASSERT_EQ(dom.status, 0) << dom.err;
  EXPECT_NE(dom.out.find("_uacct = \"UA-AP-1\""), std::string::npos) << dom.out;
  EXPECT_NE(dom.out.find("https://"), std::string::npos) << "the secure block";
  EXPECT_NE(ReadFile(apache.dir() + "/logs/access.log")
                .find("HTTP/2.0 /small.html 200"),
            std::string::npos)
      << ReadFile(apache.dir() + "/logs/access.log");
}

// A site's own snippet on a page whose policy allows scripts only by
// nonce: the block's scripts get the nonce, and Chromium runs both (the one
// loaded from the site and the inline one).
TEST(ApacheSnippet, ChromiumRunsTheSnippetUnderANoncePolicy) {
  REQUIRE_APACHE();
  std::string skipped;
  const std::string browser = serve_testing::FindBrowser(&skipped);
  if (browser.empty()) GTEST_SKIP() << skipped;
  ApacheOptions options;
  options.extra =
      "LoadModule headers_module /usr/lib/apache2/modules/mod_headers.so\n"
      "Header set Content-Security-Policy "
      "\"script-src 'nonce-n0Nce4tEst' 'self'\" early";
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  WriteFile(apache.blog() + "/tagsmith.config",
            "[ga1]\nAccount=UA-BLOG-1\nSnippet=snippet.html\n");
  WriteFile(apache.blog() + "/snippet.html",
            "<script src=\"/blog/counter.js?id={account}\"></script>\n"
            "<script>document.body.setAttribute('data-tracked', "
            "'{account}');</script>\n");
  WriteFile(apache.blog() + "/counter.js",
            "document.body.setAttribute('data-counted', 'yes');\n");
  WriteFile(apache.blog() + "/csp.html",
            "<html><head><title>csp</title></head><body><p>page</p>"
            "</body></html>\n");
  for (const char* file :
       {"tagsmith.config", "snippet.html", "counter.js", "csp.html"})
    fs::permissions(apache.blog() + "/" + file, fs::perms(0644));
  const std::string url =
      "http://127.0.0.1:" + std::to_string(apache.port()) + "/blog/csp.html";
  const std::string sent =
      BodyOf(Exchange(apache.port(),
                      "GET /blog/csp.html HTTP/1.1\r\nHost: "
                      "127.0.0.1\r\nConnection: close\r\n\r\n"));
  EXPECT_NE(sent.find("<script nonce=\"n0Nce4tEst\" src="), std::string::npos)
      << sent;
  const ProgramResult dom =
      serve_testing::DumpDom(browser, url, apache.port(), apache.port());
  ASSERT_FALSE(dom.timed_out) << "chromium did not finish in 90 s";
  ASSERT_EQ(dom.status, 0) << dom.err;
  EXPECT_NE(dom.out.find("data-tracked=\"UA-BLOG-1\""), std::string::npos)
      << dom.out;
  EXPECT_NE(dom.out.find("data-counted=\"yes\""), std::string::npos) << dom.out;
}

// A stream is not held: server-sent events arrive as they are sent, and so
// does the flushed first half of a page that is no candidate; an HTML page
// is held to its end and tagged.
TEST(ApacheStreams, EventsAndFlushesPassAsTheyComeOverBothProtocols) {
  REQUIRE_APACHE();
  ApacheOptions options;
  options.http2 = true;
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string cgi =
      "http://127.0.0.1:" + std::to_string(apache.port()) + "/cgi-bin/";
  for (const char* protocol : {"--http1.1", "--http2-prior-knowledge"}) {
    SCOPED_TRACE(protocol);
    const auto events = ArrivalsOf(protocol, cgi + "events.cgi");
    const double seen[] = {WhenSeen(events, "event 1"),
                           WhenSeen(events, "event 2"),
                           WhenSeen(events, "event 3")};
    ASSERT_GE(seen[0], 0);
    EXPECT_GE(seen[1] - seen[0], 0.8) << seen[0] << " then " << seen[1];
    EXPECT_GE(seen[2] - seen[1], 0.8) << seen[1] << " then " << seen[2];

    const auto plain = ArrivalsOf(protocol, cgi + "halves.cgi?text/plain");
    ASSERT_FALSE(plain.empty());
    EXPECT_GE(WhenSeen(plain, "second half") - WhenSeen(plain, "first half"),
              1.0);
    const auto html = ArrivalsOf(protocol, cgi + "halves.cgi?text/html");
    ASSERT_FALSE(html.empty());
    EXPECT_EQ(WhenSeen(html, "first half"), WhenSeen(html, "second half"));
    EXPECT_GE(WhenSeen(html, "UA-AP-1"), 0);
  }
}

// A 200 MB file passes untouched and unread by the module (sent with
// sendfile): byte for byte, and the serving child barely grows.
TEST(ApacheDownloads, LargeFilePassesWholeWithFlatMemory) {
  REQUIRE_APACHE();
  ApacheOptions options;
  options.extra = "EnableSendfile On";
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string file = apache.dir() + "/files/large.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (int mb = 0; mb < 200; ++mb) {
      for (std::size_t i = 0; i < block.size(); i += 4096)
        block[i] = static_cast<char>(mb + i / 4096);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  fs::permissions(file, fs::perms(0644));
  const std::string url =
      "http://127.0.0.1:" + std::to_string(apache.port()) + "/files/large.bin";
  ASSERT_EQ(
      RunProgram({"curl", "-sS", "-o", "/dev/null", url}, kClientLimit).status,
      0);
  const pid_t child = apache.ServingChild();
  ASSERT_GT(child, 0);
  const long before = ResidentKilobytes(child);
  const std::string copy = apache.dir() + "/copy.bin";
  const auto got = RunProgram({"curl", "-sS", "-o", copy, url}, kClientLimit);
  ASSERT_EQ(got.status, 0) << got.err;
  const long after = ResidentKilobytes(child);
  EXPECT_EQ(fs::file_size(copy), fs::file_size(file));
  EXPECT_TRUE(ReadFile(copy) == ReadFile(file)) << "the copy differs";
  EXPECT_LT(after - before, 4096) << before << " kB, then " << after << " kB";
}

}  // namespace
}  // namespace tagsmith::apache_testing
