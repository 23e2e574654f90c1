// One response of `tagsmith serve` on its way: the plan, the filter's
// request, what is queued for the client and what has gone out, and the
// steps that touch no socket (compressing the page, reading the next piece
// of the body, counting what a write took). The session owns its Outgoing
// for the response's whole life; the Outgoing owns the page's copies, the
// bytes the filter was fed from (which the client is sent from until they
// are written) and the request, whose memory the filter borrows.
#ifndef TAGSMITH_HOST_OUTGOING_H_
#define TAGSMITH_HOST_OUTGOING_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/held_budget.h"
#include "host/http_response.h"
#include "host/queued_client.h"
#include "host/response_coding.h"
#include "host/response_plan.h"
#include "host/stand_in_server.h"

namespace tagsmith::host {

// Bytes charged to the budget for as long as it lives: the server's own
// copies of a page, read whole and compressed.
class HeldCharge {
 public:
  explicit HeldCharge(HeldBudget& budget) : budget_(budget) {}
  ~HeldCharge() { budget_.Refund(size_); }
  HeldCharge(const HeldCharge&) = delete;
  HeldCharge& operator=(const HeldCharge&) = delete;

  // Charges `size` bytes more; false, charging nothing, when refused.
  bool Add(std::uint64_t size) noexcept;
  // Keeps at most `size` bytes charged, giving back the rest.
  void ShrinkTo(std::uint64_t size) noexcept;
  std::uint64_t size() const { return size_; }

 private:
  HeldBudget& budget_;
  std::uint64_t size_ = 0;
};

struct Outgoing {
  enum class Stage { kBody, kEnd, kDone };
  Outgoing(ResponsePlan response, HeldBudget& held)
      : plan(std::move(response)), framing(plan.head_only), charge(held) {}

  ResponsePlan plan;
  QueuedClient client;
  std::unique_ptr<StandInRequest> request;
  std::string head;   // the header block the filter was fed
  std::string piece;  // a body piece made here (a chunk), until written
  std::uint64_t body_left = 0;
  std::uint64_t offset = 0;  // into the file or the text
  Stage stage = Stage::kBody;
  bool body_short = false;      // the file ended before its length
  bool refusal_logged = false;  // the budget's refusal, once
  WriteBatch writing;           // the bytes of the write in flight
  ResponseCoder coder;          // --gzip, --chunked
  SentFraming framing;
  HeldCharge charge;  // for the page read whole to compress it
};

// Reads the page whole and compresses it (coder.compresses() must be
// true), charging the page and its compressed copy to the budget while
// both are held, and the copy until the response ends. Refused, or out of
// memory: the page goes out uncompressed, from the file when it was not
// read. Thread-safe for distinct responses; never throws.
void CompressPage(Outgoing* out) noexcept;

// The next piece of the body, at most `chunk_size` bytes: sets *data to
// it and answers its size, and the body's count moves on. The piece lies in
// the text itself, or is read from the file into *buffer (made once, of
// `chunk_size` bytes, for every piece of the connection); the filter may
// change it in place. A file that ends early ends the body: 0, and
// body_short set. Throws std::bad_alloc.
std::size_t NextBodyPiece(Outgoing* out, std::size_t chunk_size,
                          std::unique_ptr<char[]>* buffer, char** data);

// Counts the first `written` bytes of the write in flight as sent.
void ObserveWritten(Outgoing* out, std::size_t written);

// The memory the response holds: its AllocMem blocks and page copies.
std::uint64_t HeldBytes(const Outgoing& out);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_OUTGOING_H_
