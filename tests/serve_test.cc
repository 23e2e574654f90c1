// `tagsmith serve` with real clients: curl, raw sockets, openssl's
// certificates and headless Chromium, against a server started for each
// test on a free loopback port and stopped by its process id.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/serve_harness.h"

namespace tagsmith::serve_testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const std::string kRealDir = std::string(TAGSMITH_TESTDATA_DIR) + "/real";
const char kPlainScript[] =
    "<script src=\"http://www.google-analytics.com/urchin.js\"";
const char kSecureScript[] =
    "<script src=\"https://ssl.google-analytics.com/urchin.js\"";

std::string Page(const std::string& title, const std::string& filler = "") {
  return "<!DOCTYPE html>\n<html>\n<head><title>" + title +
         "</title></head>\n<body>\n<h1>" + title + "</h1>\n" + filler +
         "<p>END-OF-CONTENT</p>\n</body>\n</html>\n";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::string::size_type at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++count;
  return count;
}

// Three applications: the root ("/"), a blog with its own account at
// "/blog", and one with AlwaysSSL at "/secure"; plus a file outside all of
// them that a symbolic link points at.
class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(top_.path().empty());
    root_ = top_.path() + "/site";
    blog_ = top_.path() + "/blog";
    secure_ = top_.path() + "/secure";
    for (const std::string& dir :
         {root_, root_ + "/sub", blog_, secure_, top_.path() + "/outside"})
      fs::create_directories(dir);
    WriteFile(root_ + "/tagsmith.config",
              "[ga1]\nAccount=UA-ROOT-1\nInsertBeforeScriptBlock=<!-- root "
              "-->\n");
    WriteFile(blog_ + "/tagsmith.config", "[ga1]\nAccount=UA-BLOG-2\n");
    WriteFile(secure_ + "/tagsmith.config",
              "[ga1]\nAccount=UA-SSL-3\nAlwaysSSL=1\n");
    WriteFile(root_ + "/index.html", Page("Root index"));
    WriteFile(root_ + "/page.html", Page("A page", std::string(5000, 'x')));
    WriteFile(root_ + "/sub/index.html", Page("Sub index"));
    WriteFile(root_ + "/tagged.html",
              Page("Already tagged", std::string(kPlainScript) +
                                         " type=\"text/javascript\">"
                                         "</script>\n"));
    WriteFile(root_ + "/notes.txt", "plain text </body> stays as it is\n");
    WriteFile(root_ + "/image.png",
              BodyOf(ReadFile(kRealDir + "/a03-py.get.http")));
    WriteFile(blog_ + "/index.html", Page("Blog index"));
    WriteFile(secure_ + "/index.html", Page("Secure index"));
    WriteFile(top_.path() + "/outside/secret.html", Page("SECRET-OUTSIDE"));
    fs::create_symlink(top_.path() + "/outside/secret.html",
                       root_ + "/link-out.html");
    fs::create_hard_link(root_ + "/tagsmith.config", root_ + "/hard.txt");
  }

  std::vector<std::string> Apps() const {
    return {root_,
            "--app",
            "/blog=" + blog_,
            "--app",
            "/secure=" + secure_,
            "--idle-timeout",
            "2"};
  }

  // A throwaway self-signed certificate for localhost, valid for a day.
  void MakeCertificate(std::string* cert, std::string* key) {
    ASSERT_TRUE(HaveProgram("openssl"))
        << "openssl is needed to make a certificate";
    const ProgramResult made =
        serve_testing::MakeCertificate(top_.path(), cert, key);
    ASSERT_EQ(made.status, 0) << made.err;
  }

  std::vector<std::string> WithTls(const std::string& cert,
                                   const std::string& key) const {
    std::vector<std::string> args = Apps();
    args.insert(args.end(), {"--tls-listen", "127.0.0.1:0", "--tls-cert", cert,
                             "--tls-key", key});
    return args;
  }

  // curl, quiet but for errors, bounded in time.
  ProgramResult Curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-sS", "--max-time", "20"});
    return RunProgram(args, seconds(30));
  }

  ScratchDir top_;
  std::string root_, blog_, secure_;
};

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

// ---- What the server refuses ------------------------------------------------

