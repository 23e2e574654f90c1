// What the filter sends to a client of `tagsmith serve`, queued for the
// session's next write. Bytes in the request's own memory (SendKept) are
// queued as views of that memory, which the request keeps until it is
// destroyed; other bytes are copied into the queue, which owns the copies.
// A WriteBatch owns the copies of one write in flight.
#ifndef TAGSMITH_COMMANDS_SERVE_QUEUED_CLIENT_H_
#define TAGSMITH_COMMANDS_SERVE_QUEUED_CLIENT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host/stand_in_server.h"

namespace tagsmith::host {

// The bytes of one write, in order: views of kept memory and of `copies`.
struct WriteBatch {
  std::string copies;
  std::vector<std::string_view> pieces;
};

// Once the connection is lost, or a send could not be queued for want of
// memory, sends fail, which the stand-in server records as the client's
// error.
class QueuedClient : public ClientSink {
 public:
  void Send(std::string_view bytes) override;
  void SendKept(std::string_view bytes) override;

  // The answer to HEAD: bytes after the blank line that ends the header
  // block are dropped, so the client gets the head GET would get.
  void DropBody() { drop_body_ = true; }

  // Takes the room a response let through piece by piece needs, so that
  // no later send of it needs more. Throws std::bad_alloc.
  void Reserve() { pieces_.reserve(kReservedPieces); }

  bool empty() const { return pieces_.empty(); }
  // Moves everything queued into `batch` (whose earlier contents go, their
  // storage reused) and starts an empty queue.
  void Take(WriteBatch* batch);
  void MarkLost();
  bool lost() const { return lost_; }
  // A send found no memory to queue its bytes: the queue lost them, so what
  // it holds is no longer the response.
  bool failed() const { return failed_; }

 private:
  // A run of kept bytes (`kept` set) or of `copies_` from `offset`.
  struct Piece {
    const char* kept;
    std::size_t offset;
    std::size_t size;
  };

  // The part of `bytes` the client is to get: all of them, or with
  // DropBody, those up to the end of the header block.
  std::string_view Admit(std::string_view bytes);
  void Refuse() const;   // throws when the queue takes no more
  void Fail() noexcept;  // no memory: what is queued goes

  static constexpr std::size_t kReservedPieces = 16;

  std::string copies_;
  std::vector<Piece> pieces_;
  bool lost_ = false;
  bool failed_ = false;
  bool drop_body_ = false;
  int head_end_seen_ = 0;  // bytes of "\r\n\r\n" seen in a row; 4: ended
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_QUEUED_CLIENT_H_
