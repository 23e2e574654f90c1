// What `tagsmith serve` answers a request with, decided without a socket:
// the request's head as the session read it goes in, a plan of the response
// (status, headers, the open file or the server's own text) comes out. The
// plan owns the file's descriptor; the session reads the body from it and
// hosts the filter for the response.
#ifndef TAGSMITH_COMMANDS_SERVE_RESPONSE_PLAN_H_
#define TAGSMITH_COMMANDS_SERVE_RESPONSE_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "commands/serve/file_handle.h"
#include "commands/serve/static_site.h"
#include "host/http_response.h"

namespace tagsmith::host {

// The request line and header fields, through the blank line that ends them.
constexpr std::size_t kHeaderLimit = 8 * 1024;

// A request as far as its header, in the session's words.
struct RequestHead {
  std::string method;  // as sent
  std::string target;
  unsigned version = 11;           // 10 for HTTP/1.0, 11 for HTTP/1.1, ...
  bool keep_alive = true;          // what the version and Connection allow
  std::size_t header_bytes = 0;    // through the blank line
  std::vector<std::string> hosts;  // each Host field's value
  std::vector<std::string> transfer_encodings;  // each such field's value
  std::vector<std::string> expectations;        // each Expect field's value
  std::vector<std::string> if_none_match;       // each such field's value
  std::string if_modified_since;                // the first one, or ""
  std::string accept_encoding;  // every Accept-Encoding field, as one list
  bool has_body = false;        // a Content-Length above 0, or chunked
};

// What the session does once it has the head.
struct HeadVerdict {
  enum class Next {
    kRead,          // read the body, if any, then plan the response
    kContinueRead,  // send "100 Continue" first: the client waits for it
    kRefuse,        // answer `status` and close
  };
  Next next = Next::kRead;
  unsigned status = 0;
};

// Refuses what must not be served or read further: a header above
// kHeaderLimit (431); a Transfer-Encoding other than one final "chunked",
// whose framing a front end could read otherwise (400); HTTP/1.1 without
// exactly one Host (400); an expectation other than "100-continue" (417).
HeadVerdict CheckHead(const RequestHead& head);

struct ResponsePlan {
  unsigned status = 500;
  HeaderFields extra_fields;                // Location, Allow
  std::string content_type = "text/plain";  // a 304's: that of its 200
  FileHandle file;   // open: the body is its first `body_size` bytes
  std::string text;  // the body when no file is open
  std::uint64_t body_size = 0;
  bool head_only = false;  // HEAD or 304: headers only
  bool keep_alive = false;
  std::string app_directory;
  std::string method = "-";
  std::string target = "-";
};

// The server's own answer: "404 Not Found\n" and the like, as text/plain.
ResponsePlan ErrorPlan(unsigned status, const std::string& app_directory);

// The response to a request that passed CheckHead: the file the target
// names, opened, or the server's own answer (301, 400, 403, 404, 405, 503,
// 505). A file carries Last-Modified and a weak ETag (the filter may change
// the bytes, never what they mean); a GET or HEAD whose If-None-Match
// matches it, or, without one, whose If-Modified-Since is not older than
// it, gets 304 with the same validators but no body (`body_size` stays the
// file's length). A 400 closes the connection: what follows a target that
// names no file is not trusted to be a next request.
ResponsePlan PlanResponse(const StaticSite& site, const RequestHead& head);

// The header fields of a planned response, in order: Server, Date,
// Content-Type and Content-Length (neither for 304), the plan's own, and
// Connection: close when the connection ends after it (`closing`, or the
// plan keeps none), keep-alive for an HTTP/1.0 client that keeps it.
HeaderFields ResponseFields(const ResponsePlan& plan, unsigned version,
                            bool closing, std::time_t now);

// The validator of a file's present content: W/"inode-size-mtime", in hex.
std::string EntityTag(const Lookup& file);

// Reads an HTTP date in its preferred form ("Sun, 06 Nov 1994 08:49:37
// GMT"). False for anything else.
bool ParseHttpDate(const std::string& text, std::time_t* when);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_RESPONSE_PLAN_H_