TEST_F(ServeTest, RefusesWhatItMustNotServeAndKeepsServing) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const std::string big_header =
      "GET / HTTP/1.1\r\nHost: t\r\nX-Big: " + std::string(20000, 'a') +
      "\r\n\r\n";
  std::string garbage;
  for (int i = 0; i < 300; ++i) garbage += static_cast<char>((i * 37) % 256);
  // A request whose line and headers, blank line included, take `size`.
  auto sized = [](std::size_t size) {
    const std::string start = "GET /notes.txt HTTP/1.1\r\nHost: t\r\nX-Pad: ";
    return start + std::string(size - start.size() - 4, 'p') + "\r\n\r\n";
  };
  struct Case {
    const char* name;
    std::string request;
    int status;
    bool closes;  // the server closes the connection after answering
  } cases[] = {
      {"dot-dot", "GET /../outside/secret.html HTTP/1.1\r\nHost: t\r\n\r\n",
       400, true},
      {"deep dot-dot",
       "GET /sub/../../../../etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"encoded dot-dot",
       "GET /%2e%2e/%2E%2E/etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400, true},
      {"encoded slashes",
       "GET /..%2f..%2f..%2fetc%2fpasswd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"encoded backslashes",
       "GET /..%5c..%5coutside%5csecret.html HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"absolute path", "GET /%2fetc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"double slash", "GET //etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 404,
       false},
      {"redirect to another host", "GET //sub HTTP/1.1\r\nHost: t\r\n\r\n", 301,
       false},
      {"configuration, hard link", "GET /hard.txt HTTP/1.1\r\nHost: t\r\n\r\n",
       404, false},
      {"header of 8 KiB", sized(8192), 200, false},
      {"absolute form",
       "GET http://127.0.0.1/etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"symbolic link out", "GET /link-out.html HTTP/1.1\r\nHost: t\r\n\r\n",
       403, false},
      {"configuration", "GET /tagsmith.config HTTP/1.1\r\nHost: t\r\n\r\n", 404,
       false},
      {"configuration, other case",
       "GET /blog/TAGSMITH.CONFIG HTTP/1.1\r\nHost: t\r\n\r\n", 404, false},
      {"configuration, encoded",
       "GET /tagsmith%2Econfig HTTP/1.1\r\nHost: t\r\n\r\n", 404, false},
      {"other method", "DELETE /index.html HTTP/1.1\r\nHost: t\r\n\r\n", 405,
       false},
      {"HTTP/1.0 closes", "GET /missing HTTP/1.0\r\n\r\n", 404, true},
      {"oversized header", big_header, 431, true},
      {"header a byte over 8 KiB", sized(8193), 431, true},
      {"unknown transfer coding",
       "GET /notes.txt HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: xchunked\r\n"
       "\r\nGET /link-out.html HTTP/1.1\r\nHost: t\r\n\r\n",
       400, true},
      {"no Host", "GET /notes.txt HTTP/1.1\r\n\r\n", 400, true},
      {"two Hosts", "GET /notes.txt HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
       400, true},
      {"unknown expectation",
       "GET /notes.txt HTTP/1.1\r\nHost: t\r\nExpect: 200-ok\r\n\r\n", 417,
       true},
      {"oversized body",
       "GET / HTTP/1.1\r\nHost: t\r\nContent-Length: 10000000\r\n\r\n", 413,
       true},
      {"bad request line", "GET\r\n\r\n", 400, true},
      {"bad version", "GET / HTTP/9\r\n\r\n", 400, true},
      {"bad header", "GET / HTTP/1.1\r\nNo colon here\r\n\r\n", 400, true},
      {"garbage", garbage + "\r\n\r\n", 400, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Send(c.request));
    RawConnection::Response response;
    ASSERT_TRUE(connection.Read(&response));
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.body.find("SECRET"), std::string::npos);
    EXPECT_EQ(response.body.find("root:"), std::string::npos);
    EXPECT_EQ(response.body.find("Account"), std::string::npos);
    if (c.status == 405) {
      EXPECT_EQ(response.Header("Allow"), "GET, HEAD");
    }
    if (c.status == 301) {
      EXPECT_EQ(response.Header("Location"), "/sub/");
    }
    if (c.closes) {
      EXPECT_EQ(response.Header("Connection"), "close");
      std::string rest;
      EXPECT_TRUE(connection.ReadUntilClosed(&rest));
      EXPECT_EQ(rest, "");
    } else {
      // Still open: the next request on it is served.
      ASSERT_TRUE(
          connection.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
      RawConnection::Response next;
      ASSERT_TRUE(connection.Read(&next));
      EXPECT_EQ(next.status, 200);
    }
  }
  const ProgramResult after = Curl({server.Url("/")});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("UA-ROOT-1"), std::string::npos);
}

