// Responses captured from a real web server, through the filter: each one
// either leaves byte for byte, or leaves with one tracking block before its
// last closing body tag and a Content-Length that states its true length.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <regex>
#include <string>

#include "tests/filter_harness.h"
#include "tests/property_check.h"

namespace tagsmith::testing {
namespace {

const std::string kRealDir = std::string(TAGSMITH_TESTDATA_DIR) + "/real/";

// Which captures a correct filter tags, and why the others stay as sent.
const std::map<std::string, bool> kTagged = {
    {"p01-index.get.http", true},
    {"p02-users-and-groups.get.http", true},  // "</BODY\n>"
    {"p03-index.get.http", false},            // a frameset: no body element
    {"p04-retrieving.get.http", false},       // no closing body tag
    {"p05-index.get.http", true},
    {"p06-libOpenCL.get.http", true},
    {"p07-genindex-all.get.http", true},
    {"p08-codecs.get.http", true},
    {"p09-demos.get.http", true},  // bytes after the tag
    {"p10-charencodings.get.http", true},
    {"p11-x34.get.http", true},
    {"p12-index.get.http", true},
    {"p13-zlib_how.get.http", true},
    {"p14-index.get.http", true},
    {"a03-py.get.http", false},  // an image
    {"x01-404-not-found.http", false},
    {"x02-304-if-modified-since.http", false},
    {"x03-206-range.http", false},
    {"x04-gzip-chunked.http", true},         // compressed and chunked
    {"x05-sub-filter-chunked.http", true},   // chunked
    {"x06-sub-filter-http10.http", true},    // no length: ends at close
    {"x07-sub-filter-no-match.http", true},  // chunked, "</BODY\n>"
    {"x08-ssi-chunked.http", true},          // chunked
    {"x09-charset-utf8.http", true},
    {"x10-http10-get.http", true},
};

const std::string kBlockStart =
    "\r\n<script src=\"http://www.google-analytics.com/urchin.js\"";
const std::string kBlockEnd = "\";\r\n\turchinTracker();\r\n</script>\r\n\r\n";

// The offset of the last closing body tag after `from`, or npos.
std::size_t LastClosingBodyTag(const std::string& page, std::size_t from) {
  static const std::regex tag(
      "^<[ \t\r\n\v\f]*/[ \t\r\n\v\f]*body[ \t\r\n\v\f]*>", std::regex::icase);
  for (std::size_t at = page.rfind('<'); at != std::string::npos && at > from;
       at = at == 0 ? std::string::npos : page.rfind('<', at - 1)) {
    if (std::regex_search(page.substr(at, 64), tag)) return at;
  }
  return std::string::npos;
}

void CheckTagged(const std::string& in, const std::string& out,
                 const std::string& account) {
  const std::size_t headersEnd = in.find("\r\n\r\n") + 4;
  const std::size_t tagAt = LastClosingBodyTag(in, headersEnd);
  ASSERT_NE(tagAt, std::string::npos);
  const std::string block =
      out.substr(out.find(kBlockStart), out.find(kBlockEnd) + kBlockEnd.size() -
                                            out.find(kBlockStart));
  EXPECT_NE(block.find("_uacct = \"" + account + "\""), std::string::npos);

  // Everything else is as it came, but for the Content-Length value.
  std::string expected = in;
  expected.insert(tagAt, block);
  const std::size_t bodySize = expected.size() - headersEnd;
  static const std::regex length("\r\nContent-Length: ([0-9]+)\r\n");
  std::smatch m;
  const std::string head = expected.substr(0, headersEnd);
  if (std::regex_search(head, m, length)) {
    expected.replace(m.position(1), m.length(1),
                     std::to_string(std::stoul(m.str(1)) + block.size()));
    EXPECT_EQ(std::stoul(m.str(1)) + block.size(), bodySize)
        << "the stated length is the true one";
  }
  EXPECT_TRUE(out == expected)
      << "differs from the page with one block inserted";
}

TEST(RealPages, TaggedOnceOrUntouched) {
  AppDir app("[ga1]\r\nAccount=UA-REAL-1\r\n");
  for (const auto& [name, tagged] : kTagged) {
    SCOPED_TRACE(name);
    const std::string in = ReadFile(kRealDir + name);
    ASSERT_FALSE(in.empty());
    const std::string out = Filter(in, InApp(app.path())).client;
    if (!tagged) {
      EXPECT_TRUE(out == in) << "must leave untouched";
      continue;
    }
    // Chunked and compressed captures: the checker de-frames and decodes
    // what leaves and compares the page.
    const bool coded = in.substr(0, in.find("\r\n\r\n")).find("-Encoding:") !=
                       std::string::npos;
    if (coded) {
      EXPECT_NE(out, in);
      EXPECT_EQ(checks::CheckOutput(in, out, false,
                                    checks::ReadSiteValues(app.path())),
                "");
    } else {
      CheckTagged(in, out, "UA-REAL-1");
    }
    // The same page cut into the server's 16 KB chunks, and into odd ones.
    for (std::size_t chunk : {16384u, 1000u, 7u}) {
      if (in.size() / chunk > 20000) continue;
      FilterRun run = InApp(app.path());
      for (std::size_t at = chunk; at < in.size(); at += chunk)
        run.cuts.push_back(at);
      EXPECT_TRUE(Filter(in, run).client == out) << "chunks of " << chunk;
    }
  }
}

TEST(RealPages, HeadResponsesLeaveUntouched) {
  AppDir app("[ga1]\r\nAccount=UA-REAL-1\r\n");
  for (const auto& [name, tagged] : kTagged) {
    const std::size_t get = name.find(".get.");
    if (get == std::string::npos) continue;
    const std::string head = name.substr(0, get) + ".head.http";
    const std::string in = ReadFile(kRealDir + head);
    EXPECT_TRUE(Filter(in, InApp(app.path())).client == in) << head;
  }
}

}  // namespace
}  // namespace tagsmith::testing
