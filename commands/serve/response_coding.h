// What `tagsmith serve` does to a response's body before the filter sees it,
// when told to: gzip-compresses HTML pages for clients that accept gzip (as
// the Windows web server's static compression sends its cached copies), and
// frames bodies in chunks (as that server sends a dynamic page flushed before
// it is complete). A ResponseCoder decides once per response and then turns
// the head's fields and each piece of the body into the bytes the filter is
// fed. It works on caller-owned strings and touches no socket or file.
#ifndef TAGSMITH_COMMANDS_SERVE_RESPONSE_CODING_H_
#define TAGSMITH_COMMANDS_SERVE_RESPONSE_CODING_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "host/http_response.h"

namespace tagsmith::host {

// `tagsmith serve --gzip` and `--chunked`.
struct CodingOptions {
  bool gzip = false;
  bool chunked = false;
};

// What the coder needs to know of one response and the request it answers.
struct CodingRequest {
  unsigned status = 0;
  std::string_view content_type;     // the response's, without parameters
  std::uint64_t body_size = 0;       // the body before any coding
  std::string_view accept_encoding;  // the request's, "" when absent
  bool http11 = false;  // the request was read whole and is HTTP/1.1
};

// A larger page is sent as it is: compressing it would hold it whole.
constexpr std::uint64_t kMaxCompressedPage = 64 * 1024 * 1024;

// The most bytes ResponseCoder::Compress makes of a body of `size` bytes.
std::uint64_t CompressedBound(std::uint64_t size);

// True when an Accept-Encoding value takes gzip: "gzip", "x-gzip" or "*"
// with a weight above zero ("q=0" refuses; names in any case), where a
// coding named outright wins over "*".
bool AcceptsGzip(std::string_view accept_encoding);

class ResponseCoder {
 public:
  // Codes nothing.
  ResponseCoder() = default;
  // Compresses only a 200 "text/html" page of at most kMaxCompressedPage
  // bytes for a client that accepts gzip; chunks any response but a 304 of an
  // HTTP/1.1 request (an HTTP/1.0 client cannot read chunks). A 304 of such
  // a page gets the Vary its 200 would get, and no framing field.
  ResponseCoder(const CodingOptions& options, const CodingRequest& request);

  // The whole body must pass through Compress before the head is made.
  bool compresses() const { return gzip_; }
  bool chunked() const { return chunked_; }

  // REQUIRES: compresses(). Replaces *body by one gzip member of it. When
  // zlib fails (no memory), *body stays as it was and the response goes
  // out uncompressed: compresses() is false from then on.
  void Compress(std::string* body);
  // The page goes out uncompressed after all (the server has no memory to
  // compress it): compresses() is false from then on; Vary stays.
  void Decline() { gzip_ = false; }

  // Sets the fields for a coded body of `length` bytes: the Content-Length
  // set to that length, or replaced by Transfer-Encoding: chunked (for a
  // 304, removed); then
  // Content-Encoding: gzip when compressed, and Vary: Accept-Encoding for
  // every page that could be compressed, since its body depends on the
  // request. Fields of a response left uncoded stay as they were.
  void SetFields(std::uint64_t length, HeaderFields* fields) const;

  // The bytes the filter is fed for one piece of the body: the piece itself,
  // or one chunk holding it ("1a\r\n" data "\r\n"; nothing for an empty
  // piece, since a chunk of size 0 ends the body).
  std::string Piece(std::string_view data) const;

  // What follows the last piece: the last chunk and the end of an empty
  // trailer when chunked, else nothing.
  std::string_view End() const;

 private:
  bool gzip_ = false;
  bool vary_ = false;
  bool chunked_ = false;
  bool bodiless_ = false;  // a 304: no framing field at all
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_RESPONSE_CODING_H_
