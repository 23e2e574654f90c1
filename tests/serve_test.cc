// `tagsmith serve` with real clients: curl, raw sockets, openssl's
// certificates and headless Chromium, against a server started for each
// test on a free loopback port and stopped by its process id: tagging,
// HTTPS, starting and stopping.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/serve_site.h"

namespace tagsmith::serve_testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// ---- Tagging over HTTP ------------------------------------------------------

TEST_F(ServeTest, CurlGetsATaggedPageWithATrueLength) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const std::string headers = top_.path() + "/headers";
  const ProgramResult got = Curl({"-D", headers, server.Url("/page.html")});
  ASSERT_EQ(got.status, 0) << got.err;
  const std::string head = ReadFile(headers);
  EXPECT_NE(head.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Type: text/html\r\n"), std::string::npos);
  EXPECT_NE(
      head.find("Content-Length: " + std::to_string(got.out.size()) + "\r\n"),
      std::string::npos)
      << head;
  EXPECT_EQ(Count(got.out, kPlainScript), 1u);
  EXPECT_NE(got.out.find("_uacct = \"UA-ROOT-1\""), std::string::npos);
  EXPECT_NE(got.out.find("<!-- root -->"), std::string::npos);
  EXPECT_EQ(got.out.find(kSecureScript), std::string::npos);
  // Exactly what `tagsmith run` makes of the same file.
  EXPECT_EQ(got.out,
            BodyOf(FilteredByRun(root_, "text/html",
                                 ReadFile(root_ + "/page.html"), false)));
  // The log line: time, client, method, target, status and every byte
  // sent, headers included.
  const std::regex line(
      "(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:"
      "[0-9]{2}\\.[0-9]{3}Z 127\\.0\\.0\\.1:[0-9]+ GET "
      "/page\\.html 200 " +
      std::to_string(head.size() + got.out.size()) + "\n");
  bool logged = false;  // the line may follow the response by a moment
  for (int attempt = 0; attempt < 100 && !logged; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    logged = std::regex_search(server.Output(), line);
  }
  EXPECT_TRUE(logged) << server.Output();
}

TEST_F(ServeTest, TwoPagesArriveWholeOverOneKeptConnection) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const std::string first = top_.path() + "/first";
  const std::string second = top_.path() + "/second";
  const ProgramResult got = Curl(
      {"-w", "%{num_connects} %{size_download} %{http_code}\\n", "-o", first,
       server.Url("/page.html"), "-o", second, server.Url("/sub/")});
  ASSERT_EQ(got.status, 0) << got.err;
  const std::string page = ReadFile(first);
  const std::string sub = ReadFile(second);
  EXPECT_EQ(got.out, "1 " + std::to_string(page.size()) + " 200\n0 " +
                         std::to_string(sub.size()) + " 200\n");
  EXPECT_EQ(page, BodyOf(FilteredByRun(root_, "text/html",
                                       ReadFile(root_ + "/page.html"), false)));
  EXPECT_EQ(sub,
            BodyOf(FilteredByRun(root_, "text/html",
                                 ReadFile(root_ + "/sub/index.html"), false)));
}

// HEAD gets the head GET gets, the filter's length included, and the
// connection goes on right after it.
TEST_F(ServeTest, HeadSendsTheHeadOfGetAndKeepsTheConnection) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(
      connection.Send("GET /page.html HTTP/1.1\r\nHost: t\r\n\r\n"
                      "HEAD /page.html HTTP/1.1\r\nHost: t\r\n\r\n"
                      "GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  RawConnection::Response page, head, get;
  ASSERT_TRUE(connection.Read(&page));
  ASSERT_TRUE(connection.Read(&head, true));
  EXPECT_EQ(head.status, 200);
  EXPECT_NE(page.body.find("UA-ROOT-1"), std::string::npos);
  EXPECT_EQ(head.Header("Content-Length"), std::to_string(page.body.size()));
  ASSERT_TRUE(connection.Read(&get));
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.body, ReadFile(root_ + "/notes.txt"));
  const ProgramResult curl = Curl({"-I", server.Url("/page.html")});
  ASSERT_EQ(curl.status, 0) << curl.err;
  EXPECT_NE(
      curl.out.find("Content-Length: " + std::to_string(page.body.size())),
      std::string::npos)
      << curl.out;
}

