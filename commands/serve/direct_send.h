// Sending a response's remaining bytes straight to a socket, without the
// event loop: the queued pieces (a head) with one gathered send, then a run
// of a file with sendfile, so the file's bytes never pass through this
// process. Nothing blocks: a full socket answers kWait, and the caller waits
// until it can take more and calls again. The caller owns the socket, the
// file and the pieces' bytes.
#ifndef TAGSMITH_COMMANDS_SERVE_DIRECT_SEND_H_
#define TAGSMITH_COMMANDS_SERVE_DIRECT_SEND_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tagsmith::host {

// The part of a file still to send: `left` bytes from `offset`.
struct FileRun {
  int file = -1;
  std::uint64_t offset = 0;
  std::uint64_t left = 0;
};

enum class DirectStep {
  kDone,   // the pieces and the whole run have gone
  kWait,   // the socket takes no more for now
  kShort,  // the file ended before the run did: the rest is missing
  kLost,   // the socket failed: the connection is gone
};

// Sends the pieces' bytes from the `*pieces_sent`th on (counting it up),
// then the run (moving it on), until all is sent or the socket fails or is
// full. The pieces go with MSG_MORE while file bytes follow, so that a small
// head and the file's first bytes leave together.
DirectStep SendDirect(int socket, const std::vector<std::string_view>& pieces,
                      std::size_t* pieces_sent, FileRun* run);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_DIRECT_SEND_H_
