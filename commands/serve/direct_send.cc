// See direct_send.h.
#include "commands/serve/direct_send.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace tagsmith::host {

namespace {

// The most pieces one send gathers; more take another send.
constexpr std::size_t kMostPieces = 16;
// The most bytes one sendfile call is asked for (the kernel's own limit is
// a little under 2 GiB).
constexpr std::uint64_t kMostPerCall = std::uint64_t{1} << 30;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// One gathered send of the pieces' bytes from `skip` on, held back for
// more (MSG_MORE) while the file or pieces it could not gather follow.
ssize_t SendPieces(int socket, const std::vector<std::string_view>& pieces,
                   std::size_t skip, bool file_follows) {
  iovec vectors[kMostPieces];
  std::size_t count = 0, i = 0;
  for (; i < pieces.size() && count < kMostPieces; ++i) {
    std::string_view piece = pieces[i];
    if (skip >= piece.size()) {
      skip -= piece.size();
      continue;
    }
    piece.remove_prefix(skip);
    skip = 0;
    vectors[count].iov_base = const_cast<char*>(piece.data());
    vectors[count].iov_len = piece.size();
    ++count;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  const bool more = file_follows || i < pieces.size();
  return sendmsg(socket, &message,
                 MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
}

}  // namespace

DirectStep SendDirect(int socket, const std::vector<std::string_view>& pieces,
                      std::size_t* pieces_sent, FileRun* run) {
  std::size_t total = 0;
  for (std::string_view piece : pieces) total += piece.size();
  while (*pieces_sent < total) {
    const ssize_t n = SendPieces(socket, pieces, *pieces_sent, run->left > 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WouldBlock(errno) ? DirectStep::kWait : DirectStep::kLost;
    *pieces_sent += static_cast<std::size_t>(n);
  }
  while (run->left > 0) {
    off_t offset = static_cast<off_t>(run->offset);
    const ssize_t n =
        sendfile(socket, run->file, &offset,
                 static_cast<std::size_t>(std::min(run->left, kMostPerCall)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (WouldBlock(errno)) return DirectStep::kWait;
      // A socket that failed loses the client; a file that cannot be read
      // cuts the body short.
      return errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN
                 ? DirectStep::kLost
                 : DirectStep::kShort;
    }
    if (n == 0) return DirectStep::kShort;  // the file has shrunk
    run->offset += static_cast<std::uint64_t>(n);
    run->left -= static_cast<std::uint64_t>(n);
  }
  return DirectStep::kDone;
}

}  // namespace tagsmith::host