TEST_F(ServeTest, OtherResponsesArriveUntouched) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  struct Case {
    const char* path;
    int status;
    const char* type;
    std::string body;
  } cases[] = {
      {"/image.png", 200, "image/png", ReadFile(root_ + "/image.png")},
      {"/notes.txt", 200, "text/plain", ReadFile(root_ + "/notes.txt")},
      {"/tagged.html", 200, "text/html", ReadFile(root_ + "/tagged.html")},
      {"/missing.html", 404, "text/plain", "404 Not Found\n"},
      {"/tagsmith.config", 404, "text/plain", "404 Not Found\n"},
      {"/link-out.html", 403, "text/plain", "403 Forbidden\n"},
  };
  ASSERT_FALSE(cases[0].body.empty());
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.connected());
  for (const Case& c : cases) {
    ASSERT_TRUE(connection.Send(std::string("GET ") + c.path +
                                " HTTP/1.1\r\nHost: t\r\n\r\n"));
    RawConnection::Response response;
    ASSERT_TRUE(connection.Read(&response)) << c.path;
    EXPECT_EQ(response.status, c.status) << c.path;
    EXPECT_EQ(response.Header("Content-Type"), c.type) << c.path;
    EXPECT_TRUE(response.body == c.body) << c.path;
  }
  // The page that already loads the script is not tagged a second time.
  EXPECT_EQ(Count(ReadFile(root_ + "/tagged.html"), kPlainScript), 1u);
}

TEST_F(ServeTest, EachApplicationTagsWithItsOwnAccount) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const ProgramResult root = Curl({server.Url("/")});
  const ProgramResult blog = Curl({server.Url("/blog/")});
  ASSERT_EQ(root.status, 0) << root.err;
  ASSERT_EQ(blog.status, 0) << blog.err;
  EXPECT_NE(root.out.find("_uacct = \"UA-ROOT-1\""), std::string::npos);
  EXPECT_NE(blog.out.find("_uacct = \"UA-BLOG-2\""), std::string::npos);
  EXPECT_EQ(blog.out.find("UA-ROOT-1"), std::string::npos);
  EXPECT_EQ(blog.out.find("<!-- root -->"), std::string::npos);

  // The configuration is read for every page: a change applies next time.
  WriteFile(blog_ + "/tagsmith.config", "[ga1]\nAccount=UA-BLOG-NEW\n");
  const ProgramResult changed = Curl({server.Url("/blog/index.html")});
  EXPECT_NE(changed.out.find("_uacct = \"UA-BLOG-NEW\""), std::string::npos)
      << changed.out;
  WriteFile(blog_ + "/tagsmith.config", "[ga1]\n");
  const ProgramResult none = Curl({server.Url("/blog/index.html")});
  EXPECT_EQ(none.out, ReadFile(blog_ + "/index.html"));
}

TEST_F(ServeTest, AlwaysSslUsesTheSecureScriptOverPlainHttp) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const ProgramResult got = Curl({server.Url("/secure/")});
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(Count(got.out, kSecureScript), 1u) << got.out;
  EXPECT_EQ(got.out.find(kPlainScript), std::string::npos);
  EXPECT_NE(got.out.find("UA-SSL-3"), std::string::npos);
}

// ---- HTTPS ------------------------------------------------------------------

