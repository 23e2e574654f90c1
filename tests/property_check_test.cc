// The shared checks must accept what the filter promises and reject each
// way of breaking it; otherwise the randomized tests and the fuzz targets
// would pass whatever the filter did.
#include "tests/property_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/body_codings.h"

namespace tagsmith::checks {
namespace {

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
const std::string kBody = "<body>a</body>b</BODY >c";

SiteValues Site(const std::string& account) {
  SiteValues site;
  site.account = account;
  return site;
}

// `body` with `block` before its last "</BODY", under the given headers.
std::string Tagged(const std::string& headers, const std::string& block,
                   const std::string& body = kBody) {
  std::string b = body;
  b.insert(b.rfind("</BODY"), block);
  return headers + "\r\n" + b;
}

TEST(PropertyCheck, AcceptsTheUntouchedAndTheTaggedForms) {
  const SiteValues site = Site("UA-1");
  const std::string in = kHead + "\r\n" + kBody;
  EXPECT_EQ(CheckOutput(in, in, false, site), "");
  EXPECT_EQ(CheckOutput(in, Tagged(kHead, ExpectedBlock(site, "UA-1", false)),
                        false, site),
            "");
  EXPECT_EQ(CheckOutput(in, Tagged(kHead, ExpectedBlock(site, "UA-1", true)),
                        true, site),
            "");

  SiteValues texts = site;
  texts.insertBefore = "<!--a-->";
  texts.appendAfter = "<!--z-->";
  texts.alwaysSsl = true;
  EXPECT_EQ(CheckOutput(in, Tagged(kHead, ExpectedBlock(texts, "UA-1", true)),
                        false, texts),
            "");
}

TEST(PropertyCheck, RejectsAWrongPlaceOrBlock) {
  const SiteValues site = Site("UA-1");
  const std::string in = kHead + "\r\n" + kBody;
  const std::string block = ExpectedBlock(site, "UA-1", false);
  std::string early = kBody;
  early.insert(early.find("</body>"), block);
  EXPECT_NE(CheckOutput(in, kHead + "\r\n" + early, false, site), "")
      << "first tag, not last";
  std::string twice = Tagged(kHead, block);
  twice.insert(twice.rfind("</BODY"), block);
  EXPECT_NE(CheckOutput(in, twice, false, site), "") << "two blocks";
  EXPECT_NE(CheckOutput(in, Tagged(kHead, ExpectedBlock(site, "UA-1", true)),
                        false, site),
            "")
      << "secure script on a plain request";
  EXPECT_NE(CheckOutput(in, Tagged(kHead, ExpectedBlock(site, "UA-1", false)),
                        true, site),
            "")
      << "plain script on a TLS request";
  EXPECT_NE(CheckOutput(in, Tagged(kHead, ExpectedBlock(site, "UA-2", false)),
                        false, site),
            "")
      << "another account";
  std::string changed = Tagged(kHead, block);
  changed[changed.size() - 1] = 'd';
  EXPECT_NE(CheckOutput(in, changed, false, site), "")
      << "a byte after the block";
  changed = Tagged(kHead, block);
  changed[3] = '2';
  EXPECT_NE(CheckOutput(in, changed, false, site), "")
      << "a byte in the headers";
  changed = Tagged(kHead, block);
  changed.erase(changed.size() - 1);
  EXPECT_NE(CheckOutput(in, changed, false, site), "") << "a byte dropped";
}

TEST(PropertyCheck, RejectsTaggingWhatMustLeaveAlone) {
  const SiteValues site = Site("UA-1");
  const std::string block = ExpectedBlock(site, "UA-1", false);
  const std::string heads[] = {
      "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n",
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n",
      kHead + "Transfer-Encoding: gzip\r\n",
      kHead + "Content-Encoding: br\r\n",
      kHead + "Transfer-Encoding: chunked\r\nContent-Length: 24\r\n",
      kHead + "Content-Encoding: gzip\r\nContent-Encoding: gzip\r\n",
      kHead + "Content-Length:24\r\n",
      kHead + "Content-Length: 24\r\nContent-Length: 24\r\n",
  };
  for (const std::string& head : heads) {
    EXPECT_NE(
        CheckOutput(head + "\r\n" + kBody, Tagged(head, block), false, site),
        "")
        << head;
  }
  EXPECT_NE(CheckOutput(kHead + "\r\n" + kBody, Tagged(kHead, block), false,
                        SiteValues{}),
            "")
      << "no account anywhere";
  const std::string marked =
      "<script src=\"http://www.google-analytics.com/urchin.js\"></script>" +
      kBody;
  EXPECT_NE(CheckOutput(kHead + "\r\n" + marked, Tagged(kHead, block, marked),
                        false, site),
            "");
  // A closing tag only in the headers is no place for the block.
  const std::string note = kHead + "X-Note: </BODY>\r\n";
  std::string out = note + "\r\n<body>";
  out.insert(out.find("</BODY>"), block);
  EXPECT_NE(CheckOutput(note + "\r\n<body>", out, false, site), "");
}

// Coded bodies: plain ones under announced codings are plain pages; framed
// ones take the block as a chunk of its own; compressed ones must decode to
// the tagged page with a true Content-Length.
TEST(PropertyCheck, CodedForms) {
  const SiteValues site = Site("UA-1");
  const std::string block = ExpectedBlock(site, "UA-1", false);
  const std::string chunked = kHead + "Transfer-Encoding: chunked\r\n";
  EXPECT_EQ(CheckOutput(chunked + "\r\n" + kBody, Tagged(chunked, block), false,
                        site),
            "");

  char hex[16];
  std::snprintf(hex, sizeof hex, "%zx", block.size());
  // The last "</BODY" is at offset 15 of the body: chunks of 10 cut at 5.
  const std::string framed = chunked + "\r\n" + Frame(kBody, {10});
  std::string body = kBody;
  std::string good = chunked + "\r\na\r\n" + body.substr(0, 10) + "\r\n5\r\n" +
                     body.substr(10, 5) + "\r\n" + hex + "\r\n" + block +
                     "\r\n5\r\n" + body.substr(15, 5) + "\r\n4\r\n" +
                     body.substr(20) + "\r\n0\r\n\r\n";
  EXPECT_EQ(CheckOutput(framed, good, false, site), "");
  std::string bad = good;
  bad.replace(bad.find("\r\n5\r\n"), 5, "\r\n05\r\n");
  EXPECT_NE(CheckOutput(framed, bad, false, site), "")
      << "size digits not as said";
  std::string inside = framed;
  inside.insert(inside.rfind("</BOD"), block);
  EXPECT_NE(CheckOutput(framed, inside, false, site), "")
      << "the block inside a chunk";

  const std::string gzipHead = kHead + "Content-Encoding: gzip\r\n";
  const std::string in = Compress(kBody, Format::kGzip);
  std::string tagged = kBody;
  tagged.insert(15, block);
  const std::string out = Compress(tagged, Format::kGzip, 1);
  auto withLength = [&](const std::string& b, std::size_t n) {
    return gzipHead + "Content-Length: " + std::to_string(n) + "\r\n\r\n" + b;
  };
  EXPECT_EQ(CheckOutput(withLength(in, in.size()), withLength(out, out.size()),
                        false, site),
            "");
  EXPECT_NE(CheckOutput(withLength(in, in.size()),
                        withLength(out, out.size() + 1), false, site),
            "");
  EXPECT_NE(CheckOutput(withLength(in, in.size()),
                        withLength(Compress(kBody, Format::kGzip, 1),
                                   Compress(kBody, Format::kGzip, 1).size()),
                        false, site),
            "")
      << "not tagged";
  EXPECT_NE(CheckOutput(withLength(in, in.size()),
                        withLength(Compress(tagged, Format::kZlib),
                                   Compress(tagged, Format::kZlib).size()),
                        false, site),
            "")
      << "another format";
  EXPECT_NE(CheckOutput(gzipHead + "\r\n" + in + "x", gzipHead + "\r\n" + out,
                        false, site),
            "")
      << "a broken stream must stay";
}

TEST(PropertyCheck, AccountFromTheHeaderWhenNoneIsConfigured) {
  const std::string head = kHead + "X-Tagsmith: UA-H\r\n";
  const std::string in = head + "\r\n" + kBody;
  EXPECT_EQ(CheckOutput(in, Tagged(head, ExpectedBlock({}, "UA-H", false)),
                        false, {}),
            "");
  EXPECT_NE(CheckOutput(in, Tagged(head, ExpectedBlock({}, "UA-X", false)),
                        false, {}),
            "");
  EXPECT_NE(
      CheckOutput(in, Tagged(head, ExpectedBlock(Site("UA-1"), "UA-H", false)),
                  false, Site("UA-1")),
      "")
      << "a configured account wins over the header";
}

TEST(PropertyCheck, ContentLengthMustStateTheNewLength) {
  const SiteValues site = Site("UA-1");
  const std::string block = ExpectedBlock(site, "UA-1", false);
  auto head = [](const std::string& value) {
    return kHead + "Content-Length: " + value + "\r\nX-After: 1\r\n";
  };
  const std::string in = head("24") + "\r\n" + kBody;
  const std::string right = std::to_string(24 + block.size());
  EXPECT_EQ(CheckOutput(in, Tagged(head(right), block), false, site), "");
  EXPECT_NE(CheckOutput(in, Tagged(head("24"), block), false, site), "")
      << "not rewritten";
  EXPECT_NE(
      CheckOutput(in, Tagged(head(std::to_string(25 + block.size())), block),
                  false, site),
      "");
  EXPECT_NE(CheckOutput(in, Tagged(head("0" + right), block), false, site), "")
      << "leading zero";
  EXPECT_NE(CheckOutput(in, Tagged(head(right + " "), block), false, site), "")
      << "old blank kept";
  // Odd values: parsed as the runtime does, wrapping modulo 2^32.
  const std::string wrapped = head("-1") + "\r\n" + kBody;
  EXPECT_EQ(CheckOutput(wrapped,
                        Tagged(head(std::to_string(block.size() - 1)), block),
                        false, site),
            "");
  EXPECT_EQ(StatedLength(" +17x"), 17u);
  EXPECT_EQ(StatedLength("99999999999"), 4294967295u);
  EXPECT_EQ(StatedLength("-99999999999"), 1u);
  EXPECT_EQ(StatedLength("abc"), 0u);
}

TEST(PropertyCheck, ClosingTagGrammar) {
  EXPECT_TRUE(ClosingBodyTagAt("x< \t/\r\n BoDy\v\f>", 1));
  EXPECT_FALSE(ClosingBodyTagAt("</bod>", 0));
  EXPECT_FALSE(ClosingBodyTagAt("</body", 0));
  EXPECT_FALSE(ClosingBodyTagAt("</bodyx>", 0));
  EXPECT_FALSE(ClosingBodyTagAt("<//body>", 0));
  EXPECT_EQ(LastClosingBodyTag("</body></body >x"), 7u);
  EXPECT_EQ(LastClosingBodyTag("<body>"), std::string::npos);
}

TEST(PropertyCheck, SeamsAndRefusals) {
  EXPECT_EQ(CheckAgainstReference("in", "tagged", "tagged", false), "");
  EXPECT_NE(CheckAgainstReference("in", "tagged", "in", false), "");
  EXPECT_EQ(CheckAgainstReference("in", "tagged", "in", true), "");
  EXPECT_EQ(CheckAgainstReference("in", "tagged", "tagged", true), "");
  EXPECT_NE(CheckAgainstReference("in", "tagged", "intagged", true), "");
  EXPECT_NE(CheckAgainstReference("in", "tagged", "", true), "");
}

}  // namespace
}  // namespace tagsmith::checks
