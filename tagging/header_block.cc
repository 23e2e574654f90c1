#include "tagging/header_block.h"

#include <cassert>
#include <cstring>

#include "buffer/chain_cursor.h"

namespace {

using Watch = HeaderBlockWatch;

// One byte of the first line before "200" is found. The scan tries "200"
// at every byte and gives up at the first CR, which then ends the block:
// nothing after it is ever read. "200" cannot overlap itself, so a failed
// partial match only restarts on a "2".
Watch StatusStep(Watch w, unsigned char c) {
  if (c == '\r') return Watch::kComplete;
  if (c == '0' && w == Watch::kStatus20) return Watch::kAfter200;
  if (c == '0' && w == Watch::kStatus2) return Watch::kStatus20;
  return c == '2' ? Watch::kStatus2 : Watch::kStatus;
}

}  // namespace

bool WatchHeaderBlock(Watch* watch, const char* bytes, std::uint32_t count) {
  assert(watch != nullptr && (bytes != nullptr || count == 0));
  Watch w = *watch;
  const char* p = bytes;
  const char* const end = bytes + count;
  while (w != Watch::kComplete && p < end) {
    const auto c = static_cast<unsigned char>(*p);
    switch (w) {
      case Watch::kFirstByte:
        // A response that begins with CR is judged on that byte alone.
        w = c == '\r' ? Watch::kComplete : StatusStep(Watch::kStatus, c);
        break;
      case Watch::kStatus:
      case Watch::kStatus2:
      case Watch::kStatus20:
        w = StatusStep(w, c);
        break;
      case Watch::kAfter200:
        // Anything but white space after "200" is a verdict. The white
        // space itself never ends the status line, even when it is an LF.
        w = IsWhiteSpace(c) ? Watch::kInLine : Watch::kComplete;
        break;
      case Watch::kInLine: {
        // Nothing inside a line matters to where the block ends.
        const void* lf =
            std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (lf == nullptr) {
          p = end;
          continue;
        }
        p = static_cast<const char*>(lf);
        w = Watch::kLineStart;
        break;
      }
      case Watch::kLineStart:
        // A bare LF is an empty line of its own; the next byte starts
        // another.
        w = c == '\r' ? Watch::kComplete
                      : (c == '\n' ? Watch::kLineStart : Watch::kInLine);
        break;
      case Watch::kComplete:
        break;
    }
    ++p;
  }
  *watch = w;
  return w == Watch::kComplete;
}
