// How a server answers the filter's GetServerVariable for a variable it
// knows: the value and its NUL into the caller's buffer, or, when the
// buffer is missing or too small, FALSE with the size it would need, as the
// platform does. The caller owns the buffer; the value is only read.
#ifndef TAGSMITH_HOST_SERVER_VARIABLE_H_
#define TAGSMITH_HOST_SERVER_VARIABLE_H_

#include <cstddef>

#include "isapi/isapi.h"

namespace tagsmith::host {

// The name of the one variable the filter reads.
inline constexpr char kAppPhysicalPath[] = "APPL_PHYSICAL_PATH";

// REQUIRES: size is not null; value holds `length` bytes.
// Copies the value with a terminating NUL into `buffer` when *size allows
// (TRUE), else leaves the buffer alone (FALSE). Either way *size becomes
// the bytes the value takes with its NUL. A value too long to count in 32
// bits is answered as no data.
BOOL AnswerServerVariable(const char* value, std::size_t length, LPVOID buffer,
                          LPDWORD size);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_SERVER_VARIABLE_H_