TEST_F(ServeTest, HttpsPagesUseTheSecureScript) {
  std::string cert, key;
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(&cert, &key));
  ServerProcess server(WithTls(cert, key), true);
  ASSERT_TRUE(server.started()) << server.Errors();

  const ProgramResult secure = Curl(
      {"--cacert", cert, "--resolve",
       "localhost:" + std::to_string(server.tls_port()) + ":127.0.0.1",
       "https://localhost:" + std::to_string(server.tls_port()) + "/page.html",
       "-w", "\n%{num_connects}",
       "https://localhost:" + std::to_string(server.tls_port()) + "/blog/"});
  ASSERT_EQ(secure.status, 0) << secure.err;
  EXPECT_EQ(Count(secure.out, kSecureScript), 2u) << secure.out;
  EXPECT_EQ(secure.out.find(kPlainScript), std::string::npos);
  EXPECT_NE(secure.out.find("UA-ROOT-1"), std::string::npos);
  EXPECT_NE(secure.out.find("UA-BLOG-2"), std::string::npos);
  EXPECT_EQ(secure.out.substr(secure.out.size() - 2), "\n0")
      << "the second page did not reuse the TLS connection";
  const std::string expected = BodyOf(
      FilteredByRun(root_, "text/html", ReadFile(root_ + "/page.html"), true));
  EXPECT_EQ(secure.out.compare(0, expected.size(), expected), 0);

  // The same server over plain HTTP uses the plain variant.
  const ProgramResult plain = Curl({server.Url("/page.html")});
  EXPECT_EQ(Count(plain.out, kPlainScript), 1u);
  EXPECT_EQ(plain.out.find(kSecureScript), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);
}

// ---- HTTP itself -----------------------------------------------------------

// A 304 frames no body (no Content-Length), carries the Vary its 200 would,
// and the connection goes on after it.
TEST_F(ServeTest, NotModifiedFramesNoBodyAndKeepsTheConnection) {
  std::vector<std::string> args = Apps();
  args.push_back("--gzip");
  ServerProcess server(args);
  ASSERT_TRUE(server.started()) << server.Errors();
  RawConnection connection(server.port());
  RawConnection::Response page, unchanged, next;
  ASSERT_TRUE(connection.Send("HEAD /page.html HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(connection.Read(&page, true));
  ASSERT_TRUE(
      connection.Send("GET /page.html HTTP/1.1\r\nHost: t\r\n"
                      "If-None-Match: " +
                      page.Header("ETag") +
                      "\r\n\r\nGET /notes.txt HTTP/1.1\r\nHost: t"
                      "\r\n\r\n"));
  ASSERT_TRUE(connection.Read(&unchanged));
  EXPECT_EQ(unchanged.status, 304);
  EXPECT_EQ(unchanged.head.find("Content-Length"), std::string::npos);
  EXPECT_EQ(unchanged.Header("Vary"), "Accept-Encoding");
  ASSERT_TRUE(connection.Read(&next));
  EXPECT_EQ(next.body, ReadFile(root_ + "/notes.txt"));
}

// A client that sends its body only after "100 Continue" gets it, then its
// answer, and the connection goes on.
TEST_F(ServeTest, AnswersExpectContinueBeforeTheBody) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  RawConnection connection(server.port(), seconds(5));
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send(
      "POST /notes.txt HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n"
      "Expect: 100-continue\r\n\r\n"));
  std::string interim;
  ASSERT_TRUE(connection.ReadSome(&interim, 25));
  EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(
      connection.Send("hello"
                      "GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  RawConnection::Response refused, next;
  ASSERT_TRUE(connection.Read(&refused));
  EXPECT_EQ(refused.status, 405);
  ASSERT_TRUE(connection.Read(&next));
  EXPECT_EQ(next.status, 200);
}

// ---- Start and stop ---------------------------------------------------------

TEST_F(ServeTest, StopsCleanlyOnSigtermAndRefusesBadStarts) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const std::string taken = "127.0.0.1:" + std::to_string(server.port());
  const std::string tagsmith = std::string(TAGSMITH_BIN_DIR) + "/tagsmith";
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"serve", top_.path() + "/none"}, 2, "application directory"},
      {{"serve", root_, "--app", "/blog=" + top_.path() + "/none"},
       2,
       "application directory"},
      {{"serve", root_, "--filter", top_.path() + "/none.so"},
       2,
       "cannot load filter library"},
      {{"serve", root_, "--listen", "no-such-host.invalid:0"},
       2,
       "cannot resolve the host of --listen"},
      {{"serve", root_, "--listen", "127.0.0.1:0", "--tls-listen",
        "127.0.0.1:0", "--tls-cert", top_.path() + "/none.pem", "--tls-key",
        top_.path() + "/none.pem"},
       2,
       "--tls-cert '"},
      {{"serve", "--bogus"}, 2, "unknown option"},
      {{"serve", root_, "--listen", taken},
       1,
       "choose another with --listen ADDR:PORT"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{tagsmith};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProgramResult result = RunProgram(argv, seconds(20));
    EXPECT_EQ(result.status, c.status) << c.message << ": " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << c.message;
  }
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_NE(server.Output().find("stopping"), std::string::npos);
}

