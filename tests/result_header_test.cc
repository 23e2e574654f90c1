// The result header asked for with "Diagnostics": each result from a real
// case, its exact bytes and place, nothing without the key, and the
// response still whole at every seam and under every refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/body_codings.h"
#include "tests/filter_harness.h"
#include "tests/property_check.h"

namespace tagsmith::testing {
namespace {

using checks::Compress;
using checks::Format;
using checks::Frame;

const std::string kPage = "<html><body><p>text</p>\n</body></html>\n";
const std::string kHtml = "Content-Type: text/html\r\n";
const std::string kChunked = "Transfer-Encoding: chunked\r\n";
const std::string kGzip = "Content-Encoding: gzip\r\n";
const std::string kAccount = "[ga1]\r\nAccount=UA-DIAG-1\r\n";
const std::string kNoAccount = "[ga1]\r\nAlwaysSSL=1\r\n";

std::string Length(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n";
}

// `response` with `line` as its last header line.
std::string WithLine(const std::string& response, const std::string& line) {
  std::string out = response;
  return out.insert(out.find("\r\n\r\n") + 2, line);
}

struct Case {
  const char* name;
  std::string response;
  std::string config;  // without the key
  std::string result;  // the header's value; "" for none
  bool everySeam = true;
};

std::vector<Case> Cases() {
  const std::string gz = Compress(kPage, Format::kGzip);
  const std::string zl = Compress(kPage, Format::kZlib);
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 1;
  const std::string marked =
      "<body><script "
      "src=\"http://www.google-analytics.com/urchin.js\"></script></body>";
  const std::string huge = Compress(
      "<body>" + std::string(64u << 20, ' ') + "</body>", Format::kGzip, 9);
  const std::string limit =
      "<body>" + std::string((64u << 20) - 13, ' ') + "</body>";
  const std::string stored = Compress(kPage, Format::kRaw, 0);
  const std::string deflate = "Content-Encoding: deflate\r\n";
  // clang-format off
  return {
      {"plain", Response(kHtml + Length(kPage), kPage), kAccount, "tagged"},
      {"gzip", Response(kHtml + kGzip + Length(gz), gz), kAccount, "tagged gzip"},
      {"zlib", Response(kHtml + "Content-Encoding: deflate\r\n", zl), kAccount, "tagged deflate"},
      {"framed", Response(kHtml + kChunked, Frame(kPage, {7})), kAccount, "tagged chunked"},
      {"gzip framed", Response(kHtml + kGzip + kChunked, Frame(gz, {9})), kAccount,
       "tagged gzip chunked"},
      {"gzip announced, plain page", Response(kHtml + kGzip, kPage), kAccount, "tagged"},
      {"account from the page", Response(kHtml + "X-Tagsmith: UA-PAGE-2\r\n", kPage), kNoAccount,
       "tagged"},
      {"no account", Response(kHtml, kPage), kNoAccount, "no-account"},
      {"quote in the file's account", Response(kHtml, kPage), "[ga1]\r\nAccount=U\";x//\r\n",
       "account-invalid"},
      {"tag in the page's account", Response(kHtml + "X-Tagsmith: U</script>\r\n", kPage),
       kNoAccount, "account-invalid"},
      {"the file's account before a bad one", Response(kHtml + "X-Tagsmith: U\"\r\n", kPage),
       kAccount, "tagged"},
      {"a bad file account before a good one", Response(kHtml + "X-Tagsmith: U-2\r\n", kPage),
       "[ga1]\r\nAccount=U<1\r\n", "account-invalid"},
      {"already tagged", Response(kHtml, marked), kAccount, "already-tagged"},
      {"gzip, already tagged", Response(kHtml + kGzip, Compress(marked, Format::kGzip)), kAccount,
       "already-tagged"},
      {"no closing tag", Response(kHtml, "<html><body>text"), kAccount, "no-closing-body-tag"},
      {"empty body", Response(kHtml, ""), kAccount, "no-closing-body-tag"},
      {"other content coding", Response(kHtml + "Content-Encoding: br\r\n", kPage), kAccount,
       "coding-not-handled br"},
      {"transfer coding list", Response(kHtml + "Transfer-Encoding: gzip, chunked\r\n", kPage),
       kNoAccount, "coding-not-handled gzip, chunked"},
      {"long coding name cut",
       Response(kHtml + "Content-Encoding: a-very-long-coding-name\r\n", kPage), kAccount,
       "coding-not-handled a-very-long-codin"},
      {"gzip, wrong CRC", Response(kHtml + kGzip, badCrc), kAccount, "coding-invalid"},
      {"broken framing", Response(kHtml + kChunked, "5\n<html\r\n0\r\n\r\n"), kAccount,
       "coding-invalid"},
      {"chunked with a length", Response(kHtml + kChunked + Length(kPage), Frame(kPage, {9})),
       kAccount, "coding-invalid"},
      {"two content codings", Response(kHtml + kGzip + kGzip, kPage), kAccount, "coding-invalid"},
      {"gzip announced, a mark and blanks first",
       Response(kHtml + kGzip, "\xEF\xBB\xBF \r\n" + kPage), kAccount, "tagged"},
      {"gzip announced, text first", Response(kHtml + kGzip, "hi " + kPage), kAccount,
       "coding-invalid"},
      {"gzip framed, text first", Response(kHtml + kGzip + kChunked, Frame("hi" + kPage, {9})),
       kAccount, "coding-invalid"},
      {"a size line with a plus", Response(kHtml + kChunked, "+" + Frame(kPage, {})), kAccount,
       "coding-invalid"},
      {"a stored block and a byte more", Response(kHtml + deflate, stored + "x"), kAccount,
       "coding-invalid"},
      // FLG 0xBB: its check bits right, a preset dictionary asked for.
      {"zlib with a preset dictionary",
       Response(kHtml + deflate, "\x78\xBB\x01\x02\x03\x04" + stored + "\x01\x02\x03\x04"),
       kAccount, "coding-invalid"},
      {"gzip of 64 MiB", Response(kHtml + kGzip, Compress(limit, Format::kGzip, 9)), kAccount,
       "tagged gzip", false},
      {"zlib of 64 MiB and a byte", Response(kHtml + deflate, Compress(limit + " ", Format::kZlib, 9)),
       kAccount, "too-large", false},
      {"gzip over 64 MiB", Response(kHtml + kGzip, huge), kAccount, "too-large", false},
      // Not candidates: the file is not read for them.
      {"not found", Response(kHtml, kPage, "HTTP/1.1 404 Not Found"), kAccount, ""},
      {"not HTML", Response("Content-Type: image/png\r\n", kPage), kAccount, ""},
      {"br, not HTML", Response("Content-Encoding: br\r\n", kPage), kAccount, ""},
      {"two lengths", Response(kHtml + Length(kPage) + Length(kPage), kPage), kAccount, ""},
  };
  // clang-format on
}

TEST(ResultHeader, SaysWhatBecameOfEachPage) {
  for (const Case& k : Cases()) {
    SCOPED_TRACE(k.name);
    AppDir plainApp(k.config);
    AppDir diagApp(k.config + "Diagnostics=1\r\n");
    const checks::SiteValues site = checks::ReadSiteValues(diagApp.path());
    ASSERT_TRUE(site.diagnostics);
    // Without the key the output is as it always was: tagged or untouched.
    const std::string plain = Filter(k.response, InApp(plainApp.path())).client;
    ASSERT_EQ(plain.find("X-Tagsmith-Result"), std::string::npos);
    ASSERT_EQ(plain != k.response, k.result.rfind("tagged", 0) == 0);
    // With it, the same bytes with one more last header line.
    const FilterRun run = InApp(diagApp.path());
    const std::string expected =
        k.result.empty()
            ? plain
            : WithLine(plain, "X-Tagsmith-Result: " + k.result + "\r\n");
    const std::string out = Filter(k.response, run).client;
    ASSERT_TRUE(out == expected) << out.substr(0, out.find("\r\n\r\n"));
    ASSERT_EQ(checks::CheckOutput(k.response, out, false, site), "");
    if (!k.result.empty()) {
      const checks::SiteValues without =
          checks::ReadSiteValues(plainApp.path());
      EXPECT_NE(checks::CheckOutput(k.response, out, false, without), "");
    }
    if (!k.everySeam) continue;

    for (std::size_t at = 1; at < k.response.size(); ++at) {
      FilterRun cut = run;
      cut.cuts = {at};
      ASSERT_TRUE(Filter(k.response, cut).client == expected)
          << "seam at " << at;
    }
    // A refusal leaves the page untouched or tagged, with or without the
    // header, and never half of either.
    FilterRun seamed = run;
    seamed.cuts = {k.response.size() / 2};
    const std::uint64_t allocs = Filter(k.response, seamed).allocs;
    for (std::uint64_t n = 1; n <= allocs; ++n) {
      seamed.refuseAlloc = n;
      ASSERT_EQ(checks::CheckOutput(
                    k.response, Filter(k.response, seamed).client, false, site),
                "")
          << "AllocMem call " << n;
    }
    seamed.refuseAlloc = 0;
    const std::uint64_t heapCalls =
        FilterRefusingHeap(k.response, seamed, 0).heapCalls;
    for (std::uint64_t n = 1; n <= heapCalls; ++n) {
      const HeapResult refused = FilterRefusingHeap(k.response, seamed, n);
      ASSERT_TRUE(refused.client ==
                  WithLine(k.response, "X-Tagsmith-Result: no-memory\r\n"))
          << "heap allocation " << n;
      ASSERT_EQ(refused.heapHeld, 0);
    }
  }
}

// A page let go before its end, its headers held, still says why when its
// site asks: memory refused for its second chunk, or more than 64 MiB.
TEST(ResultHeader, APageLetGoBeforeItsEndSaysWhy) {
  AppDir app(std::string(kAccount) + "Diagnostics=1\r\n");
  const std::string small = Response(kHtml, kPage);
  const std::string large =
      Response(kHtml, std::string((std::size_t{64} << 20) + 1, 'x'));
  const struct {
    const char* name;
    const std::string& response;
    std::uint64_t refuse;  // the AllocMem call refused: the second chunk's
    const char* word;
  } cases[] = {
      {"memory refused", small, 3, "no-memory"},
      {"over 64 MiB", large, 0, "too-large"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    FilterRun run = InApp(app.path());
    run.cuts = {k.response.find("\r\n\r\n") + 4 + 1};
    run.refuseAlloc = k.refuse;
    const std::string out = Filter(k.response, run).client;
    ASSERT_TRUE(out == WithLine(k.response, std::string("X-Tagsmith-Result: ") +
                                                k.word + "\r\n"))
        << out.substr(0, out.find("\r\n\r\n"));
  }
}

// The words that turn the header on, for a tagged page and for one the
// headers rule out early (a coding not handled); every other value is off.
TEST(ResultHeader, DiagnosticsReadsOnAndOffWords) {
  const struct {
    const char* value;
    bool on;
  } kValues[] = {
      {"1", true},      {"yes", true},   {"TRUE", true},  {"On", true},
      {"\"on\"", true}, {" yes ", true}, {"0", false},    {"no", false},
      {"false", false}, {"OFF", false},  {"", false},     {"2", false},
      {"onn", false},   {"y", false},    {"\x11", false}, {"tru", false},
  };
  const std::string tagged = Response(kHtml, kPage);
  const std::string early = Response(kHtml + "Content-Encoding: br\r\n", kPage);
  for (const auto& v : kValues) {
    SCOPED_TRACE(std::string("Diagnostics=") + v.value);
    AppDir app(kAccount + "Diagnostics=" + v.value + "\r\n");
    ASSERT_EQ(checks::ReadSiteValues(app.path()).diagnostics, v.on);
    for (const std::string& response : {tagged, early}) {
      const std::string out = Filter(response, InApp(app.path())).client;
      EXPECT_EQ(out.find("\r\nX-Tagsmith-Result: ") != std::string::npos, v.on);
    }
  }
}

}  // namespace
}  // namespace tagsmith::testing
