#include "tagging/header_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tagging/header_block.h"
#include "tests/chain_builder.h"

namespace {

std::string SpanText(const ValueSpan& span) {
  std::string text;
  ForEachSpanPiece(span, [&text](const char* bytes, std::uint32_t count) {
    text.append(bytes, count);
  });
  return text;
}

// Offset of the cursor's byte in the whole stream.
size_t OffsetOf(const ChunkNode* head, const ChainCursor& c) {
  size_t offset = 0;
  for (const ChunkNode* node = head; node != c.node; node = node->next) {
    offset += node->length;
  }
  return offset + (c.pos - c.node->data);
}

struct Expected {
  std::uint32_t flags;
  std::string account = "";  // the span's text when kHasAccountHeader
  std::string length = "";   // the span's text when kHasContentLength
};

struct Case {
  const char* name;
  std::string response;
  Expected expected;
};

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kHtml = "Content-Type: text/html\r\n";
const std::string kEnd = "\r\n<html><body>x</body></html>";

const Case kCases[] = {
    {"plain html page", kOk + kHtml + kEnd, {kIsHtml}},
    {"charset parameter",
     kOk + "Content-Type: text/html; charset=utf-8\r\n" + kEnd,
     {kIsHtml}},
    {"names and value in any case",
     kOk + "CONTENT-TYPE: TEXT/HTML\r\n" + kEnd,
     {kIsHtml}},
    {"not html", kOk + "Content-Type: text/plain\r\n" + kEnd, {0}},
    {"no space after colon", kOk + "Content-Type:text/html\r\n" + kEnd, {0}},
    {"two spaces after colon",
     kOk + "Content-Type:  text/html\r\n" + kEnd,
     {0}},
    {"404", "HTTP/1.1 404 Not Found\r\n" + kHtml + kEnd, {0}},
    {"304", "HTTP/1.1 304 Not Modified\r\n" + kHtml + kEnd, {0}},
    {"302", "HTTP/1.1 302 Found\r\n" + kHtml + kEnd, {0}},
    {"2001", "HTTP/1.1 2001 OK\r\n" + kHtml + kEnd, {0}},
    {"200 in the reason",
     "HTTP/1.1 500 Error 200 times\r\n" + kHtml + kEnd,
     {kIsHtml}},
    {"200 on a later line",
     "HTTP/1.1 404 Not Found\r\nX-Count: 200 \r\n" + kHtml + kEnd,
     {0}},
    {"search runs past a bare LF to the first CR",
     "HTTP/1.1 404 Not Found\nX-Count: 200 \n" + kHtml + kEnd,
     {kIsHtml}},
    {"tab after 200", "HTTP/1.1 200\tOK\r\n" + kHtml + kEnd, {kIsHtml}},
    {"only the first 200 counts", "HTTP/1.1 2001 200 \r\n" + kHtml + kEnd, {0}},
    {"200 ends the chain", "HTTP/1.1 200", {0}},
    {"starts with CR", "\r\nHTTP/1.1 200 OK\r\n" + kHtml + kEnd, {0}},
    {"no headers", kOk + kEnd, {0}},
    {"headers without an end", kOk + kHtml, {0}},
    {"headers cut in a line", kOk + kHtml + "X-Other: y", {0}},
    {"later type does not clear",
     kOk + kHtml + "Content-Type: text/plain\r\n" + kEnd,
     {kIsHtml}},
    {"account",
     kOk + kHtml + "X-Tagsmith: UA-77-1\r\n" + kEnd,
     {kIsHtml | kHasAccountHeader, "UA-77-1"}},
    {"account with trailing blanks",
     kOk + kHtml + "x-tagsmith: UA-7 \t\r\n" + kEnd,
     {kIsHtml | kHasAccountHeader, "UA-7 \t"}},
    {"account after two spaces",
     kOk + kHtml + "X-Tagsmith:  UA-7\r\n" + kEnd,
     {kIsHtml | kHasAccountHeader, " UA-7"}},
    {"empty account", kOk + kHtml + "X-Tagsmith: \r\n" + kEnd, {kIsHtml}},
    {"account without space",
     kOk + kHtml + "X-Tagsmith:UA-7\r\n" + kEnd,
     {kIsHtml}},
    {"last account wins",
     kOk + kHtml + "X-Tagsmith: UA-1\r\nX-Tagsmith: UA-2\r\nX-Tagsmith: \r\n" +
         kEnd,
     {kIsHtml | kHasAccountHeader, "UA-2"}},
    {"length",
     kOk + kHtml + "Content-Length: 29\r\n" + kEnd,
     {kIsHtml | kHasContentLength, "", "29"}},
    {"length after two spaces",
     kOk + kHtml + "content-length:  29 \r\n" + kEnd,
     {kIsHtml | kHasContentLength, "", " 29 "}},
    {"length without space", kOk + kHtml + "Content-Length:29\r\n" + kEnd, {0}},
    {"length after a tab", kOk + kHtml + "Content-Length:\t29\r\n" + kEnd, {0}},
    {"empty length", kOk + kHtml + "Content-Length: \r\n" + kEnd, {0}},
    {"two lengths",
     kOk + kHtml + "Content-Length: 29\r\nContent-Length: 29\r\n" + kEnd,
     {0}},
    {"chunked",
     kOk + kHtml + "Transfer-Encoding: chunked\r\n" + kEnd,
     {kIsHtml}},
    {"gzip", kOk + kHtml + "content-encoding:gzip\r\n" + kEnd, {kIsHtml}},
    {"identity coding",
     kOk + kHtml +
         "Transfer-Encoding:  IDENTITY \r\nContent-Encoding: identity\r\n" +
         kEnd,
     {kIsHtml}},
    {"empty coding",
     kOk + kHtml + "Content-Encoding:   \r\n" + kEnd,
     {kIsHtml}},
    {"identity and more",
     kOk + kHtml + "Content-Encoding: identity, gzip\r\n" + kEnd,
     {kIsHtml}},
    {"other headers ignored",
     kOk + "Cache-Control: no-cache\r\nTransfer-Encodings: x\r\n" + kHtml +
         kEnd,
     {kIsHtml}},
    // Bare LF lines: the headers only end at a line that begins with CR.
    {"bare LF never ends",
     "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<body></body>",
     {0}},
    {"bare LF then CR",
     "HTTP/1.1 200 OK\nContent-Type: text/html\n\r\n<body></body>",
     {kIsHtml}},
    {"an empty bare LF line, then CR",
     "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\n\r\n<body>",
     {kIsHtml}},
    {"LF after 200 skips a line",
     "HTTP/1.1 200\nContent-Type: text/html\nX: y\r\n\r\n",
     {0}},
    {"bare LF ends the account",
     "HTTP/1.1 200 OK\nX-Tagsmith: UA-9\nContent-Type: text/html\n\r\n",
     {kIsHtml | kHasAccountHeader, "UA-9"}},
    {"bare LF ends the length",
     "HTTP/1.1 200 OK\nContent-Length: 9\nContent-Type: text/html\n\r\n",
     {kIsHtml | kHasContentLength, "", "9"}},
};

TEST(HeaderScan, OutcomesDoNotDependOnSeams) {
  for (const Case& k : kCases) {
    std::vector<std::vector<std::string>> splits = {
        {k.response}, TestChain::Bytes(k.response)};
    for (size_t cut = 1; cut < k.response.size(); ++cut) {
      splits.push_back(TestChain::Cut(k.response, {cut}));
      // Records without bytes first and at the seam.
      splits.push_back(TestChain::Cut(k.response, {cut}));
      splits.back().insert(splits.back().begin() + 1, "");
      splits.back().insert(splits.back().begin(), "");
    }
    for (const auto& pieces : splits) {
      TestChain chain(pieces);
      for (ChunkNode* n = chain.head(); n != nullptr; n = n->next) {
        if (n->length == 0) n->data = nullptr;  // as a splice leaves it
      }
      const ResponseFacts facts = ScanResponseHeaders(chain.head());
      const std::string where = std::string(k.name) + ", " +
                                std::to_string(pieces.size()) + " records";
      ASSERT_EQ(facts.flags, k.expected.flags) << where;
      if (facts.flags & kHasAccountHeader) {
        EXPECT_EQ(SpanText(facts.accountValue), k.expected.account) << where;
      }
      if (facts.flags & kHasContentLength) {
        EXPECT_EQ(SpanText(facts.lengthValue), k.expected.length) << where;
      }
      if (facts.flags & kIsHtml) {
        const size_t body = OffsetOf(chain.head(), facts.bodyStart);
        EXPECT_EQ(k.response.substr(body - 1, 3), "\n\r\n") << where;
      }
    }
  }
}

// Which codings the headers announce, and whether the body may be read:
// decided from the header lines alone, whatever the seams.
TEST(HeaderScan, CodingsAreDecidedFromTheHeaders) {
  constexpr auto kNone = ContentCoding::kNone;
  const struct {
    std::string headers;
    bool readable;
    bool chunked;
    ContentCoding content;
  } cases[] = {
      {"", true, false, kNone},
      {"Transfer-Encoding: chunked\r\n", true, true, kNone},
      {"transfer-encoding:\tCHUNKED \v\r\n", true, true, kNone},
      {"Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n", true,
       true, kNone},
      {"Content-Encoding: gzip\r\n", true, false, ContentCoding::kGzip},
      {"Content-Encoding: X-GZIP\r\n", true, false, ContentCoding::kGzip},
      {"Content-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n", true,
       true, ContentCoding::kDeflate},
      {"Content-Encoding: gzip\r\nContent-Length: 9\r\n", true, false,
       ContentCoding::kGzip},
      {"Transfer-Encoding: chunked\r\nContent-Length: 9\r\n", false, false,
       kNone},
      {"Transfer-Encoding: gzip\r\n", false, false, kNone},
      {"Transfer-Encoding: gzip, chunked\r\n", false, false, kNone},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", false,
       false, kNone},
      {"Content-Encoding: br\r\n", false, false, kNone},
      {"Content-Encoding: gzip, gzip\r\n", false, false, kNone},
      {"Content-Encoding: gzip\r\nContent-Encoding: deflate\r\n", false, false,
       kNone},
      {"Content-Encoding: gzipgzipgzipgzipgzip\r\n", false, false, kNone},
  };
  for (const auto& k : cases) {
    const std::string response = kOk + kHtml + k.headers + kEnd;
    for (size_t cut = 1; cut < response.size(); ++cut) {
      TestChain chain(TestChain::Cut(response, {cut}));
      const ResponseFacts facts = ScanResponseHeaders(chain.head());
      CodingPlan plan{};
      ASSERT_EQ(DecideCodings(facts.codings, &plan), k.readable)
          << k.headers << cut;
      if (!k.readable) continue;
      EXPECT_EQ(plan.chunked, k.chunked) << k.headers;
      EXPECT_EQ(plan.content, k.content) << k.headers;
    }
  }
}

