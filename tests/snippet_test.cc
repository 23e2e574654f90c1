// The "Snippet" and "SnippetMarker" keys and pages under a
// Content-Security-Policy: for each case the result word and the exact
// response, with the block (or none) before the last closing body tag.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tagging/plain_file.h"
#include "tests/filter_harness.h"
#include "tests/test_support.h"

namespace tagsmith::testing {
namespace {

using test_support::WriteFile;

const std::string kPage = "<html><body><p>text</p>\n</body></html>\n";
const std::string kHtml = "Content-Type: text/html\r\n";
const std::string kTag =
    "<script async "
    "src=\"https://tags.example/gtag.js?id={account}\"></script>\n"
    "<script>gtag('config', '{account}');</script>\n";

std::string Csp(const std::string& value) {
  return "Content-Security-Policy: " + value + "\r\n";
}

// The fixed block as a page receives it, its script tags with `nonce`.
std::string Fixed(const std::string& account, const std::string& nonce = "") {
  const std::string n = nonce.empty() ? "" : " nonce=\"" + nonce + "\"";
  return "\r\n<script" + n +
         " src=\"http://www.google-analytics.com/urchin.js\" "
         "type=\"text/javascript\">\r\n</script>\r\n<script" +
         n + " type=\"text/javascript\">\r\n\t_uacct = \"" + account +
         "\";\r\n\turchinTracker();\r\n</script>\r\n\r\n";
}

struct Case {
  const char* name;
  std::string config;                  // below "[ga1]" and "Diagnostics=1"
  std::optional<std::string> snippet;  // written as "tag.html"
  std::string headers;
  std::string result;
  std::string block;  // what goes in; "" for an untouched page
  std::string body = kPage;
  std::string cutAfter = "";  // a seam two bytes into this text
};

std::vector<Case> Cases() {
  const std::string big(64 * 1024 - 15, 'x');
  const std::string full = "<script src=\"" + big + "\">";  // 64 KiB exactly
  const std::string account = "Account=UA-1\r\n";
  const std::string tag = "Snippet=tag.html\r\n" + account;
  // clang-format off
  return {
      {"nonce in default-src only", account, {}, kHtml + Csp("default-src 'self' 'nonce-abc123'"),
       "tagged", Fixed("UA-1", "abc123")},
      {"script-src before default-src", account, {},
       kHtml + Csp("default-src 'nonce-aa'; script-src 'nonce-bb'"), "tagged", Fixed("UA-1", "bb")},
      {"'strict-dynamic' with a nonce", account, {}, kHtml + Csp("script-src 'nonce-r2D2' 'strict-dynamic'"),
       "tagged", Fixed("UA-1", "r2D2")},
      {"'strict-dynamic' voids 'unsafe-inline'", account, {},
       kHtml + Csp("script-src 'strict-dynamic' 'unsafe-inline'"), "blocked-by-policy", ""},
      {"'unsafe-inline'", account, {}, kHtml + Csp("script-src 'self' 'unsafe-inline'"), "tagged",
       Fixed("UA-1")},
      {"no inline allowed", account, {}, kHtml + Csp("default-src 'self'"), "blocked-by-policy", ""},
      {"a policy without a script directive", account, {}, kHtml + Csp("img-src *"), "tagged",
       Fixed("UA-1")},
      {"a nonce across a seam", account, {}, kHtml + Csp("script-src 'nonce-seam99'"), "tagged",
       Fixed("UA-1", "seam99"), kPage, "seam99"},
      {"a header split over two lines is not a header", account, {},
       kHtml + Csp("script-src 'self'") + " 'nonce-folded'\r\n", "blocked-by-policy", ""},
      {"a value on the next line", account, {}, kHtml + Csp("") + " script-src 'nonce-x'\r\n",
       "tagged", Fixed("UA-1")},
      {"report-only is not the policy", account, {},
       kHtml + "Content-Security-Policy-Report-Only: script-src 'nonce-ro'\r\n", "tagged",
       Fixed("UA-1")},
      {"the first policy that names a nonce", account, {},
       kHtml + Csp("img-src *") + Csp("script-src 'nonce-two'") + Csp("script-src 'nonce-three'"),
       "tagged", Fixed("UA-1", "two")},
      {"a nonce with a quote names none", account, {}, kHtml + Csp("script-src 'nonce-a\"b'"),
       "blocked-by-policy", ""},
      {"{account} twice, an account of 15 characters", "Snippet=tag.html\r\nAccount=G-ABCDEFGHIJKLMNOPQ\r\n",
       kTag, kHtml, "tagged",
       "<script async src=\"https://tags.example/gtag.js?id=G-ABCDEFGHIJKLM\"></script>\n"
       "<script>gtag('config', 'G-ABCDEFGHIJKLM');</script>\n"},
      {"the snippet under a nonce, the page's account", "Snippet=tag.html\r\n", kTag,
       kHtml + "X-Tagsmith: G-PAGE\r\n" + Csp("script-src 'nonce-n1'"), "tagged",
       "<script nonce=\"n1\" async src=\"https://tags.example/gtag.js?id=G-PAGE\"></script>\n"
       "<script nonce=\"n1\">gtag('config', 'G-PAGE');</script>\n"},
      {"an external script only", tag, "<script src=\"/c.js\" defer></script>",
       kHtml + Csp("script-src 'self'"), "tagged", "<script src=\"/c.js\" defer></script>"},
      {"texts around the snippet", tag + "InsertBeforeScriptBlock=<!--a-->\r\nAppendAfterScriptBlock=<!--b-->\r\n",
       "<script src=\"/c.js\"></script>", kHtml, "tagged", "<!--a--><script src=\"/c.js\"></script><!--b-->"},
      {"a snippet of 64 KiB", tag, full, kHtml, "tagged", full},
      {"a snippet of 64 KiB and a byte", tag, full + "\n", kHtml, "snippet-unreadable", ""},
      {"no snippet file", tag, {}, kHtml, "snippet-unreadable", ""},
      {"a name with a directory", "Snippet=../tag.html\r\n" + account, kTag, kHtml, "snippet-unreadable", ""},
      {"no src and no marker", tag, "<script>count()</script>", kHtml + Csp("script-src 'unsafe-inline'"),
       "snippet-no-marker", ""},
      {"data-src is no src", tag, "<img data-src=\"/p.gif\">", kHtml, "snippet-no-marker", ""},
      {"the marker set", tag + "SnippetMarker=count()\r\n", "<script>count()</script>", kHtml, "tagged",
       "<script>count()</script>"},
      {"the marker set, found", tag + "SnippetMarker=count()\r\n", "<script>count()</script>", kHtml,
       "already-tagged", "", "<body><SCRIPT>COUNT()</script></body>"},
      {"the address with another account, across a seam", tag, kTag, kHtml, "already-tagged", "",
       "<body><script src=\"HTTPS://TAGS.example/gtag.js?id=G-OTHER\"></script></body>", "TAGS"},
      {"the fixed marker does not count with a snippet", tag, "<script src=\"/t.js\"></script>", kHtml,
       "tagged", "<script src=\"/t.js\"></script>",
       "<body><script src=\"http://www.google-analytics.com/urchin.js\"></script></body>"},
  };
  // clang-format on
}

TEST(Snippet, EachCaseGivesItsResultAndBlock) {
  for (const Case& k : Cases()) {
    SCOPED_TRACE(k.name);
    AppDir app("[ga1]\r\nDiagnostics=1\r\n" + k.config);
    if (k.snippet) WriteFile(app.path() + "/tag.html", *k.snippet);
    const std::string response = Response(k.headers, k.body);
    FilterRun run = InApp(app.path());
    if (!k.cutAfter.empty()) run.cuts = {response.find(k.cutAfter) + 2};
    std::string expected = response;
    if (!k.block.empty()) expected.insert(expected.rfind("</body>"), k.block);
    expected.insert(expected.find("\r\n\r\n") + 2,
                    "X-Tagsmith-Result: " + k.result + "\r\n");
    EXPECT_EQ(Filter(response, run).client, expected);
  }
}

// The bundled examples, as the docs set them up: tagged under a nonce,
// the account in every place, and recognised on a page that has them.
TEST(Snippet, TheExamplesTagAndAreRecognised) {
  const struct {
    const char* file;
    std::string marker;
    std::string page;  // a page that already carries it
  } examples[] = {
      {"tag-manager.html", "",
       "<script src=\"https://www.googletagmanager.com/gtag/js?id=G-9\">"},
      {"self-hosted-counter.html", "matomo.js", "g.src = u + 'MATOMO.JS';"},
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.file);
    const std::string text = ReadFile(std::string(TAGSMITH_SOURCE_DIR) +
                                      "/example/snippets/" + e.file);
    AppDir app("[ga1]\r\nAccount=G-7\r\nSnippet=" + std::string(e.file) +
               "\r\nSnippetMarker=" + e.marker + "\r\n");
    WriteFile(app.path() + "/" + e.file, text);
    const std::string policy =
        kHtml + Csp("script-src 'nonce-Zm9v' 'strict-dynamic'");
    const std::string out =
        Filter(Response(policy, kPage), InApp(app.path())).client;
    ASSERT_NE(out, Response(policy, kPage));
    const std::string block = out.substr(out.find("<p>text</p>\n") + 12);
    EXPECT_EQ(block.find("{account}"), std::string::npos);
    EXPECT_NE(block.find("G-7"), std::string::npos);
    size_t tags = 0;
    for (size_t at = 0; (at = block.find("<script", at)) != std::string::npos;
         ++at, ++tags) {
      EXPECT_EQ(block.compare(at, 20, "<script nonce=\"Zm9v\""), 0);
    }
    EXPECT_GT(tags, 0u);
    const std::string tagged = Response(kHtml, "<body>" + e.page + "</body>");
    EXPECT_EQ(Filter(tagged, InApp(app.path())).client, tagged);
  }
}

// The snippet file's read: whole when it is a regular file within the
// limit, whether one read takes it or several; nothing else is read, and a
// FIFO's bytes stay in it.
TEST(Snippet, OnlyARegularFileWithinTheLimitIsReadWhole) {
  namespace fs = std::filesystem;
  std::string dir =
      (fs::temp_directory_path() / "tagsmith_plain_XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const auto put = [&](const char* name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    return dir + "/" + name;
  };
  std::string big(10000, 'b');
  big[4095] = 'x';
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "<script>", 8), 8);
  const struct {
    std::string path;
    std::size_t limit;
    std::optional<std::string> want;
  } cases[] = {
      {put("short", "<script>a</script>"), 65536, "<script>a</script>"},
      {put("empty", ""), 65536, ""},
      {put("big", big), 65536, big},
      {put("at-limit", big), big.size(), big},
      {put("over-limit", big), big.size() - 1, std::nullopt},
      {put("over-small-limit", "12345"), 4, std::nullopt},
      {fifo, 65536, std::nullopt},
      {"/dev/zero", 65536, std::nullopt},
      {dir, 65536, std::nullopt},
      {dir + "/missing", 65536, std::nullopt},
  };
  for (const auto& c : cases) {
    HeapBuffer out{nullptr, 0, 0};
    const bool read =
        ReadPlainFile(c.path.c_str(), c.limit, ProcessHeap(), &out);
    EXPECT_EQ(read, c.want.has_value()) << c.path;
    if (read && c.want) {
      EXPECT_EQ(std::string(out.bytes, out.length), *c.want) << c.path;
    }
    if (!read) {
      EXPECT_EQ(out.length, 0u) << c.path;
    }
    ReleaseBuffer(ProcessHeap(), &out);
  }
  char left[16];
  EXPECT_EQ(read(writer, left, sizeof left), 8);
  close(writer);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tagsmith::testing