// A filter call that never returns does not keep the server from stopping:
// SIGTERM stops the other connections at once and ends the process after
// the grace period.
TEST_F(ServeTest, StopsAfterTheGracePeriodWhenAFilterCallNeverReturns) {
  WriteFile(root_ + "/stuck.html", Page("NEVER-RETURNS"));
  std::vector<std::string> args = Apps();
  args.insert(args.end(),
              {"--threads", "2", "--filter",
               std::string(TAGSMITH_BIN_DIR) + "/libtagsmith_stuck_filter.so"});
  const std::string mark = top_.path() + "/stuck-now";
  setenv("TAGSMITH_STUCK_MARK", mark.c_str(), 1);  // the server inherits it
  ServerProcess server(args);
  unsetenv("TAGSMITH_STUCK_MARK");
  ASSERT_TRUE(server.started()) << server.Errors();
  RawConnection stuck(server.port(), seconds(10));
  ASSERT_TRUE(stuck.Send("GET /stuck.html HTTP/1.1\r\nHost: t\r\n\r\n"));
  // Stop only once the filter call is under way.
  const auto stuck_by = std::chrono::steady_clock::now() + seconds(10);
  while (!fs::exists(mark) && std::chrono::steady_clock::now() < stuck_by)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(fs::exists(mark)) << "the filter never got the stuck page";
  // The other worker still answers.
  RawConnection other(server.port(), seconds(5));
  ASSERT_TRUE(other.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  RawConnection::Response response;
  ASSERT_TRUE(other.Read(&response));
  EXPECT_EQ(response.status, 200);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Stop(), 0) << "killed: it did not stop by itself";
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
  EXPECT_NE(server.Output().find("stopping now: 1 connection(s) still busy"),
            std::string::npos)
      << server.Output();
}

// ---- A real browser ---------------------------------------------------------

// Chromium loads a page through the server; the tracking script's host is
// mapped to the server too (which serves a stand-in urchin.js).
TEST_F(ServeTest, ChromiumSeesTheTrackingScriptAndTheWholePage) {
  std::string skipped;
  const std::string browser = FindBrowser(&skipped);
  if (browser.empty()) GTEST_SKIP() << skipped;
  WriteFile(root_ + "/urchin.js", kStandInTracker);
  WriteFile(root_ + "/browse.html",
            Page("Browser page",
                 "<p>first paragraph</p>\n" + std::string(40000, 'z') + "\n"));
  std::string cert, key;
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(&cert, &key));
  ServerProcess server(WithTls(cert, key), true);
  ASSERT_TRUE(server.started()) << server.Errors();
  const ProgramResult dom = DumpDom(browser, server.Url("/browse.html"),
                                    server.port(), server.tls_port());
  ASSERT_FALSE(dom.timed_out) << "chromium did not finish in 90 s";
  ASSERT_EQ(dom.status, 0) << dom.err;
  EXPECT_NE(dom.out.find(kPlainScript), std::string::npos) << dom.out;
  EXPECT_NE(dom.out.find("_uacct = \"UA-ROOT-1\""), std::string::npos);
  EXPECT_NE(dom.out.find("<p id=\"tracked\">tracked for UA-ROOT-1</p>"),
            std::string::npos)
      << "the tracking script did not run in the page; the server saw:\n"
      << server.Output();
  EXPECT_NE(dom.out.find("first paragraph"), std::string::npos);
  EXPECT_NE(dom.out.find(std::string(40000, 'z')), std::string::npos);
  EXPECT_NE(dom.out.find("END-OF-CONTENT"), std::string::npos);
  // On whichever of the two ports the browser chose.
  EXPECT_NE(server.Output().find(" GET /urchin.js 200 "), std::string::npos)
      << server.Output();
}

}  // namespace
}  // namespace tagsmith::serve_testing