// What a scan found, as one comparable line.
std::string Summary(const ChunkNode* head, const ResponseFacts& facts) {
  std::string out = std::to_string(facts.flags);
  if (facts.flags & kHasAccountHeader)
    out += " account " + SpanText(facts.accountValue);
  if (facts.flags & kHasContentLength)
    out += " length " + SpanText(facts.lengthValue);
  if (facts.bodyStart.node != nullptr) {
    out += " body at " + std::to_string(OffsetOf(head, facts.bodyStart));
  }
  return out;
}

// The watch says the header block is complete only once the scan of the
// bytes so far, on an open chain, can no longer change: for the prefixes
// it calls complete, in one record or one byte per record, the scan gives
// what it gives for the whole response. A candidate's block is complete
// exactly at the CR that ends it, whatever the seams.
TEST(HeaderBlockWatch, CompleteOnlyWhenTheScanCanNoLongerChange) {
  std::vector<std::string> responses;
  for (const Case& k : kCases) responses.push_back(k.response);
  const char* const pieces[] = {"HTTP/1.1 ",
                                "200",
                                "2",
                                "0",
                                " ",
                                "\t",
                                "\r",
                                "\n",
                                "\r\n",
                                "Content-Type: ",
                                "text/html",
                                "X-Tagsmith: ",
                                "Content-Length: ",
                                "9",
                                "Content-Encoding: ",
                                "identity",
                                "gzip",
                                "a"};
  std::mt19937 rng(20261209);
  for (int i = 0; i < 3000; ++i) {
    std::string response;
    for (int n = 1 + rng() % 14; n > 0; --n) {
      response += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
    }
    responses.push_back(response);
  }
  for (const std::string& response : responses) {
    TestChain whole({response});
    const ResponseFacts final = ScanResponseHeaders(whole.head());
    const std::string expected = Summary(whole.head(), final);
    HeaderBlockWatch watch = HeaderBlockWatch::kFirstByte;
    size_t completeAt = 0;  // prefix length at which it said so; 0: never
    for (size_t n = 1; n <= response.size(); ++n) {
      // Fed one byte at a time: the state carries over every seam.
      const bool complete = WatchHeaderBlock(&watch, &response[n - 1], 1);
      if (!complete) continue;
      if (completeAt == 0) completeAt = n;
      // From the first complete prefix on nothing more is read; two more
      // lengths show that nothing after it counts.
      if (n != completeAt && n != completeAt + 1 && n != response.size()) {
        continue;
      }
      const std::string prefix = response.substr(0, n);
      for (const auto& split :
           {std::vector<std::string>{prefix}, TestChain::Bytes(prefix)}) {
        TestChain open(split, /*closed=*/false);
        EXPECT_EQ(Summary(open.head(), ScanResponseHeaders(open.head())),
                  expected)
            << "prefix of " << n << " bytes, " << split.size()
            << " records, of: " << response;
      }
    }
    HeaderBlockWatch fedWhole = HeaderBlockWatch::kFirstByte;
    EXPECT_EQ(WatchHeaderBlock(&fedWhole, response.data(),
                               static_cast<std::uint32_t>(response.size())),
              completeAt != 0)
        << response;
    if (final.flags & kIsHtml) {
      EXPECT_EQ(completeAt, OffsetOf(whole.head(), final.bodyStart) + 1)
          << response;
    }
  }
}

}  // namespace
