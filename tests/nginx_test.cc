// ngx_http_tagsmith_module in Debian's real nginx: pages tagged as
// `tagsmith run` tags them, over HTTP/1.1 and HTTP/2, through gzip and a
// proxy; what is not a candidate untouched; streams not held; ranges that
// join; load, memory, and the refused starts. The range unit's table too.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include "nginx/held_range.h"
#include "tests/nginx_harness.h"

namespace tagsmith::nginx_testing {
namespace {

using serve_testing::BodyOf;
using serve_testing::FilteredByRun;
using serve_testing::RawConnection;
using serve_testing::ReadFile;
using serve_testing::RunProgram;
using serve_testing::WriteFile;
constexpr auto kLimit = std::chrono::seconds(30);

#define REQUIRE_NGINX()                                          \
  if (!HaveNginx()) {                                            \
    GTEST_SKIP() << "nginx or ngx_http_tagsmith_module missing"; \
  }                                                              \
  static_assert(true, "")

TEST(HeldRange, ChoosesOneSatisfiableRangeOrTheWholePage) {
  const struct {
    const char* range;
    const char* if_range;
    const char* etag;
    std::uint64_t length, first, last;
    bool part;
  } cases[] = {
      {"bytes=0-99", "", "\"e\"", 1000, 0, 99, true},
      {"bytes=900-", "", "", 1000, 900, 999, true},
      {"bytes=-10", "", "", 1000, 990, 999, true},
      {"bytes=-5000", "", "", 1000, 0, 999, true},
      {"BYTES= 5-2000", "", "", 1000, 5, 999, true},
      {"bytes=5-5", "\"e\"", "\"e\"", 1000, 5, 5, true},
      {"bytes=5-9", "W/\"e\"", "W/\"e\"", 1000, 0, 0, false},  // weak
      {"bytes=5-9", "\"e\"", "W/\"e\"", 1000, 0, 0, false},
      {"bytes=5-9", "\"f\"", "\"e\"", 1000, 0, 0, false},
      {"bytes=5-9", "Tue, 01 Dec 2026 10:00:00 GMT", "\"e\"", 1000, 0, 0,
       false},
      {"bytes=0-1,5-9", "", "", 1000, 0, 0, false},
      {"bytes=1000-", "", "", 1000, 0, 0, false},
      {"bytes=9-5", "", "", 1000, 0, 0, false},
      {"bytes=-0", "", "", 1000, 0, 0, false},
      {"bytes=0-0", "", "", 0, 0, 0, false},
      {"bytes=x-9", "", "", 1000, 0, 0, false},
      {"items=0-9", "", "", 1000, 0, 0, false},
      {"bytes=99999999999999999999-", "", "", 1000, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.range) + " / " + c.if_range);
    nginx_host::ByteSpan span;
    ASSERT_EQ(
        nginx_host::ChooseRange(c.range, c.if_range, c.etag, c.length, &span),
        c.part);
    if (!c.part) continue;
    EXPECT_EQ(span.first, c.first);
    EXPECT_EQ(span.last, c.last);
  }
}

std::string Get(const std::string& target, const std::string& headers = "",
                const std::string& method = "GET") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
         "Connection: close\r\n\r\n";
}

std::string HeaderOf(const std::string& response, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const auto at = response.find(key);
  if (at == std::string::npos) return "";
  const auto end = response.find("\r\n", at + key.size());
  return response.substr(at + key.size(), end - at - key.size());
}

std::string Tagged(const std::string& app_dir, const std::string& page,
                   bool secure = false) {
  return BodyOf(FilteredByRun(app_dir, "text/html", page, secure));
}

