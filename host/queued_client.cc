// The queue of a serve session's client; see queued_client.h.
#include "host/queued_client.h"

#include <stdexcept>

namespace tagsmith::host {

void QueuedClient::Send(std::string_view bytes) {
  if (lost_) throw std::runtime_error("the client connection is lost");
  if (bytes.empty()) return;
  // Copies that follow copies are one piece.
  if (!pieces_.empty() && !pieces_.back().kept) {
    pieces_.back().size += bytes.size();
  } else {
    pieces_.push_back(Piece{nullptr, copies_.size(), bytes.size()});
  }
  copies_.append(bytes);
}

void QueuedClient::SendKept(std::string_view bytes) {
  if (lost_) throw std::runtime_error("the client connection is lost");
  if (bytes.empty()) return;
  // Records that lie end to end in memory (an arena's) are one piece.
  if (!pieces_.empty() && pieces_.back().kept &&
      pieces_.back().kept + pieces_.back().size == bytes.data()) {
    pieces_.back().size += bytes.size();
  } else {
    pieces_.push_back(Piece{bytes.data(), 0, bytes.size()});
  }
}

void QueuedClient::Take(WriteBatch* batch) {
  batch->copies.swap(copies_);
  copies_.clear();
  batch->pieces.clear();
  for (const Piece& piece : pieces_)
    batch->pieces.emplace_back(
        piece.kept ? piece.kept : batch->copies.data() + piece.offset,
        piece.size);
  pieces_.clear();
}

void QueuedClient::MarkLost() {
  lost_ = true;
  copies_.clear();
  pieces_.clear();
}

}  // namespace tagsmith::host
