// The response decision without a socket: request heads in, verdicts and
// plans out, one case per line.
#include "commands/serve/response_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/http_date.h"
#include "tests/serve_harness.h"

namespace tagsmith::host {
namespace {

using Next = HeadVerdict::Next;

RequestHead Head(std::string method, std::string target,
                 unsigned version = 11) {
  RequestHead head;
  head.method = std::move(method);
  head.target = std::move(target);
  head.version = version;
  head.keep_alive = version >= 11;
  head.header_bytes = 40;
  if (version >= 11) head.hosts = {"t"};
  return head;
}

TEST(CheckHead, RefusesFramingAndHostsItCannotTrust) {
  struct Case {
    const char* name;
    RequestHead head;
    Next next;
    unsigned status;
  };
  auto with = [](auto change) {
    RequestHead head = Head("GET", "/");
    change(head);
    return head;
  };
  const Case cases[] = {
      {"plain", Head("GET", "/"), Next::kRead, 0},
      {"8 KiB header", with([](RequestHead& h) { h.header_bytes = 8192; }),
       Next::kRead, 0},
      {"a byte more", with([](RequestHead& h) { h.header_bytes = 8193; }),
       Next::kRefuse, 431},
      // Transfer-Encoding: one final chunked, or nothing
      {"chunked", with([](RequestHead& h) {
         h.transfer_encodings = {"chunked"};
         h.has_body = true;
       }),
       Next::kRead, 0},
      {"Chunked, gzip first",
       with([](RequestHead& h) { h.transfer_encodings = {"gzip, Chunked"}; }),
       Next::kRead, 0},
      {"xchunked",
       with([](RequestHead& h) { h.transfer_encodings = {"xchunked"}; }),
       Next::kRefuse, 400},
      {"chunked not last",
       with([](RequestHead& h) { h.transfer_encodings = {"chunked, gzip"}; }),
       Next::kRefuse, 400},
      {"chunked twice", with([](RequestHead& h) {
         h.transfer_encodings = {"chunked", "chunked"};
       }),
       Next::kRefuse, 400},
      {"empty coding",
       with([](RequestHead& h) { h.transfer_encodings = {"chunked,"}; }),
       Next::kRefuse, 400},
      {"identity",
       with([](RequestHead& h) { h.transfer_encodings = {"identity"}; }),
       Next::kRefuse, 400},
      {"HTTP/1.0 with chunked",
       [] {
         RequestHead h = Head("GET", "/", 10);
         h.transfer_encodings = {"chunked"};
         return h;
       }(),
       Next::kRefuse, 400},
      // Host
      {"no Host", with([](RequestHead& h) { h.hosts.clear(); }), Next::kRefuse,
       400},
      {"two Hosts", with([](RequestHead& h) {
         h.hosts = {"a", "b"};
       }),
       Next::kRefuse, 400},
      {"a list as Host", with([](RequestHead& h) { h.hosts = {"a, b"}; }),
       Next::kRefuse, 400},
      {"HTTP/1.0 without Host", Head("GET", "/", 10), Next::kRead, 0},
      // Expect
      {"100-continue with a body", with([](RequestHead& h) {
         h.expectations = {"100-Continue"};
         h.has_body = true;
       }),
       Next::kContinueRead, 0},
      {"100-continue without one",
       with([](RequestHead& h) { h.expectations = {"100-continue"}; }),
       Next::kRead, 0},
      {"another expectation",
       with([](RequestHead& h) { h.expectations = {"200-ok"}; }), Next::kRefuse,
       417},
      {"two expectations", with([](RequestHead& h) {
         h.expectations = {"100-continue", "100-continue"};
       }),
       Next::kRefuse, 417},
      {"HTTP/1.0 expectations are ignored",
       [] {
         RequestHead h = Head("GET", "/", 10);
         h.expectations = {"200-ok"};
         return h;
       }(),
       Next::kRead, 0},
  };
  for (const Case& c : cases) {
    const HeadVerdict verdict = CheckHead(c.head);
    EXPECT_EQ(static_cast<int>(verdict.next), static_cast<int>(c.next))
        << c.name;
    EXPECT_EQ(verdict.status, c.status) << c.name;
  }
}

TEST(PlanResponse, AnswersEachKindOfRequest) {
  serve_testing::ScratchDir top;
  const std::string site_dir = top.path() + "/site";
  std::filesystem::create_directories(site_dir + "/sub");
  serve_testing::WriteFile(site_dir + "/page.html", "<p>page</p>");
  serve_testing::WriteFile(site_dir + "/sub/index.html", "sub");
  const StaticSite site({{"/", site_dir}});
  struct Case {
    RequestHead head;
    unsigned status;
    const char* type;
    std::uint64_t size;
    bool file;
    const char* extra;  // "Name: value", or ""
  } cases[] = {
      {Head("GET", "/page.html"), 200, "text/html", 11, true, ""},
      {Head("HEAD", "/page.html"), 200, "text/html", 11, true, ""},
      {Head("GET", "/sub/"), 200, "text/html", 3, true, ""},
      {Head("GET", "//sub"), 301, "text/plain", 22, false, "Location: /sub/"},
      {Head("GET", "/missing"), 404, "text/plain", 14, false, ""},
      {Head("GET", "/../x"), 400, "text/plain", 16, false, ""},
      {Head("POST", "/page.html"), 405, "text/plain", 23, false,
       "Allow: GET, HEAD"},
      {Head("GET", "/page.html", 20), 505, "text/plain", 31, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head.method + " " + c.head.target);
    const ResponsePlan plan = PlanResponse(site, c.head);
    EXPECT_EQ(plan.status, c.status);
    EXPECT_EQ(plan.content_type, c.type);
    EXPECT_EQ(plan.body_size, c.size);
    EXPECT_EQ(plan.file.valid(), c.file);
    if (!c.file) {
      EXPECT_EQ(plan.text.size(), c.size);
    }
    std::string extra;
    for (const auto& field : plan.extra_fields)  // validators: below
      if (field.first != "ETag" && field.first != "Last-Modified")
        extra += field.first + ": " + field.second;
    EXPECT_EQ(extra, c.extra);
    EXPECT_EQ(plan.head_only, c.head.method == "HEAD");
    // A 400 closes: what follows a bad target is no trusted next request.
    EXPECT_EQ(plan.keep_alive, c.status != 505 && c.status != 400);
    EXPECT_EQ(plan.app_directory, site_dir);
  }
}

// A file's validators, and the conditional requests they answer with 304:
// no body, the file's length, the same validators; the filter leaves a 304.
TEST(PlanResponse, AnswersUnchangedFilesWith304) {
  serve_testing::ScratchDir top;
  serve_testing::WriteFile(top.path() + "/page.html", "<p>page</p>");
  const StaticSite site({{"/", top.path()}});
  const ResponsePlan plain = PlanResponse(site, Head("GET", "/page.html"));
  std::string tag, modified;
  for (const auto& field : plain.extra_fields) {
    if (field.first == "ETag") tag = field.second;
    if (field.first == "Last-Modified") modified = field.second;
  }
  ASSERT_EQ(tag.substr(0, 3), "W/\"");
  std::time_t when = 0;
  ASSERT_TRUE(ParseHttpDate(modified, &when)) << modified;
  const std::string later = HttpDate(when + 1), earlier = HttpDate(when - 1);
  struct Case {
    std::vector<std::string> if_none_match;
    std::string if_modified_since;
    unsigned status;
  } cases[] = {
      {{}, "", 200},
      {{tag}, "", 304},
      {{tag.substr(2)}, "", 304},  // weak comparison
      {{"\"other\", " + tag}, "", 304},
      {{"*"}, "", 304},
      {{"\"other\""}, "", 200},
      {{"\"other\""}, later, 200},  // If-None-Match decides alone
      {{}, modified, 304},
      {{}, later, 304},
      {{}, earlier, 200},
      {{}, "yesterday", 200},
  };
  for (const Case& c : cases) {
    RequestHead head = Head("GET", "/page.html");
    head.if_none_match = c.if_none_match;
    head.if_modified_since = c.if_modified_since;
    const ResponsePlan plan = PlanResponse(site, head);
    SCOPED_TRACE(testing::PrintToString(c.if_none_match) + " " +
                 c.if_modified_since);
    EXPECT_EQ(plan.status, c.status);
    EXPECT_EQ(plan.head_only, c.status == 304);
    EXPECT_EQ(plan.file.valid(), c.status == 200);
    EXPECT_EQ(plan.body_size, 11u);
    EXPECT_EQ(plan.extra_fields, plain.extra_fields);
    // A 304 frames no body: no Content-Length, nor Content-Type.
    std::string fields;
    for (const auto& field : ResponseFields(plan, 11, false, 0))
      fields += field.first + ";";
    EXPECT_EQ(fields, c.status == 304
                          ? "Server;Date;Last-Modified;ETag;"
                          : "Server;Date;Content-Type;Content-Length;"
                            "Last-Modified;ETag;");
  }
}

TEST(EntityTag, IsWeakHexOfInodeSizeAndTime) {
  Lookup file;
  EXPECT_EQ(EntityTag(file), "W/\"0-0-0\"");
  file.inode = 0x1a2b, file.size = 16384, file.modified_ns = 0x18f012222fe0528e;
  EXPECT_EQ(EntityTag(file), "W/\"1a2b-4000-18f012222fe0528e\"");
  file.inode = ~ino_t{0}, file.size = ~std::uint64_t{0}, file.modified_ns = -1;
  EXPECT_EQ(EntityTag(file),
            "W/\"ffffffffffffffff-ffffffffffffffff-ffffffffffffffff\"");
}

TEST(ParseHttpDate, ReadsOnlyThePreferredForm) {
  struct Case {
    const char* text;
    bool ok;
    std::time_t when;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
      {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
      {"Sunday, 06-Nov-94 08:49:37 GMT", false, 0},
      {"Sun Nov  6 08:49:37 1994", false, 0},
      {"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", false, 0},
      {"Sun, 06 Nov 1994 25:49:37 GMT", false, 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT ", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    std::time_t when = -1;
    EXPECT_EQ(ParseHttpDate(c.text, &when), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(when, c.when) << c.text;
    }
  }
}

TEST(ResponseFields, SaysHowTheConnectionGoesOn) {
  ResponsePlan plan = ErrorPlan(404, "/site");
  plan.keep_alive = true;
  auto connection = [&plan](unsigned version, bool closing) {
    for (const auto& field : ResponseFields(plan, version, closing, 0))
      if (field.first == "Connection") return field.second;
    return std::string();
  };
  EXPECT_EQ(connection(11, false), "");
  EXPECT_EQ(connection(10, false), "keep-alive");
  EXPECT_EQ(connection(11, true), "close");  // the server is stopping
  plan.keep_alive = false;
  EXPECT_EQ(connection(11, false), "close");
  EXPECT_EQ(ResponseFields(plan, 11, false, 784111777)[1].second,
            "Sun, 06 Nov 1994 08:49:37 GMT");
}

}  // namespace
}  // namespace tagsmith::host
