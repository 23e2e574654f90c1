// The queue of a serve session's client; see queued_client.h.
#include "commands/serve/queued_client.h"

#include <new>
#include <stdexcept>

namespace tagsmith::host {

void QueuedClient::Refuse() const {
  if (lost_) throw std::runtime_error("the client connection is lost");
  if (failed_) throw std::runtime_error("no memory to queue the response");
}

std::string_view QueuedClient::Admit(std::string_view bytes) {
  if (!drop_body_) return bytes;
  static constexpr char kEnd[] = "\r\n\r\n";
  std::size_t taken = 0;
  while (taken < bytes.size() && head_end_seen_ < 4) {
    const char c = bytes[taken++];
    head_end_seen_ = c == kEnd[head_end_seen_] ? head_end_seen_ + 1
                     : c == '\r'               ? 1
                                               : 0;
  }
  return bytes.substr(0, taken);
}

void QueuedClient::Send(std::string_view bytes) {
  Refuse();
  bytes = Admit(bytes);
  if (bytes.empty()) return;
  try {
    // Copies that follow copies are one piece.
    if (!pieces_.empty() && !pieces_.back().kept) {
      copies_.append(bytes);
      pieces_.back().size += bytes.size();
    } else {
      pieces_.push_back(Piece{nullptr, copies_.size(), bytes.size()});
      copies_.append(bytes);
    }
  } catch (const std::bad_alloc&) {
    Fail();
    throw;
  }
}

void QueuedClient::SendKept(std::string_view bytes) {
  Refuse();
  bytes = Admit(bytes);
  if (bytes.empty()) return;
  // Records that lie end to end in memory (an arena's) are one piece.
  if (!pieces_.empty() && pieces_.back().kept &&
      pieces_.back().kept + pieces_.back().size == bytes.data()) {
    pieces_.back().size += bytes.size();
    return;
  }
  try {
    pieces_.push_back(Piece{bytes.data(), 0, bytes.size()});
  } catch (const std::bad_alloc&) {
    Fail();
    throw;
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

void QueuedClient::Fail() noexcept {
  failed_ = true;
  copies_.clear();
  pieces_.clear();
}

void QueuedClient::MarkLost() {
  lost_ = true;
  copies_.clear();
  pieces_.clear();
}

}  // namespace tagsmith::host
