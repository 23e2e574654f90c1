// The buffers of a hosted response: raising a server buffer to the filter,
// cutting a held page to the range a request asks for, and handing what
// the filter let out to the next body filter. The buffers handed on are
// the request pool's, or the server's own passed as they came.
#ifndef TAGSMITH_NGINX_HELD_BODY_H_
#define TAGSMITH_NGINX_HELD_BODY_H_

#include "nginx/ngx_headers.h"
#include "nginx/request_host.h"

namespace tagsmith::nginx_host {

// Marks a server buffer as wholly sent, so that its owner may reuse it.
void MarkSent(ngx_buf_t* buf);

// Raises the bytes of a server buffer (read from its file when they are not
// in memory) and marks it sent; its flush goes on when the head has gone.
// False when memory or the file read failed.
bool RaiseBuffer(RequestHost* host, ngx_buf_t* buf);

// For a page held whole: offers ranges (Accept-Ranges) when the handler
// did, and answers a Range request it can with a 206 cut from `out`. False
// when memory was refused.
bool OfferRanges(RequestHost* host);

// Makes the last buffer of `out` the response's last (adding an empty one
// when there is none). False when memory was refused.
bool EndOut(RequestHost* host);

// Passes `out` (empty too) to `next` and empties it; answers what `next`
// answered.
ngx_int_t PassOut(RequestHost* host, ngx_http_output_body_filter_pt next);

}  // namespace tagsmith::nginx_host

#endif  // TAGSMITH_NGINX_HELD_BODY_H_
