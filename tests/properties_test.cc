// Random responses, configurations, seams and refused allocations through
// the filter, checked against what it promises (tests/property_check.h). The
// generator also knows, from what it put in, whether each page must be
// tagged. Seeded, so a failure replays; bounded in cases and in time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/body_codings.h"
#include "tests/filter_harness.h"
#include "tests/property_check.h"

namespace tagsmith::testing {
namespace {

constexpr std::uint32_t kSeed = 0x7a65u;
constexpr int kMaxCases = 4000;
constexpr auto kTimeBudget = std::chrono::seconds(3);

// A response and what its making says about it.
struct Page {
  std::string response;
  bool mayTag = true;             // 200, HTML, codings and length all allow it
  bool headerAccount = false;     // an X-Tagsmith header with a value
  bool hasMarker = false;         // the body loads the script already
  bool plainUnderCoding = false;  // a coding announced, not applied
  std::string body;
};

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  std::size_t Below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }
  template <typename T, std::size_t N>
  const T& OneOf(const T (&items)[N]) {
    return items[Below(N)];
  }

  // Printable text without line ends, quotes or blanks at either end: the
  // profile reader hands it back as it is.
  std::string Text(std::size_t length) {
    static const char kChars[] = "abcXYZ0189 <>/!-=;:#.";
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
      text += kChars[Below(sizeof kChars - 1)];
    if (!text.empty()) text.front() = 'a', text.back() = 'z';
    return text;
  }

  std::string Body(Page* page) {
    static const char* const kPieces[] = {
        "<html>",
        "<body>",
        "<p>",
        "text ",
        "</p>",
        "\r\n",
        "\n",
        "\r",
        "\xc3\xa9",
        "<",
        ">",
        "/",
        " ",
        "\t",
        "</body>",
        "</BODY>",
        "< / body >",
        "<\t/\nBoDy\r>",
        "</body",
        "</bodyx>",
        "<//body>",
        "</ body>",
        "</html>",
        "<!-- </body> -->",
        "<script  src=\"http://www.google-analytics.com/urchin.js\">",
        "<script src='http://www.google-analytics.com/urchin.js'>"};
    static const char* const kMarkers[] = {
        "<script src=\"http://www.google-analytics.com/urchin.js\"",
        "<SCRIPT SRC=\"HTTPS://SSL.GOOGLE-ANALYTICS.COM/URCHIN.JS\""};
    std::string body;
    const std::size_t pieces = Below(40);
    for (std::size_t i = 0; i < pieces; ++i) {
      if (Chance(2)) {
        body += OneOf(kMarkers);
        page->hasMarker = true;
      } else {
        body += OneOf(kPieces);
      }
    }
    return body;
  }