TEST_F(ServeTest, IdleAndSlowClientsTimeOut) {
  ServerProcess server(Apps());  // --idle-timeout 2
  ASSERT_TRUE(server.started()) << server.Errors();
  using Clock = std::chrono::steady_clock;

  // A client that says nothing, one that stops halfway through its
  // headers, and one that trickles a byte every 300 ms.
  RawConnection idle(server.port(), seconds(10));
  RawConnection half(server.port(), seconds(10));
  RawConnection slow(server.port(), seconds(10));
  ASSERT_TRUE(idle.connected() && half.connected() && slow.connected());
  const auto start = Clock::now();
  ASSERT_TRUE(half.Send("GET / HTTP/1.1\r\nHost: t\r\n"));
  const std::string request = "GET / HTTP/1.1\r\nHost: t\r\n\r\n";
  bool slow_cut = false;
  for (char c : request) {
    if (!slow.Send(std::string(1, c))) {
      slow_cut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // 28 bytes at 300 ms take 8 s: the server gives up after about 2 s.
  std::string rest;
  EXPECT_TRUE(slow.ReadUntilClosed(&rest));
  EXPECT_EQ(rest, "") << "the slow client was answered";
  EXPECT_TRUE(slow_cut || Clock::now() - start >= seconds(8));
  EXPECT_TRUE(idle.ReadUntilClosed(&rest));
  EXPECT_TRUE(half.ReadUntilClosed(&rest));
  EXPECT_EQ(rest, "");
  // The server is fine.
  RawConnection fresh(server.port());
  ASSERT_TRUE(fresh.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  RawConnection::Response response;
  ASSERT_TRUE(fresh.Read(&response));
  EXPECT_EQ(response.status, 200);
}

TEST_F(ServeTest, AClientThatStopsReadingDoesNotHoldTheServer) {
  std::string big = Page("Big", std::string(3 * 1024 * 1024, 'y'));
  WriteFile(root_ + "/big.html", big);
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  // Ask for 20 MB of pages and never read; the server's sends time out.
  std::vector<std::unique_ptr<RawConnection>> stuck;
  for (int i = 0; i < 4; ++i) {
    stuck.push_back(std::make_unique<RawConnection>(server.port()));
    std::string requests;
    for (int j = 0; j < 6; ++j)
      requests += "GET /big.html HTTP/1.1\r\nHost: t\r\n\r\n";
    ASSERT_TRUE(stuck.back()->Send(requests));
  }
  for (int i = 0; i < 3; ++i) {
    const ProgramResult got = Curl({server.Url("/page.html")});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_NE(got.out.find("END-OF-CONTENT"), std::string::npos);
  }
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// A file sent by the kernel to a client that goes away part-way costs only
// that connection.
TEST_F(ServeTest, AClientGoneInTheMiddleOfAFileCostsOnlyItsConnection) {
  WriteFile(root_ + "/big.txt", std::string(8 * 1024 * 1024, 'z'));
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  for (int i = 0; i < 4; ++i) {
    RawConnection gone(server.port());
    ASSERT_TRUE(gone.Send("GET /big.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
    std::string some;
    ASSERT_TRUE(gone.ReadSome(&some, 1000));
  }
  const ProgramResult got = Curl({server.Url("/page.html")});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// A held page read slowly, but steadily, for longer than the idle timeout
// (2 s) arrives whole, and the log counts every byte of it.
TEST_F(ServeTest, ASlowButSteadyReaderOfAHeldPageGetsItWhole) {
  WriteFile(root_ + "/long.html", Page("Long", std::string(24 << 20, 'l')));
  const std::string tagged = BodyOf(
      FilteredByRun(root_, "text/html", ReadFile(root_ + "/long.html"), false));
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.Send("GET /long.html HTTP/1.1\r\nHost: t\r\n\r\n"));
  // 256 KiB every 64 ms: 4 MiB a second, 6 s for the page.
  std::string got, piece;
  ASSERT_TRUE(connection.ReadSome(&got, 4096));
  const std::size_t whole = got.find("\r\n\r\n") + 4 + tagged.size();
  while (got.size() < whole &&
         connection.ReadSome(
             &piece, std::min<std::size_t>(256 * 1024, whole - got.size()))) {
    got += piece;
    std::this_thread::sleep_for(std::chrono::milliseconds(64));
  }
  ASSERT_TRUE(BodyOf(got) == tagged) << got.size() << " bytes came";
  const std::string log = server.Output();
  EXPECT_NE(log.find("GET /long.html 200 " + std::to_string(got.size())),
            std::string::npos)
      << log;
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

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

// Someone who can write to the directory swaps a file and a directory with
// links that lead out while two kept connections fetch them: every answer
// is whole, and none carries a byte from outside.
TEST_F(ServeTest, NamesSwappedDuringRequestsNeverServeOutsideBytes) {
  const std::string inside(300, 'i');
  fs::create_directories(root_ + "/d");
  WriteFile(root_ + "/f.txt", inside);
  WriteFile(root_ + "/d/secret.txt", inside);
  WriteFile(top_.path() + "/outside/secret.txt", "SECRET-OUTSIDE\n");
  fs::create_symlink(top_.path() + "/outside/secret.txt", root_ + "/flink");
  fs::create_directory_symlink(top_.path() + "/outside", root_ + "/dlink");
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();

  std::atomic<bool> done{false};
  std::thread swapper([&] {
    while (!done) {
      renameat2(AT_FDCWD, (root_ + "/f.txt").c_str(), AT_FDCWD,
                (root_ + "/flink").c_str(), RENAME_EXCHANGE);
      renameat2(AT_FDCWD, (root_ + "/d").c_str(), AT_FDCWD,
                (root_ + "/dlink").c_str(), RENAME_EXCHANGE);
    }
  });
  std::atomic<int> served{0}, outside{0}, broken{0};
  auto client = [&] {
    auto connection =
        std::make_unique<RawConnection>(server.port(), seconds(5));
    const auto end = std::chrono::steady_clock::now() + seconds(3);
    while (std::chrono::steady_clock::now() < end) {
      for (const char* path : {"/f.txt", "/d/secret.txt"}) {
        RawConnection::Response response;
        if (!connection->Send(std::string("GET ") + path +
                              " HTTP/1.1\r\nHost: t\r\n\r\n") ||
            !connection->Read(&response)) {
          ++broken;  // cut short, or more than its length
          connection =
              std::make_unique<RawConnection>(server.port(), seconds(5));
          continue;
        }
        if (response.status == 200) {
          ++served;
          if (response.body != inside) ++outside;
        } else if (response.status != 403 && response.status != 404) {
          ++broken;
        }
      }
    }
  };
  std::thread first(client), second(client);
  first.join();
  second.join();
  done = true;
  swapper.join();
  EXPECT_GT(served, 0);
  EXPECT_EQ(outside, 0) << "of " << served << " files served";
  EXPECT_EQ(broken, 0);
}

// With few descriptors and more idle connections than they allow, the
// server makes room instead of spinning on accept: a client that asks for a
// page is answered within a second.
TEST_F(ServeTest, OutOfDescriptorsIdleConnectionsMakeRoom) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);  // inherited by the server
  ServerProcess server({root_, "--idle-timeout", "60", "--threads", "2"});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(server.started()) << server.Errors();

  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 150; ++i) {
    idle.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(idle.back()->connected());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) {
    RawConnection client(server.port(), seconds(1));
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
    RawConnection::Response response;
    ASSERT_TRUE(client.Read(&response)) << "request " << i;
    EXPECT_EQ(response.status, 200);
  }
  const std::string log = server.Output();
  EXPECT_EQ(Count(log, "out of "), 1u) << log;
}

// Beyond --max-connections a client is told so at once, and served again
// when a connection is free.
TEST_F(ServeTest, OneConnectionTooManyGets503) {
  ServerProcess server({root_, "--max-connections", "2"});
  ASSERT_TRUE(server.started()) << server.Errors();
  auto held = std::make_unique<RawConnection>(server.port());
  RawConnection second(server.port());
  ASSERT_TRUE(held->connected() && second.connected());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RawConnection third(server.port(), seconds(5));
  RawConnection::Response response;
  ASSERT_TRUE(third.Read(&response));
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.Header("Connection"), "close");
  held.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RawConnection fourth(server.port(), seconds(5));
  ASSERT_TRUE(fourth.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(fourth.Read(&response));
  EXPECT_EQ(response.status, 200);
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
