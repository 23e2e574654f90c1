// How a response the module held whole answers a Range request: with the one
// byte range it asks for, cut from the page that is sent, or with the whole
// page. Pure text decisions on the request's Range and If-Range values and
// the response's ETag and length; the caller owns every text.
#ifndef TAGSMITH_NGINX_HELD_RANGE_H_
#define TAGSMITH_NGINX_HELD_RANGE_H_

#include <cstdint>
#include <string_view>

namespace tagsmith::nginx_host {

// Bytes first..last of a body, both included.
struct ByteSpan {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// True, with *span, when `range` asks for exactly one byte range
// ("bytes=A-B", "bytes=A-" or "bytes=-N") that a body of `length` bytes can
// satisfy, and `if_range` (empty when the request has none) allows it: only
// a strong entity tag equal byte for byte to the response's strong `etag`
// does, since a weak tag or a date cannot tell this page from another
// version of it. Otherwise false: the whole page goes, as a 200. Several
// ranges, a range past the end and anything malformed answer false too.
bool ChooseRange(std::string_view range, std::string_view if_range,
                 std::string_view etag, std::uint64_t length, ByteSpan* span);

}  // namespace tagsmith::nginx_host

#endif  // TAGSMITH_NGINX_HELD_RANGE_H_