TEST(Nginx, StaticResponsesTaggedOrUntouched) {
  REQUIRE_NGINX();
  NginxServer nginx;
  ASSERT_TRUE(nginx.Started()) << nginx.Errors();
  const std::string page = ReadFile(nginx.site() + "/page.html");
  const std::string tagged = Tagged(nginx.site(), page);
  ASSERT_NE(tagged.find("urchin.js"), std::string::npos);
  const std::string get = Exchange(nginx.port(), Get("/page.html"));
  EXPECT_EQ(BodyOf(get), tagged);
  EXPECT_EQ(HeaderOf(get, "Content-Length"), std::to_string(tagged.size()));
  EXPECT_EQ(HeaderOf(get, "ETag").substr(0, 2), "W/");
  const std::string head =
      Exchange(nginx.port(), Get("/page.html", "", "HEAD"));
  EXPECT_EQ(head.substr(0, head.find("\r\nDate:")),
            get.substr(0, get.find("\r\nDate:")));
  EXPECT_EQ(HeaderOf(head, "Content-Length"), HeaderOf(get, "Content-Length"));
  EXPECT_TRUE(BodyOf(head).empty());
  EXPECT_EQ(BodyOf(Exchange(nginx.port(), Get("/blog/page.html"))),
            Tagged(nginx.blog(), page));
  // Untouched: tagsmith off, an image, a missing page, a 304.
  const std::string plain = Exchange(nginx.port(), Get("/untagged/page.html"));
  EXPECT_EQ(BodyOf(plain), page);
  const std::string etag = HeaderOf(plain, "ETag");
  for (const char* file : {"/image.png", "/big.bin"})
    EXPECT_TRUE(BodyOf(Exchange(nginx.port(), Get(file))) ==
                ReadFile(nginx.site() + file))
        << file;
  EXPECT_TRUE(BodyOf(Exchange(nginx.port(), Get("/big.html"))) ==
              Tagged(nginx.site(), ReadFile(nginx.site() + "/big.html")));
  EXPECT_EQ(Exchange(nginx.port(), Get("/missing.html")).substr(9, 3), "404");
  // A 304 gives back the validator the client holds.
  for (const std::string& held : {etag, HeaderOf(get, "ETag")}) {
    const std::string not_modified = Exchange(
        nginx.port(), Get("/page.html", "If-None-Match: " + held + "\r\n"));
    EXPECT_EQ(not_modified.substr(9, 3), "304");
    EXPECT_EQ(HeaderOf(not_modified, "ETag"), held);
  }
  // A changed configuration applies to the next page.
  WriteFile(nginx.blog() + "/tagsmith.config", "[ga1]\nAccount=UA-BLOG-2\n");
  EXPECT_NE(Exchange(nginx.port(), Get("/blog/page.html")).find("UA-BLOG-2"),
            std::string::npos);
  // A resumed download joins to exactly the tagged page: the rest is cut
  // from it, or the whole page comes again.
  const std::string rest = Exchange(
      nginx.port(), Get("/page.html", "Range: bytes=1000-\r\nIf-Range: " +
                                          HeaderOf(get, "ETag") + "\r\n"));
  const std::string joined = rest.substr(9, 3) == "206"
                                 ? tagged.substr(0, 1000) + BodyOf(rest)
                                 : BodyOf(rest);
  EXPECT_EQ(joined, tagged);
  const std::string part =
      Exchange(nginx.port(), Get("/page.html", "Range: bytes=1000-\r\n"));
  ASSERT_EQ(part.substr(9, 3), "206");
  EXPECT_EQ(tagged.substr(0, 1000) + BodyOf(part), tagged);
}

TEST(Nginx, GzipHttp2AndProxiedPagesTaggedOnce) {
  REQUIRE_NGINX();
  if (!serve_testing::HaveProgram("curl") ||
      !serve_testing::HaveProgram("python3"))
    GTEST_SKIP() << "curl or python3 missing";
  serve_testing::ScratchDir backend_dir;
  const int backend_port = FreePort();
  NginxOptions options;
  options.tls = true;
  options.backend_port = backend_port;
  NginxServer nginx(options);
  const std::string page = ReadFile(nginx.site() + "/page.html");
  WriteFile(backend_dir.path() + "/page.html", page);
  WriteFile(backend_dir.path() + "/backend.py", R"(
import gzip, http.server, sys, time
page = open(sys.argv[2], 'rb').read()
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def do_GET(self):
        kind = self.path[1:]
        pieces = {'chunked': [page[:9999], page[9999:]],
                  'events': [b'data: %d\n\n' % n for n in range(3)]}.get(kind)
        body = gzip.compress(page) if kind == 'gzip' else page
        self.send_response(200)
        self.send_header('Content-Type', 'text/event-stream' if kind == 'events' else 'text/html')
        if kind == 'gzip': self.send_header('Content-Encoding', 'gzip')
        self.send_header(*(('Transfer-Encoding', 'chunked') if pieces else ('Content-Length', len(body))))
        self.end_headers()
        for piece in pieces or []:
            self.wfile.write(b'%x\r\n%s\r\n' % (len(piece), piece))
            self.wfile.flush()
            time.sleep(1 if kind == 'events' else 0.2)
        self.wfile.write(b'0\r\n\r\n' if pieces else body)
http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), Handler).serve_forever()
)");
  const pid_t backend = serve_testing::Spawn(
      {"python3", backend_dir.path() + "/backend.py",
       std::to_string(backend_port), backend_dir.path() + "/page.html"},
      backend_dir.path() + "/out", backend_dir.path() + "/err");
  ASSERT_TRUE(nginx.Started()) << nginx.Errors();
  const std::string tagged = Tagged(nginx.site(), page);
  const std::string url = "http://127.0.0.1:" + std::to_string(nginx.port());
  const auto curl = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-sS", "--max-time", "20"});
    return RunProgram(args, kLimit).out;
  };
  for (int tries = 0; tries < 200 && !serve_testing::Accepts(backend_port);
       ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (const char* path : {"/proxy/plain", "/proxy/gzip", "/proxy/chunked"})
    EXPECT_EQ(curl({"--compressed", url + path}), tagged) << path;
  EXPECT_EQ(curl({"--compressed", url + "/gz/page.html"}), tagged);
  const std::string h2 = curl(
      {"-k", "--http2", "-i",
       "https://127.0.0.1:" + std::to_string(nginx.tls_port()) + "/page.html"});
  const std::string tagged_tls = Tagged(nginx.site(), page, true);
  EXPECT_EQ(h2.substr(0, 10), "HTTP/2 200");
  EXPECT_NE(h2.find("content-length: " + std::to_string(tagged_tls.size())),
            std::string::npos);
  EXPECT_EQ(BodyOf(h2), tagged_tls);
  // The event stream is not held: each event (a chunk of 14 bytes) comes
  // as the backend sends it.
  RawConnection stream(nginx.port());
  ASSERT_TRUE(stream.Send(Get("/proxy/events")));
  std::string head, event;
  while (head.find("\r\n\r\n") == std::string::npos &&
         stream.ReadSome(&event, 1))
    head += event;
  std::vector<std::chrono::steady_clock::time_point> at;
  while (at.size() < 3 && stream.ReadSome(&event, 14))
    at.push_back(std::chrono::steady_clock::now());
  ASSERT_EQ(at.size(), 3u) << head;
  for (std::size_t i = 1; i < at.size(); ++i)
    EXPECT_GE(at[i] - at[i - 1], std::chrono::milliseconds(800));
  kill(backend, SIGTERM);
  serve_testing::WaitFor(backend, std::chrono::seconds(10));
}

