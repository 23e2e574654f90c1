// Answering GetServerVariable; see server_variable.h.
#include "host/server_variable.h"

#include <cassert>
#include <cstring>
#include <limits>

#include "host/platform.h"

namespace tagsmith::host {

BOOL AnswerServerVariable(const char* value, std::size_t length, LPVOID buffer,
                          LPDWORD size) {
  assert(size);
  if (length >= std::numeric_limits<DWORD>::max()) {
    platform::SetCallbackError(platform::CallbackError::kNoData);
    return FALSE;
  }
  const DWORD needed = static_cast<DWORD>(length + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    platform::SetCallbackError(platform::CallbackError::kInsufficientBuffer);
    return FALSE;
  }
  std::memcpy(buffer, value, length);
  static_cast<char*>(buffer)[length] = '\0';
  *size = needed;
  return TRUE;
}

}  // namespace tagsmith::host
