// Watches a response's bytes as they arrive, in order, for the end of its
// header block as the header scan walks it: the first line up to its first
// CR while no "200" followed by white space is found there; otherwise the
// status line and then each header line up to its LF, until a line that
// begins with CR. Once the watch says the block is complete, the scan's
// verdict on the bytes seen so far is the verdict on the whole response,
// since the scan reads no byte after that CR.
//
// The watch owns nothing and points at nothing: its state is one small word
// that the caller keeps between chunks. Bytes 0x80-0xFF are never white
// space, as for the cursor.
#ifndef TAGSMITH_TAGGING_HEADER_BLOCK_H_
#define TAGSMITH_TAGGING_HEADER_BLOCK_H_

#include <cstdint>

enum class HeaderBlockWatch : std::uint32_t {
  kFirstByte = 0,  // nothing seen yet
  kStatus,         // looking for "200" on the first line
  kStatus2,        // ... its "2" seen
  kStatus20,       // ... its "20" seen
  kAfter200,       // the byte after "200" decides
  kInLine,         // inside a line, which its LF ends
  kLineStart,      // the next byte begins a line; a CR there ends the block
  kComplete,       // the scan's verdict can no longer change
};

// Feeds the next `count` bytes of the response. True once the block is
// complete; bytes after that are not looked at.
bool WatchHeaderBlock(HeaderBlockWatch* watch, const char* bytes,
                      std::uint32_t count);

#endif  // TAGSMITH_TAGGING_HEADER_BLOCK_H_
