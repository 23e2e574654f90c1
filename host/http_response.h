// The bytes of a response as `tagsmith serve` generates them before the
// filter sees them, and a watch on what actually reached the client, so the
// connection is kept only when the client can tell where the response ended.
// Everything here works on caller-owned strings; nothing touches a socket.
#ifndef TAGSMITH_HOST_HTTP_RESPONSE_H_
#define TAGSMITH_HOST_HTTP_RESPONSE_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tagsmith::host {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// "OK", "Not Found", ...; "Unknown" for a status not in the table.
const char* ReasonPhrase(unsigned status);

// "HTTP/1.1 404 Not Found\r\n", each field as "Name: value\r\n", then the
// blank line. REQUIRES: no CR, LF or NUL in any name or value.
std::string SerializeHead(unsigned status, const HeaderFields& fields);

// An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT" for 784111777.
std::string HttpDate(std::time_t when);

// The request log's time, ISO 8601 in UTC to the millisecond:
// "1994-11-06T08:49:37.250Z".
std::string LogTime(std::chrono::system_clock::time_point when);

// Follows the bytes sent to the client for one response: finds the end of
// its header block, reads its one Content-Length, counts the body bytes.
class SentFraming {
 public:
  // `head_request`: the response answers HEAD, so no body may follow.
  explicit SentFraming(bool head_request) : head_request_(head_request) {}

  void Observe(std::string_view bytes);

  // True when what went out is one whole response with exactly one valid
  // Content-Length and exactly that many body bytes (none for HEAD): the
  // next response on the connection then starts where the client expects.
  bool Complete() const;

  std::uint64_t bytes_sent() const { return bytes_sent_; }

 private:
  void ReadHead();

  bool head_request_;
  std::uint64_t bytes_sent_ = 0;
  std::string head_;          // the header block until its end is seen
  bool head_done_ = false;
  bool head_broken_ = false;  // too long, or its length unusable
  std::uint64_t content_length_ = 0;
  std::uint64_t body_bytes_ = 0;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_HTTP_RESPONSE_H_
