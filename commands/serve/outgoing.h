// One response of `tagsmith serve` on its way: the plan, the filter's
// request, what is queued for the client and what has gone out, and the
// steps that touch no socket: compressing the page, the pump that raises
// the filter's notifications piece by piece (coding each for --chunked),
// counting what a write took, and whether the connection stays open after
// it. The session only reads, hands the plan over and writes what the pump
// queued. The session owns its Outgoing
// for the response's whole life; the Outgoing owns the page's copies, the
// bytes the filter was fed from (which the client is sent from until they
// are written) and the request, whose memory the filter borrows.
#ifndef TAGSMITH_COMMANDS_SERVE_OUTGOING_H_
#define TAGSMITH_COMMANDS_SERVE_OUTGOING_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "commands/serve/direct_send.h"
#include "commands/serve/queued_client.h"
#include "commands/serve/response_coding.h"
#include "commands/serve/response_plan.h"
#include "host/filter_module.h"
#include "host/held_budget.h"
#include "host/sent_framing.h"
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
  bool body_short = false;       // the file ended before its length
  bool refusal_logged = false;   // the budget's refusal, once
  WriteBatch writing;            // the bytes of the write in flight
  std::size_t writing_sent = 0;  // of them, sent by SendBodyDirect so far
  ResponseCoder coder;           // --gzip, --chunked
  SentFraming framing;
  HeldCharge charge;  // for the page read whole to compress it
};

// Marks a worker as inside a filter call, from when it is made to when it
// goes: `began` holds the call's start (steady clock, ns), 0 outside one.
class FilterCall {
 public:
  // Relaxed: the listener reads the time only as a hint, and a fenced
  // store on every chunk showed in the profile of large pages.
  explicit FilterCall(std::atomic<std::int64_t>& began);
  ~FilterCall() { began_.store(0, std::memory_order_relaxed); }
  FilterCall(const FilterCall&) = delete;
  FilterCall& operator=(const FilterCall&) = delete;

 private:
  std::atomic<std::int64_t>& began_;
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

// What the filter's request for a response is made with: the filter, the
// budget, the body's piece size and where a worker marks its filter calls.
struct PumpContext {
  const FilterModule& filter;
  HeldBudget& held;
  std::size_t chunk_size;
  std::atomic<std::int64_t>& call_began;
  std::unique_ptr<char[]>* buffer;  // the connection's piece buffer
  // The body of a response the filter let go may leave by SendBodyDirect
  // (a plain socket; TLS encrypts in this process).
  bool send_file = false;
};

// Makes the response's head (its fields for an HTTP `version` client, with
// Connection: close when `closing`, coded as out->coder says) and the
// filter's request, takes everything the body needs, then raises
// send-response and the raw data of the head. Throws std::bad_alloc only
// before the filter sees anything.
void StartResponse(Outgoing* out, const PumpContext& context, unsigned version,
                   bool closing, bool secure);

// What the session does after a pump.
enum class PumpStep {
  kWrite,   // the filter let bytes out: write what the client queue holds
  kDone,    // end-of-request was raised and everything queued is written
  kFailed,  // the queue found no memory for what the filter let out
  // The filter let the response go and the rest of its body is the file's:
  // take what the client queue holds into `writing` and SendBodyDirect.
  kSendFile,
};

// Raises the filter's notifications for the body, a piece of at most
// `chunk_size` bytes at a time (framed for --chunked), then the last chunk
// and end-of-request, until the filter lets bytes out or the response is
// done; a HEAD whose response the filter let go, or a client lost, ends
// the body early; kSendFile when the body may leave without the filter
// (context.send_file). Marks context.call_began during each call; the body's
// pieces are read into *context.buffer as NextBodyPiece says. Throws
// std::bad_alloc, with *step saying what it was doing.
// REQUIRES: the request exists and has had its head (StartResponse).
PumpStep Pump(Outgoing* out, const PumpContext& context, const char** step);

// Sends what `writing` holds, then the rest of the body from the file,
// straight to `socket` (kSendFile), counting what went as sent; kWait when
// the socket is full (call again once it takes more). When the file ends
// early the body ends there; a failed socket marks the client lost.
// REQUIRES: Pump answered kSendFile, and `writing` holds what the client
// queue held then. Throws std::bad_alloc (the framing watch).
DirectStep SendBodyDirect(Outgoing* out, int socket);

// Counts the first `written` bytes of the write in flight as sent.
void ObserveWritten(Outgoing* out, std::size_t written);

// Whether the connection may carry the next request once the response is
// done: only when the plan keeps it, the server is not stopping, and the
// client can find where this response ended whatever the filter did to it.
bool KeepsConnection(const Outgoing& out, bool stopping);

// The memory the response holds: its AllocMem blocks and page copies.
std::uint64_t HeldBytes(const Outgoing& out);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_OUTGOING_H_