  Page MakePage() {
    Page page;
    static const char* const kOtherStatus[] = {
        "HTTP/1.1 404 Not Found", "HTTP/1.1 304 Not Modified",
        "HTTP/1.1 2000 OK", "HTTP/1.1 500 Internal Server Error",
        "HTTP/1.1 206 Partial Content"};
    std::string status = "HTTP/1.1 200 OK";
    if (Chance(5)) status = "HTTP/1.0 200 OK";
    if (Chance(12)) {
      status = OneOf(kOtherStatus);
      page.mayTag = false;
    }
    page.body = Body(&page);

    std::vector<std::string> headers;
    const int type = static_cast<int>(Below(100));
    if (type < 70) {
      headers.push_back(std::string("Content-Type: text/html") +
                        (Chance(50) ? "; charset=utf-8" : ""));
    } else if (type < 80) {
      headers.push_back("content-type: TEXT/HTML");
    } else if (type < 90) {
      headers.push_back("Content-Type: text/plain");
      page.mayTag = false;
    } else {
      page.mayTag = false;  // no type at all
    }
    // Codings: applied to the body, or only announced (the server codes
    // later), or ones that forbid tagging.
    std::string bytes = page.body;
    bool chunkedNamed = false;
    if (Chance(30)) {
      static const checks::Format kFormats[] = {
          checks::Format::kGzip, checks::Format::kZlib, checks::Format::kRaw};
      const std::size_t which = Below(6);
      if (which < 3) {
        bytes = checks::Compress(page.body, kFormats[which],
                                 Chance(50) ? 6 : 1 + Below(9));
        headers.push_back(which == 0 ? "Content-Encoding: gzip"
                                     : "Content-Encoding: Deflate");
        if (which < 2 && Chance(10)) {  // a broken stream: its check fails
          bytes[Below(bytes.size())] ^= static_cast<char>(1 + Below(255));
          page.mayTag = false;
        }
      } else if (which == 3) {
        headers.push_back("Content-Encoding: x-gzip");
        page.plainUnderCoding = true;
      } else if (which == 4) {
        headers.push_back("Content-Encoding: br");
        page.mayTag = false;
      } else {
        headers.push_back("Content-Encoding:  Identity\t");
      }
    }
    if (Chance(30)) {
      const std::size_t which = Below(4);
      if (which < 2) {
        headers.push_back("Transfer-Encoding: chunked");
        chunkedNamed = true;
        if (which == 0) {
          std::vector<std::size_t> sizes(1 + Below(4));
          for (std::size_t& size : sizes) size = 1 + Below(40);
          bytes = checks::Frame(bytes, sizes, Chance(20) ? ";x=1" : "",
                                Chance(20) ? "X-Trailer: 1\r\n" : "");
          if (Chance(10)) {  // broken framing: no final LF, or bytes after it
            if (Chance(50)) {
              bytes.pop_back();
            } else {
              bytes += "x";
            }
            page.mayTag = false;
          }
        } else if (checks::BeginsFramed(bytes)) {
          page.mayTag = false;  // compressed bytes that read as framing begun
        } else {
          page.plainUnderCoding |= bytes == page.body;
        }
      } else if (which == 2) {
        headers.push_back("Transfer-Encoding: gzip");
        page.mayTag = false;
      } else {
        headers.push_back("Transfer-Encoding: identity");
      }
    }
    if (Chance(3) && !headers.empty() &&
        headers.back().find("coding: ") != std::string::npos &&
        headers.back().find("dentity") == std::string::npos) {
      headers.push_back(headers.back());  // the same coding twice
      page.mayTag = false;
    }
    const std::size_t before = headers.size();
    const int length = static_cast<int>(Below(100));
    static const char* const kOddLengths[] = {
        "0",           " 7", "abc", "4294967295", "-1",
        "99999999999", "+5", "030", "12 "};
    if (length < 35) {
      headers.push_back("Content-Length: " + std::to_string(bytes.size()));
    } else if (length < 45) {
      headers.push_back(std::string("Content-Length: ") + OneOf(kOddLengths));
    } else if (length < 50) {
      headers.push_back("Content-Length:12");
      page.mayTag = false;
    } else if (length < 55) {
      headers.push_back("Content-Length: 5");
      headers.push_back("content-length: 5");
      page.mayTag = false;
    }
    if (chunkedNamed && headers.size() > before)
      page.mayTag = false;  // chunked and a length
    if (Chance(30)) {
      headers.push_back("X-Tagsmith: UA-H-" + std::to_string(Below(1000)));
      page.headerAccount = true;
    } else if (Chance(5)) {
      headers.push_back("X-Tagsmith: ");
    }
    if (Chance(20)) headers.push_back("X-Note: </body>");
    if (Chance(20)) headers.push_back("Server: test");
    std::shuffle(headers.begin(), headers.end(), rng_);

    page.response = status + "\r\n";
    for (const std::string& header : headers)
      page.response += header + (Chance(8) ? "\n" : "\r\n");
    page.response += "\r\n" + bytes;
    return page;
  }

