// mod_tagsmith in Debian's real apache2: each response as `tagsmith run`
// makes it of what Apache sends without the filter, over plain HTTP, TLS,
// a reverse proxy, pipelined and concurrent connections; memory over many
// requests; and the refusals at start-up.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>
#include <vector>

#include "tests/apache_harness.h"

namespace tagsmith::apache_testing {
namespace {

namespace fs = std::filesystem;
using serve_testing::BodyOf;
using serve_testing::FilteredByRun;
using serve_testing::RawConnection;
using serve_testing::ReadFile;
using serve_testing::RunProgram;
using serve_testing::WriteFile;

std::string Get(const std::string& target, const std::string& headers = "",
                const std::string& method = "GET") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
         "Connection: close\r\n\r\n";
}

std::string HeaderOf(const std::string& response, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const std::string::size_type at = response.find(key);
  if (at == std::string::npos) return "";
  const std::string::size_type end = response.find("\r\n", at + key.size());
  return response.substr(at + key.size(), end - at - key.size());
}

// The page as a client decodes it once tagged: what the filter makes of it
// sent whole with a Content-Length.
std::string TaggedPage(const std::string& app_dir, const std::string& page,
                       bool secure = false) {
  return BodyOf(FilteredByRun(app_dir, "text/html", page, secure));
}

// A changed response's validator is weak, and so is that of a 304 standing
// for it: no client joins the bytes of two versions.
std::string WithWeakEtag(const std::string& response) {
  std::string weak = response;
  const std::string::size_type at = weak.find("\r\nETag: \"");
  if (at != std::string::npos) weak.insert(at + 8, "W/");
  return weak;
}

TEST(Apache, EachResponseAsTagsmithRunMakesItOfApachesOwn) {
  REQUIRE_APACHE();
  ApacheServer apache;
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string last_modified = HeaderOf(
      Exchange(apache.port(), Get("/untagged/page.html")), "Last-Modified");
  ASSERT_FALSE(last_modified.empty());
  struct Case {
    const char* path;
    std::string headers;
    const char* status;
    bool tagged;
  } cases[] = {
      {"/page.html", "", "200", true},
      {"/small.html", "", "200", true},
      {"/image.png", "", "200", false},
      {"/missing.html", "", "404", false},
      {"/page.html", "If-Modified-Since: " + last_modified + "\r\n", "304",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.headers);
    const std::string got = Exchange(apache.port(), Get(c.path, c.headers));
    const std::string raw =
        WithDateOf(Exchange(apache.port(),
                            Get(std::string("/untagged") + c.path, c.headers)),
                   got);
    ASSERT_EQ(got.substr(9, 3), c.status) << got.substr(0, 200);
    const std::string expected = TagsmithRun(raw, apache.site());
    const bool weak = c.tagged || got.substr(9, 3) == "304";
    EXPECT_TRUE(SameBytes(got, weak ? WithWeakEtag(expected) : expected));
    EXPECT_EQ(got.find("UA-AP-1") != std::string::npos, c.tagged);
  }
}

// HEAD, a range and a resumed download all see the tagged page: the range
// is cut from it, and a resume that names its weak validator gets it whole.
TEST(Apache, HeadRangesAndResumesSeeTheTaggedPage) {
  REQUIRE_APACHE();
  ApacheServer apache;
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string get = Exchange(apache.port(), Get("/page.html"));
  const std::string page = BodyOf(get);
  ASSERT_NE(page.find("UA-AP-1"), std::string::npos);
  const std::string etag = HeaderOf(get, "ETag");
  ASSERT_EQ(etag.substr(0, 2), "W/");

  const std::string head =
      Exchange(apache.port(), Get("/page.html", "", "HEAD"));
  EXPECT_EQ(WithDateOf(head, get), get.substr(0, get.size() - page.size()));

  const std::string range =
      Exchange(apache.port(), Get("/page.html", "Range: bytes=0-999\r\n"));
  ASSERT_EQ(range.substr(9, 3), "206") << range.substr(0, 300);
  EXPECT_EQ(HeaderOf(range, "Content-Range"),
            "bytes 0-999/" + std::to_string(page.size()));
  const std::string first = BodyOf(range);
  EXPECT_EQ(first, page.substr(0, 1000));

  // The resume names the validator it was given, or the untagged file's.
  const std::string strong = etag.substr(2);
  for (const std::string& validator : {etag, strong}) {
    SCOPED_TRACE(validator);
    const std::string rest =
        Exchange(apache.port(),
                 Get("/page.html",
                     "Range: bytes=1000-\r\nIf-Range: " + validator + "\r\n"));
    const std::string status = rest.substr(9, 3);
    const std::string joined =
        status == "206" ? first + BodyOf(rest) : BodyOf(rest);
    EXPECT_TRUE(SameBytes(joined, page)) << status;
  }
}

// A CGI page, whose script states no length (the tagged page is held
// whole, so Apache counts it), and a page that mod_deflate compresses after
// the filter: the page the client decodes carries the block once.
TEST(ApacheCoded, CgiAndGzipPagesTagged) {
  REQUIRE_APACHE();
  ApacheServer apache;
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string expected =
      TaggedPage(apache.site(), ReadFile(apache.site() + "/page.html"));
  struct Case {
    const char* path;
    const char* curl_option;
    std::string framing_header;
  } cases[] = {
      {"/cgi-bin/page.cgi", "--http1.1",
       "Content-Length: " + std::to_string(expected.size())},
      {"/gz/page.html", "--compressed", "Content-Encoding: gzip"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(apache.port()) + c.path;
    const auto result = RunProgram(
        {"curl", "-sS", c.curl_option, "-D", apache.dir() + "/head", url},
        kClientLimit);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(ReadFile(apache.dir() + "/head").find(c.framing_header),
              std::string::npos);
    EXPECT_TRUE(SameBytes(result.out, expected));
  }
}

TEST(Apache, ProxiedTlsAndPerApplicationPages) {
  REQUIRE_APACHE();
  ScratchDir backend_dir;
  fs::permissions(backend_dir.path(), fs::perms(0755));
  const int backend_port = FreePort();
  const Backend backend(
      {"python3", "-m", "http.server", "--bind", "127.0.0.1",
       std::to_string(backend_port), "--directory", backend_dir.path()},
      backend_dir.path());
  ApacheOptions options;
  options.tls = true;
  options.backend_port = backend_port;
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string page = ReadFile(apache.site() + "/page.html");
  WriteFile(backend_dir.path() + "/page.html", page);
  ASSERT_TRUE(backend.Answers(
      "http://127.0.0.1:" + std::to_string(backend_port) + "/page.html"));

  const std::string plain = "http://127.0.0.1:" + std::to_string(apache.port());
  const std::string tls =
      "https://127.0.0.1:" + std::to_string(apache.tls_port());
  struct Case {
    std::string url;
    std::string expected;
  } cases[] = {
      {plain + "/proxy/page.html", TaggedPage(apache.site(), page)},
      {tls + "/page.html", TaggedPage(apache.site(), page, true)},
      {plain + "/blog/page.html", TaggedPage(apache.blog(), page)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const auto result =
        RunProgram({"curl", "-sSk", "--http1.1", c.url}, kClientLimit);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(SameBytes(result.out, c.expected));
  }
  EXPECT_NE(cases[1].expected.find("https://"), std::string::npos);
  EXPECT_NE(cases[2].expected.find("UA-BLOG-1"), std::string::npos);

  // The configuration is read anew for every page.
  WriteFile(apache.blog() + "/tagsmith.config", "[ga1]\nAccount=UA-BLOG-2\n");
  const auto changed = RunProgram({"curl", "-sS", cases[2].url}, kClientLimit);
  EXPECT_TRUE(SameBytes(changed.out, TaggedPage(apache.blog(), page)));
  EXPECT_NE(changed.out.find("UA-BLOG-2"), std::string::npos);
}

// The responses the connection tests expect, each fetched alone.
struct Expected {
  std::string target;
  bool head;
  RawConnection::Response response;
};

std::string Request(const Expected& e) {
  return std::string(e.head ? "HEAD " : "GET ") + e.target +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::vector<Expected> FetchEach(int port) {
  std::vector<Expected> all = {{"/page.html", false, {}},
                               {"/small.html", false, {}},
                               {"/image.png", false, {}},
                               {"/missing.html", false, {}},
                               {"/page.html", true, {}}};
  for (Expected& e : all) {
    RawConnection connection(port);
    connection.Send(Request(e));
    connection.Read(&e.response, e.head);
  }
  return all;
}

bool Same(const RawConnection::Response& got,
          const RawConnection::Response& expected) {
  return got.status == expected.status && got.body == expected.body &&
         WithDateOf(got.head, expected.head) == expected.head;
}

TEST(Apache, PipelinedAndConcurrentConnectionsEveryByteRight) {
  REQUIRE_APACHE();
  ApacheServer apache;
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::vector<Expected> expected = FetchEach(apache.port());
  ASSERT_NE(expected[0].response.body.find("UA-AP-1"), std::string::npos);

  // Ten requests in one write; ten whole responses in order.
  RawConnection pipelined(apache.port());
  std::string requests;
  for (int i = 0; i < 10; ++i)
    requests += Request(expected[i % expected.size()]);
  ASSERT_TRUE(pipelined.Send(requests));
  for (int i = 0; i < 10; ++i) {
    const Expected& e = expected[i % expected.size()];
    RawConnection::Response got;
    ASSERT_TRUE(pipelined.Read(&got, e.head)) << "response " << i;
    EXPECT_TRUE(Same(got, e.response)) << "response " << i << ":\n" << got.head;
  }

  // 50 clients at once, 2,000 requests in all on kept-alive connections.
  std::atomic<int> wrong{0}, done{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < 50; ++client)
    clients.emplace_back([&, client] {
      RawConnection connection(apache.port());
      for (int i = 0; i < 40; ++i) {
        const Expected& e = expected[(client + i) % expected.size()];
        RawConnection::Response got;
        if (!connection.Send(Request(e)) || !connection.Read(&got, e.head) ||
            !Same(got, e.response))
          ++wrong;
        else
          ++done;
      }
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(done.load(), 2000);
}

// Each response's memory goes with it: the child's resident size stays flat
// over 100,000 requests on one kept-alive connection.
TEST(Apache, ResidentMemoryFlatOverOneHundredThousandRequests) {
  REQUIRE_APACHE();
  ApacheServer apache;
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const Expected small = FetchEach(apache.port())[1];
  const pid_t child = apache.ServingChild();
  ASSERT_GT(child, 0);
  RawConnection connection(apache.port());
  std::string batch;
  for (int i = 0; i < 100; ++i) batch += Request(small);
  long warm = 0;
  for (int round = 0; round < 1000; ++round) {
    ASSERT_TRUE(connection.Send(batch));
    for (int i = 0; i < 100; ++i) {
      RawConnection::Response got;
      ASSERT_TRUE(connection.Read(&got)) << "round " << round;
      if (i == 0) {
        ASSERT_TRUE(Same(got, small.response)) << got.head;
      }
    }
    if (round == 99) warm = ResidentKilobytes(child);
  }
  const long end = ResidentKilobytes(child);
  ASSERT_GT(warm, 0);
  std::cout << "serving child resident: " << warm
            << " kB after 10,000 requests, " << end << " kB after 100,000\n";
  EXPECT_LT(end - warm, 2048) << "from " << warm << " kB to " << end << " kB";
}

// A child whose budget is spent sends every page whole and untagged, and
// says so once.
TEST(Apache, SpentBudgetSendsPagesWholeAndSaysSoOnce) {
  REQUIRE_APACHE();
  ApacheOptions options;
  options.extra = "TagsmithMaxHeld 0";
  ApacheServer apache(options);
  ASSERT_TRUE(apache.Started()) << apache.Errors();
  const std::string page = ReadFile(apache.site() + "/page.html");
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(
        SameBytes(BodyOf(Exchange(apache.port(), Get("/page.html"))), page));
  const std::string errors = apache.Errors();
  const std::string line = "held memory at TagsmithMaxHeld's limit";
  const std::string::size_type first = errors.find(line);
  EXPECT_NE(first, std::string::npos) << errors;
  EXPECT_EQ(errors.find(line, first + 1), std::string::npos) << errors;
}

TEST(Apache, StartUpRefusesWhatCannotWork) {
  REQUIRE_APACHE();
  ScratchDir scratch;
  const std::string garbage = scratch.path() + "/garbage.so";
  WriteFile(garbage, "not a library");
  const std::string missing_lib = scratch.path() + "/missing.so";
  const std::string missing_dir = scratch.path() + "/no-such-dir";
  struct Case {
    std::string filter_line;
    std::string extra;
    std::string message;
  } cases[] = {
      {"TagsmithFilter " + missing_lib, "", "TagsmithFilter " + missing_lib},
      {"TagsmithFilter " + garbage, "", "TagsmithFilter " + garbage},
      {"",
       "<Location /x>\nTagsmithApplication " + missing_dir + "\n</Location>",
       "TagsmithApplication " + missing_dir},
      {"", "TagsmithApplication relative/dir",
       "TagsmithApplication relative/dir"},
      {"# none", "", "no TagsmithFilter"},
      {"", "TagsmithMaxHeld lots", "TagsmithMaxHeld lots"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ApacheOptions options;
    options.filter_line = c.filter_line;
    options.extra = c.extra;
    ApacheServer apache(options);
    EXPECT_NE(apache.WaitForExit(), 0);
    EXPECT_NE(apache.Errors().find(c.message), std::string::npos)
        << apache.Errors();
    // A configuration test refuses the same, before any start.
    const auto test = RunProgram(
        {"/usr/sbin/apache2", "-t", "-f", apache.dir() + "/httpd.conf"},
        kClientLimit);
    EXPECT_NE(test.status, 0);
    EXPECT_NE((test.out + test.err).find(c.message), std::string::npos)
        << test.out << test.err;
  }
}

}  // namespace
}  // namespace tagsmith::apache_testing
