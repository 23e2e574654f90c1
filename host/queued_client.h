// What the filter sends to a client of `tagsmith serve`, queued for the
// session's next write. Bytes in the request's own memory (SendKept) are
// queued as views of that memory, which the request keeps until it is
// destroyed; other bytes are copied into the queue, which owns the copies.
// A WriteBatch owns the copies of one write in flight.
#ifndef TAGSMITH_HOST_QUEUED_CLIENT_H_
#define TAGSMITH_HOST_QUEUED_CLIENT_H_

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

// Once the connection is lost, sends fail, which the stand-in server
// records as the client's error.
class QueuedClient : public ClientSink {
 public:
  void Send(std::string_view bytes) override;
  void SendKept(std::string_view bytes) override;

  bool empty() const { return pieces_.empty(); }
  // Moves everything queued into `batch` (whose earlier contents go, their
  // storage reused) and starts an empty queue.
  void Take(WriteBatch* batch);
  void MarkLost();
  bool lost() const { return lost_; }

 private:
  // A run of kept bytes (`kept` set) or of `copies_` from `offset`.
  struct Piece {
    const char* kept;
    std::size_t offset;
    std::size_t size;
  };

  std::string copies_;
  std::vector<Piece> pieces_;
  bool lost_ = false;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_QUEUED_CLIENT_H_