TEST(Nginx, ManyClientsByteExactAndMemoryFlat) {
  REQUIRE_NGINX();
  NginxServer nginx;
  ASSERT_TRUE(nginx.Started()) << nginx.Errors();
  const std::string tagged =
      Tagged(nginx.site(), ReadFile(nginx.site() + "/small.html"));
  const std::string request =
      "GET /small.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < 50; ++client)
    clients.emplace_back([&] {
      RawConnection connection(nginx.port());
      for (int i = 0; i < 2000; ++i) {
        RawConnection::Response response;
        if (!connection.Send(request) || !connection.Read(&response) ||
            response.body != tagged)
          ++wrong;
      }
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(wrong.load(), 0);
  // Resident memory stays flat over 100,000 requests on one connection.
  RawConnection connection(nginx.port());
  long before = 0;
  for (int i = 0; i < 100000 && wrong == 0; ++i) {
    RawConnection::Response response;
    if (!connection.Send(request) || !connection.Read(&response) ||
        response.body.size() != tagged.size())
      ++wrong;
    if (i == 10000) before = ResidentKilobytes(nginx.Worker());
  }
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_GT(before, 0);
  EXPECT_LT(ResidentKilobytes(nginx.Worker()) - before, 4 * 1024);
}

// A worker whose budget is spent sends every page whole and untagged, and
// says so once.
TEST(Nginx, SpentBudgetSendsPagesWholeAndSaysSoOnce) {
  REQUIRE_NGINX();
  NginxOptions options;
  options.http_extra = "tagsmith_max_held 0;";
  NginxServer nginx(options);
  ASSERT_TRUE(nginx.Started()) << nginx.Errors();
  const std::string page = ReadFile(nginx.site() + "/page.html");
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(BodyOf(Exchange(nginx.port(), Get("/page.html"))) == page);
  const std::string errors = nginx.Errors();
  const std::string line = "held memory at its limit of 0 bytes";
  const std::string::size_type first = errors.find(line);
  EXPECT_NE(first, std::string::npos) << errors;
  EXPECT_EQ(errors.find(line, first + 1), std::string::npos) << errors;
}

TEST(Nginx, RefusesToStartWithoutWhatItNeeds) {
  REQUIRE_NGINX();
  const struct {
    std::string filter_line, http_extra, named;
  } cases[] = {
      {"tagsmith_filter /nonexistent/libtagsmith.so;", "",
       "tagsmith_filter \"/nonexistent/libtagsmith.so\""},
      {"tagsmith_filter " + std::string(TAGSMITH_BIN_DIR) +
           "/ngx_http_tagsmith_module.so;",
       "", "ngx_http_tagsmith_module.so\""},
      {"", "server { listen 127.0.0.1:1; tagsmith_application /nonexistent; }",
       "tagsmith_application \"/nonexistent\""},
      {"tagsmith on;", "", "\"tagsmith on\" needs \"tagsmith_filter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    NginxOptions options;
    options.filter_line = c.filter_line;
    options.http_extra = c.http_extra;
    NginxServer nginx(options);
    const serve_testing::ProgramResult check = nginx.Check();
    EXPECT_NE(check.status, 0);
    EXPECT_NE(
        (check.err + ReadFile(nginx.dir() + "/logs/check.log")).find(c.named),
        std::string::npos)
        << check.err;
    EXPECT_FALSE(nginx.Started());
  }
}

}  // namespace
}  // namespace tagsmith::nginx_testing
