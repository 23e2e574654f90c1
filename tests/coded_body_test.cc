// Chunked and compressed responses through the filter, each run whole, at
// every seam, and with every AllocMem call and every working-heap
// allocation refused. The independent checker (tests/property_check.h)
// decodes what leaves and says whether it is the page with its block; the
// table says whether the page must be tagged at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tagging/markup_start.h"
#include "tests/body_codings.h"
#include "tests/chain_builder.h"
#include "tests/filter_harness.h"
#include "tests/property_check.h"

namespace tagsmith::testing {
namespace {

using checks::Compress;
using checks::Format;
using checks::Frame;

const std::string kPage =
    "<html><head><title>t</title></head><body><p>some "
    "text</p>\n</body></html>\n";
const std::string kHtml = "Content-Type: text/html\r\n";
const std::string kChunked = "Transfer-Encoding: chunked\r\n";

std::string Length(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n";
}

// Dense HTML, so that its deflate stream has many blocks before the tag.
std::string BigPage(std::size_t size) {
  std::string page = "<html><body>\n";
  for (unsigned i = 0; page.size() < size; ++i) {
    page += "<li><a href=\"/p" + std::to_string(i * 7919 % 100003) +
            ".html\">Entry " + std::to_string(i) + "</a> text</li>\n";
  }
  return page + "</body></html>\n";
}

struct Case {
  const char* name;
  std::string headers;  // after the Content-Type
  std::string body;
  bool tagged;
  bool everySeam = true;  // small enough to cut at every offset
};

std::vector<Case> Cases() {
  const std::string gz = Compress(kPage, Format::kGzip);
  const std::string zl = Compress(kPage, Format::kZlib);
  const std::string raw = Compress(kPage, Format::kRaw);
  const std::size_t tag = kPage.rfind("</body>");
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 1;
  std::string badAdler = zl;
  badAdler.back() ^= 1;
  const std::string marked =
      "<body><script "
      "src=\"http://www.google-analytics.com/urchin.js\"></script></body>";
  // Over 1 MB: zlib's level 6 makes blocks of a few hundred KB of it.
  const std::string big = BigPage(1200000);
  const std::string bigGz = Compress(big, Format::kGzip);
  return {
      // Framed pages: the block as a chunk of its own.
      {"framed, seams of 7", kChunked, Frame(kPage, {7}), true},
      {"framed, tag opens a chunk", kChunked, Frame(kPage, {tag, 5}), true},
      {"framed, tag in the first chunk", kChunked, Frame(kPage, {0}), true},
      {"extensions and trailers", kChunked,
       Frame(kPage, {10}, ";a=b", "X-T: 1\r\n"), true},
      {"upper-case digits, zeros", kChunked,
       "000A\r\n" + kPage.substr(0, 10) + "\r\n" + "0" +
           Frame(kPage.substr(10), {}),
       true},
      {"coding name in any case", "Transfer-Encoding:  Chunked \t\r\n",
       Frame(kPage, {9}), true},
      {"marker cut by framing", kChunked, Frame(marked, {20}), false},
      // Codings announced, body not coded yet.
      {"chunked, not framed yet", kChunked, kPage, true},
      {"gzip, plain page", "Content-Encoding: gzip\r\n" + Length(kPage), kPage,
       true},
      {"deflate, plain page", "Content-Encoding: deflate\r\n", kPage, true},
      {"both announced, neither applied",
       "Content-Encoding: gzip\r\n" + kChunked, kPage, true},
      // Compressed pages, re-encoded.
      {"gzip", "Content-Encoding: gzip\r\n" + Length(gz), gz, true},
      {"x-gzip framed", "Content-Encoding: X-Gzip\r\n" + kChunked,
       Frame(gz, {16}), true},
      {"zlib", "Content-Encoding: deflate\r\n" + Length(zl), zl, true},
      {"raw deflate framed", "Content-Encoding: deflate\r\n" + kChunked,
       Frame(raw, {5}, ";x"), true},
      {"gzip, marker inside", "Content-Encoding: gzip\r\n",
       Compress(marked, Format::kGzip), false},
      {"big gzip", "Content-Encoding: gzip\r\n" + Length(bigGz), bigGz, true,
       false},
      {"big zlib framed", "Content-Encoding: deflate\r\n" + kChunked,
       Frame(Compress(big, Format::kZlib), {8192}), true, false},
      {"big gzip, stored blocks", "Content-Encoding: gzip\r\n",
       Compress(big, Format::kGzip, 0), true, false},
      {"big raw, level 1", "Content-Encoding: deflate\r\n",
       Compress(big, Format::kRaw, 1), true, false},
      // Headers that forbid it.
      {"chunked with a length", kChunked + Length(kPage), Frame(kPage, {9}),
       false},
      {"other transfer coding", "Transfer-Encoding: gzip\r\n", kPage, false},
      {"transfer coding list", "Transfer-Encoding: gzip, chunked\r\n",
       Frame(kPage, {9}), false},
      {"other content coding", "Content-Encoding: br\r\n", kPage, false},
      {"content coding list", "Content-Encoding: gzip, identity\r\n", gz,
       false},
      {"two content codings",
       "Content-Encoding: gzip\r\nContent-Encoding: gzip\r\n", kPage, false},
      {"two transfer codings", kChunked + kChunked, kPage, false},
      // Framing that breaks.
      {"bare LF after a size", kChunked, "5\n<html\r\n0\r\n\r\n", false},
      {"nine digits", kChunked, "000000005\r\n<body\r\n0\r\n\r\n</body>",
       false},
      {"short data", kChunked, "ff\r\n" + kPage + "\r\n0\r\n\r\n", false},
      {"no CRLF after data", kChunked, "5\r\n<body></body>\r\n0\r\n\r\n",
       false},
      {"bytes after the end", kChunked, Frame(kPage, {9}) + "x", false},
      {"trailer with a bare LF", kChunked, Frame(kPage, {9}, "", "X: 1\n\r\n"),
       false},
      {"no final CRLF", kChunked,
       Frame(kPage, {9}).substr(0, Frame(kPage, {9}).size() - 2), false},
      // Streams that break.
      {"gzip, wrong CRC", "Content-Encoding: gzip\r\n", badCrc, false},
      {"gzip, cut short", "Content-Encoding: gzip\r\n",
       gz.substr(0, gz.size() - 1), false},
      {"gzip, bytes after", "Content-Encoding: gzip\r\n", gz + "x", false},
      {"gzip, two members", "Content-Encoding: gzip\r\n", gz + gz, false},
      {"zlib, wrong Adler-32", "Content-Encoding: deflate\r\n", badAdler,
       false},
      {"gzip over 64 MiB", "Content-Encoding: gzip\r\n",
       Compress("<body>" + std::string(64u << 20, ' ') + "</body>",
                Format::kGzip, 9),
       false, false},
  };
}

TEST(CodedBodies, TaggedAsPromisedWhateverTheSeamsAndRefusals) {
  AppDir app("[ga1]\r\nAccount=UA-CODED-1\r\n");
  const checks::SiteValues site = checks::ReadSiteValues(app.path());
  for (const Case& k : Cases()) {
    SCOPED_TRACE(k.name);
    const std::string in = Response(kHtml + k.headers, k.body);
    const FilterRun run = InApp(app.path());
    const Result whole = Filter(in, run);
    ASSERT_EQ(checks::CheckOutput(in, whole.client, false, site), "");
    ASSERT_EQ(whole.client != in, k.tagged);
    if (k.tagged && !k.everySeam) {
      // A large stream is kept up to a block boundary, not re-encoded whole.
      const std::string body =
          whole.client.substr(whole.client.find("\r\n\r\n") + 4);
      std::size_t same = 0;
      while (same < k.body.size() && k.body[same] == body[same]) ++same;
      EXPECT_GT(same, k.body.size() / 2) << "bytes kept as they came";
    }

    std::vector<std::vector<std::size_t>> seams;
    if (k.everySeam) {
      for (std::size_t at = 1; at < in.size(); ++at) seams.push_back({at});
      seams.emplace_back();
      for (std::size_t at = 1; at < in.size(); ++at) seams.back().push_back(at);
    } else {
      seams = {{in.size() / 3, in.size() / 3 + 1, in.size() - 3}};
    }
    for (const std::vector<std::size_t>& cuts : seams) {
      FilterRun cut = run;
      cut.cuts = cuts;
      ASSERT_TRUE(Filter(in, cut).client == whole.client)
          << cuts.size() << " seams from " << cuts[0];
    }
    // Any refusal leaves the response untouched and whole, and gives back
    // every heap block.
    FilterRun seamed = run;
    seamed.cuts = seams.front();
    const std::uint64_t allocs = Filter(in, seamed).allocs;
    for (std::uint64_t n = 1; n <= allocs; ++n) {
      seamed.refuseAlloc = n;
      ASSERT_TRUE(Filter(in, seamed).client == in) << "AllocMem call " << n;
    }
    seamed.refuseAlloc = 0;
    const HeapResult counted = FilterRefusingHeap(in, seamed, 0);
    ASSERT_TRUE(counted.client == whole.client);
    ASSERT_EQ(counted.heapHeld, 0);
    for (std::uint64_t n = 1; n <= counted.heapCalls; ++n) {
      const HeapResult refused = FilterRefusingHeap(in, seamed, n);
      ASSERT_TRUE(refused.client == in) << "heap allocation " << n;
      ASSERT_EQ(refused.heapHeld, 0) << "heap allocation " << n;
    }
  }
}

// A body taken for a plain page under a coding must read as markup: "<"
// after spaces, TABs, CRs, LFs and one byte order mark, across seams.
TEST(CodedBodies, APlainBodyMustReadAsMarkup) {
  // clang-format off
  const std::pair<std::string, bool> cases[] = {
      {"<html>", true}, {" \t\r\n<p>", true}, {"\xEF\xBB\xBF<p>", true}, {"\n\xEF\xBB\xBF <p>", true},
      {"\xEF\xBB\xBF\xEF\xBB\xBF<p>", false}, {"hi <p>", false}, {"\f<p>", false}, {"+64\r\n<p>", false},
      {"\x01\x05", false}, {" \r\n", false}, {"\xEF\xBB\xBF", false}, {"\xEF\xBB<p>", false}};
  // clang-format on
  for (const auto& [body, markup] : cases) {
    TestChain whole({body});
    TestChain bytes(TestChain::Bytes(body));
    EXPECT_EQ(ReadsAsMarkup(CursorAtStart(whole.head())), markup) << body;
    EXPECT_EQ(ReadsAsMarkup(CursorAtStart(bytes.head())), markup) << body;
  }
}

}  // namespace
}  // namespace tagsmith::testing
