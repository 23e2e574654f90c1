// The server's own response bytes, and the watch that decides whether a
// connection may be kept after what the filter let out.
#include "host/http_response.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/http_date.h"
#include "host/sent_framing.h"

namespace tagsmith::host {
namespace {

TEST(SerializeHead, WritesStatusLineFieldsAndBlankLine) {
  EXPECT_EQ(SerializeHead(404, {{"Content-Type", "text/plain"},
                                {"Content-Length", "14"}}),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n"
            "Content-Length: 14\r\n\r\n");
  EXPECT_EQ(SerializeHead(200, {}), "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(SerializeHead(431, {}),
            "HTTP/1.1 431 Request Header Fields Too Large\r\n\r\n");
  EXPECT_EQ(SerializeHead(299, {}), "HTTP/1.1 299 Unknown\r\n\r\n");
}

TEST(HttpDate, FormatsUtcDates) {
  struct Case {
    long long when;
    const char* text;
  } cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {951868799, "Tue, 29 Feb 2000 23:59:59 GMT"},
      {1700000000, "Tue, 14 Nov 2023 22:13:20 GMT"},
      {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
      {253402300800, "Sat, 01 Jan 10000 00:00:00 GMT"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HttpDate(static_cast<std::time_t>(c.when)), c.text) << c.when;
}

TEST(LogTime, FormatsIso8601UtcToTheMillisecond) {
  using std::chrono::milliseconds;
  struct Case {
    long long millis;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {784111777250, "1994-11-06T08:49:37.250Z"},
      {951868799999, "2000-02-29T23:59:59.999Z"},
      {1700000000001, "2023-11-14T22:13:20.001Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(
        LogTime(std::chrono::system_clock::time_point(milliseconds(c.millis))),
        c.text)
        << c.millis;
}

TEST(SentFraming, KeepsTheConnectionOnlyForAWholeResponse) {
  const std::string head5 = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  const std::string chunked =
      "HTTP/1.1 200 OK\r\ntransfer-encoding:  Chunked\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> sends;
    bool head_request;
    bool complete;
  } cases[] = {
      {"whole, one send", {head5 + "hello"}, false, true},
      {"whole, seams everywhere",
       {"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 5\r", "\n\r", "\nhe", "",
        "llo"},
       false,
       true},
      {"whole, one send, the head past its first kilobyte",
       {"HTTP/1.1 200 OK\r\nX: " + std::string(2000, 'x') + "\r\n" +
        head5.substr(17) + "hello"},
       false,
       true},
      {"body short", {head5 + "hell"}, false, false},
      {"body long", {head5 + "hello!"}, false, false},
      {"no header end",
       {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"},
       false,
       false},
      {"nothing sent", {}, false, false},
      {"no length", {"HTTP/1.1 200 OK\r\nX: y\r\n\r\nhello"}, false, false},
      {"two lengths",
       {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n"
        "hello"},
       false,
       false},
      {"length not a number",
       {"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello"},
       false,
       false},
      {"length empty",
       {"HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n"},
       false,
       false},
      {"name in any case, value padded",
       {"HTTP/1.1 200 OK\r\ncontent-LENGTH:  5 \r\n\r\nhello"},
       false,
       true},
      {"a look-alike is not the length",
       {"HTTP/1.1 200 OK\r\nX-Content-Length: 9\r\nContent-Length: 0\r\n\r\n"},
       false,
       true},
      {"HEAD: headers only", {head5}, true, true},
      {"HEAD: a body follows", {head5 + "hello"}, true, false},
      {"zero length",
       {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
       false,
       true},
      // Chunked bodies: the end is where the framing says.
      {"chunked, whole", {chunked + "5\r\nhello\r\n0\r\n\r\n"}, false, true},
      {"chunked, seams everywhere",
       {chunked + "5", "\r", "\nhel", "lo\r", "\n0\r\n", "\r", "\n"},
       false,
       true},
      {"chunked, extensions, trailers, upper-case digits, leading zeros",
       {chunked + "00A;x=\"y\"\r\n0123456789\r\n0;end\r\nX-T: 1\r\n\r\n"},
       false,
       true},
      {"chunked, empty body", {chunked + "0\r\n\r\n"}, false, true},
      {"chunked, no last chunk", {chunked + "5\r\nhello\r\n"}, false, false},
      {"chunked, no blank line after the last chunk",
       {chunked + "5\r\nhello\r\n0\r\n"},
       false,
       false},
      {"chunked, bytes after the end",
       {chunked + "5\r\nhello\r\n0\r\n\r\nX"},
       false,
       false},
      {"chunked, short data",
       {chunked + "6\r\nhello\r\n0\r\n\r\n"},
       false,
       false},
      {"chunked, bare LF", {chunked + "5\nhello\r\n0\r\n\r\n"}, false, false},
      {"chunked, no digits", {chunked + ";x\r\n0\r\n\r\n"}, false, false},
      {"chunked, 16 digits",
       {chunked + "0000000000000005\r\nhello\r\n0\r\n\r\n"},
       false,
       false},
      {"chunked and a length",
       {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: "
        "chunked\r\n\r\n0\r\n\r\n"},
       false,
       false},
      {"another transfer coding",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
        "0\r\n\r\n"},
       false,
       false},
      {"HEAD, chunked: headers only", {chunked}, true, true},
  };
  for (const Case& c : cases) {
    SentFraming framing(c.head_request);
    std::uint64_t total = 0;
    for (const std::string& send : c.sends) {
      framing.Observe(send);
      total += send.size();
    }
    EXPECT_EQ(framing.Complete(), c.complete) << c.name;
    EXPECT_EQ(framing.bytes_sent(), total) << c.name;
  }
}

TEST(SentFraming, AHugeHeaderBlockIsNotOurs) {
  SentFraming framing(false);
  framing.Observe("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX: ");
  framing.Observe(std::string(70 * 1024, 'a'));
  framing.Observe("\r\n\r\n");
  EXPECT_FALSE(framing.Complete());
}

TEST(SentFraming, ALargeBodyInOneSendIsCounted) {
  const std::string body(3 * 1024 * 1024, 'b');
  SentFraming framing(false);
  framing.Observe("HTTP/1.1 200 OK\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_TRUE(framing.Complete());
  framing.Observe("x");
  EXPECT_FALSE(framing.Complete());
}

}  // namespace
}  // namespace tagsmith::host
