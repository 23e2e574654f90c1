// The dates `tagsmith serve` writes: the Date and Last-Modified fields'
// HTTP dates and the request log's time, without the C library's
// non-reentrant time functions. The strings returned are the caller's.
#ifndef TAGSMITH_HOST_HTTP_DATE_H_
#define TAGSMITH_HOST_HTTP_DATE_H_

#include <chrono>
#include <ctime>
#include <string>

namespace tagsmith::host {

// An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT" for 784111777.
std::string HttpDate(std::time_t when);

// The request log's time, ISO 8601 in UTC to the millisecond:
// "1994-11-06T08:49:37.250Z".
std::string LogTime(std::chrono::system_clock::time_point when);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_HTTP_DATE_H_
