// A request's response head as the filter reads it, and the filter's head
// taken back into the request: the HTTP/1.1 bytes are built from
// r->status, r->content_type, r->content_encoding and the two header
// tables (host/response_bridge.h); a head the filter changed replaces
// them. Everything made here lives in the request's pool.
#ifndef TAGSMITH_APACHE_RESPONSE_HEAD_H_
#define TAGSMITH_APACHE_RESPONSE_HEAD_H_

#include <string>

#include "httpd.h"

namespace tagsmith::host {
struct ParsedHead;
}

namespace tagsmith::apache {

// The head the wire would carry for `request` in HTTP/1.1, less what the
// protocol adds later (Date, Server, framing): the status line, the
// content type as Apache will send it, the content coding, then
// headers_out and err_headers_out in order, and the blank line. A field
// whose value holds a CR or LF is left out.
std::string BuildHead(request_rec* request);

// Takes the filter's head into `request`: its status, content type,
// content coding and Content-Length, and every other field into
// headers_out (err_headers_out is emptied: its fields were in the head).
// A changed response's ETag is marked weak, so that no client joins its
// bytes with those of another version. False, with `request` unchanged,
// when a Content-Length is not a number.
bool ApplyHead(request_rec* request, const host::ParsedHead& head);

// Marks the response's strong ETag weak (W/"..."); a weak one or none is
// left as it is.
void WeakenEtag(request_rec* request);

}  // namespace tagsmith::apache

#endif  // TAGSMITH_APACHE_RESPONSE_HEAD_H_
