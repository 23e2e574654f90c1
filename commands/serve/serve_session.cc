// See serve_session.h.
#include "commands/serve/serve_session.h"

#include <vector>

namespace tagsmith::host {

namespace http = serve_io::http;

RequestHead HeadOf(const http::request_parser<http::string_body>& parser,
                   std::size_t header_bytes) {
  const http::request_header<>& request = parser.get();
  RequestHead head;
  head.method = std::string(request.method_string());
  head.target = std::string(request.target());
  head.version = request.version();
  head.keep_alive = parser.keep_alive();
  head.header_bytes = header_bytes;
  auto values = [&request](http::field name) {
    std::vector<std::string> found;
    for (auto range = request.equal_range(name); range.first != range.second;
         ++range.first)
      found.emplace_back(range.first->value());
    return found;
  };
  head.hosts = values(http::field::host);
  head.transfer_encodings = values(http::field::transfer_encoding);
  head.expectations = values(http::field::expect);
  head.if_none_match = values(http::field::if_none_match);
  for (const std::string& value : values(http::field::accept_encoding))
    head.accept_encoding.append(head.accept_encoding.empty() ? "" : ",")
        .append(value);
  const std::vector<std::string> since = values(http::field::if_modified_since);
  if (!since.empty()) head.if_modified_since = since.front();
  head.has_body = parser.chunked() || parser.content_length().value_or(0) > 0;
  return head;
}

}  // namespace tagsmith::host