  // Writes a configuration (or none) for the request and returns the values
  // the filter must use.
  checks::SiteValues Configure(const AppDir& app, checks::Request* request) {
    checks::SiteValues site;
    const int where = static_cast<int>(Below(100));
    if (where < 10) return site;  // the server knows no directory
    if (where < 14) {
      request->appPath = "";
      return site;
    }
    if (where < 20) {
      request->appPath = app.path() + "/missing";
      return site;
    }
    request->appPath = app.path();
    if (where < 25) {
      // Slashes up to the longest usable path, or past it.
      const std::size_t length = Chance(50) ? 2031 : 2032 + Below(100);
      request->appPath->append(length - app.path().size(), '/');
    }
    const bool usable = request->appPath->size() <= 2031;

    std::vector<std::string> lines;
    auto value = [&](const char* key, std::size_t size, std::string* out) {
      const int what = static_cast<int>(Below(100));
      if (what < 30) return;
      std::string text =
          what < 40 ? std::string()
                    : Text(what < 45 ? size - 5 + Below(10) : Below(40));
      std::string name = key;
      if (Chance(20))
        std::transform(name.begin(), name.end(), name.begin(), [](char c) {
          return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
      lines.push_back(name + (Chance(20) ? " = " : "=") + text);
      *out = text.substr(0, size - 1);
    };
    value("Account", 16, &site.account);
    value("InsertBeforeScriptBlock", 2048, &site.insertBefore);
    value("AppendAfterScriptBlock", 2048, &site.appendAfter);
    std::string ssl;
    value("AlwaysSSL", 16, &ssl);
    site.alwaysSsl = !ssl.empty();
    std::shuffle(lines.begin(), lines.end(), rng_);
    std::string config = Chance(20) ? "[other]\r\nAccount=UA-WRONG\r\n" : "";
    config += Chance(20) ? "[GA1]\n" : "[ga1]\r\n";
    for (const std::string& line : lines)
      config += line + (Chance(20) ? "\n" : "\r\n");
    app.Rewrite(config);
    return usable ? site : checks::SiteValues{};
  }

  std::vector<std::size_t> Seams(std::size_t size) {
    std::vector<std::size_t> cuts;
    if (size < 600 && Chance(10)) {
      for (std::size_t at = 1; at < size; ++at) cuts.push_back(at);
      return cuts;
    }
    const std::size_t count = Below(9);
    for (std::size_t i = 0; i < count; ++i) cuts.push_back(Below(size + 1));
    std::sort(cuts.begin(), cuts.end());
    return cuts;
  }

 private:
  std::mt19937 rng_;
};

std::string Describe(const checks::Request& request) {
  std::string text =
      "response (" + std::to_string(request.response.size()) + " bytes):\n" +
      ::testing::PrintToString(request.response) + "\nseams " +
      ::testing::PrintToString(request.cuts) + ", secure " +
      std::to_string(request.secure) + ", refused call " +
      std::to_string(request.refuseAlloc) + ", path " +
      (request.appPath ? std::to_string(request.appPath->size()) + " bytes"
                       : "none");
  return text;
}

TEST(Properties, RandomResponsesAreTaggedOnceOrLeftAlone) {
  AppDir app("");
  Generator gen(kSeed);
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  int cases = 0, tagged = 0, refusals = 0;
  for (; cases < kMaxCases && std::chrono::steady_clock::now() < deadline;
       ++cases) {
    const Page page = gen.MakePage();
    checks::Request request;
    request.response = page.response;
    request.secure = gen.Chance(30);
    const checks::SiteValues site = gen.Configure(app, &request);
    request.cuts = gen.Seams(request.response.size());
    if (gen.Chance(50)) {
      request.refuseAlloc = 1 + gen.Below(1000);
      ++refusals;
    }
    const checks::Verdict verdict =
        checks::CheckRequest(LinkedFilter(), request, site);
    ASSERT_EQ(verdict.violation, "") << "case " << cases << "\n"
                                     << Describe(request);

    // The generator's header accounts are all usable; a configured one
    // wins, and is not when it holds a "<".
    const bool usableAccount =
        site.account.empty() ? page.headerAccount
                             : site.account.find('<') == std::string::npos;
    const bool mustTag =
        page.mayTag && !page.hasMarker && usableAccount &&
        (!page.plainUnderCoding || checks::ReadsAsMarkup(page.body)) &&
        checks::LastClosingBodyTag(page.body) != std::string::npos;
    const bool wasTagged = verdict.reference != request.response;
    ASSERT_EQ(wasTagged, mustTag) << "case " << cases << "\n"
                                  << Describe(request);
    tagged += wasTagged;
  }
  // The run must have covered both outcomes, refusals and enough cases to
  // mean something, even on a slow machine.
  EXPECT_GE(cases, 300);
  EXPECT_GE(tagged, cases / 10);
  EXPECT_LE(tagged, cases * 9 / 10);
  EXPECT_GE(refusals, cases / 4);
  std::printf("%d cases, %d tagged\n", cases, tagged);
}

}  // namespace
}  // namespace tagsmith::testing
