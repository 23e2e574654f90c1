// The head of a response as `tagsmith serve` generates it before the filter
// sees it: field names compared and values trimmed as HTTP has them, the
// reason phrases, and the head's bytes. Everything here works on
// caller-owned strings; nothing touches a socket.
#ifndef TAGSMITH_HOST_HTTP_RESPONSE_H_
#define TAGSMITH_HOST_HTTP_RESPONSE_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tagsmith::host {

// Header names and tokens compare in ASCII case only.
bool EqualNoCase(std::string_view a, std::string_view b);
// A field value without the spaces and tabs around it.
std::string_view Trim(std::string_view text);

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// "OK", "Not Found", ...; "Unknown" for a status not in the table.
const char* ReasonPhrase(unsigned status);

// "HTTP/1.1 404 Not Found\r\n", each field as "Name: value\r\n", then the
// blank line. REQUIRES: no CR, LF or NUL in any name or value.
std::string SerializeHead(unsigned status, const HeaderFields& fields);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_HTTP_RESPONSE_H_
