// Between nginx's header table (r->headers_out) and the HTTP/1.1 head the
// filter reads and writes. Strings made here for nginx come from the
// request's pool; the head text is the caller's.
#ifndef TAGSMITH_NGINX_RESPONSE_HEAD_H_
#define TAGSMITH_NGINX_RESPONSE_HEAD_H_

#include <string>

#include "host/response_bridge.h"
#include "nginx/ngx_headers.h"

namespace tagsmith::nginx_host {

// The head the wire would carry for `r` (status line, Content-Type,
// Content-Length, Last-Modified and every header of the table; the server
// and date lines that nginx adds last are left out). False when a header
// cannot be written as HTTP/1.1 (a CR, LF or NUL in it): the response is
// then not hosted.
bool BuildHead(ngx_http_request_t* r, std::string* head);

// Makes r->headers_out say what `head` says: its status, Content-Type and
// Content-Length, headers it dropped removed, headers it added pushed. The
// headers it kept stay nginx's own entries. False when memory was refused.
bool ApplyHead(ngx_http_request_t* r, const tagsmith::host::ParsedHead& head);

// Pushes a header "name: value" (texts copied into the pool); null when
// memory was refused.
ngx_table_elt_t* PushHeader(ngx_http_request_t* r, const std::string& name,
                            const std::string& value);

}  // namespace tagsmith::nginx_host

#endif  // TAGSMITH_NGINX_RESPONSE_HEAD_H_
