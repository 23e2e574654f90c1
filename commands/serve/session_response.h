// The response half of a `tagsmith serve` session: it hands the plan to
// the pump (outgoing.h), which hosts the filter for the response, and
// writes to the socket what the pump queued before it pumps again, so
// bytes leave in the order and at the pace the filter releases them, the
// pieces the filter was fed from stay put until they are written, and a
// client that stops reading holds no thread. Over a plain socket the body
// of a response the filter let go is sent from the file by the kernel. The
// session (Derived: its stream, Close, Abort, DoRead) owns this part and its
// Outgoing; the state and the worker outlive it. Included only by the session.
#ifndef TAGSMITH_COMMANDS_SERVE_SESSION_RESPONSE_H_
#define TAGSMITH_COMMANDS_SERVE_SESSION_RESPONSE_H_

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "commands/serve/outgoing.h"
#include "commands/serve/response_plan.h"
#include "commands/serve/serve_state.h"

namespace tagsmith::host {

template <class Derived>
class SessionResponse {
 protected:
  using Error = boost::beast::error_code;

  SessionResponse(ServerState& state, Worker& worker, bool secure,
                  std::string peer)
      : state_(state),
        share_(worker),
        secure_(secure),
        peer_(std::move(peer)) {}

  Derived& self() { return static_cast<Derived&>(*this); }
  auto& Lowest() { return boost::beast::get_lowest_layer(self().stream()); }

  // --gzip and --chunked code the response before the filter sees it, as
  // the platform's server applies its own compression and chunking; a page
  // to compress is read whole and compressed on a coding thread, so that
  // neither this worker's other connections nor new ones wait for it.
  void Respond(ResponsePlan plan) {
    try {
      out_ = std::make_unique<Outgoing>(std::move(plan), state_.held);
      const ResponsePlan& p = out_->plan;
      const CodingRequest request{p.status, p.content_type, p.body_size,
                                  head_.accept_encoding, head_.version == 11};
      out_->coder = ResponseCoder(state_.coding, request);
      if (out_->coder.compresses())
        return boost::asio::post(state_.coding_threads,
                                 [self = self().shared_from_this()] {
                                   CompressPage(self->out_.get());
                                   self->ContinueOnWorker();
                                 });
    } catch (const std::bad_alloc&) {
      return Unavailable("the response's record");
    }
    StartFilter();
  }

  // Answers 503 and closes, with nothing left to allocate on the way.
  void Unavailable(const char* what) {
    std::string request;  // the log's words for it
    try {
      const ResponsePlan* plan = out_ ? &out_->plan : nullptr;
      request = peer_ + " " + (plan ? plan->method : "-") + " " +
                Printable(plan ? plan->target : "-");
      state_.log.Line("error: no memory for " + std::string(what) + " (" +
                      request + "): answered 503");
    } catch (...) {
    }
    out_.reset();  // whatever the response held goes first
    Lowest().expires_after(state_.idle_timeout);
    try {
      boost::asio::async_write(
          self().stream(),
          boost::asio::buffer(kUnavailableResponse.data(),
                              kUnavailableResponse.size()),
          [self = self().shared_from_this(), request = std::move(request)](
              Error error, std::size_t written) {
            SessionResponse& response = *self;
            try {
              if (!request.empty())
                response.state_.log.Line(request + " 503 " +
                                         std::to_string(written));
            } catch (...) {
            }
            if (error) return self->Abort();
            self->Close();
          });
    } catch (...) {
      self().Abort();
    }
  }

  ServerState& state_;
  WorkerShare share_;  // counts the session against its worker
  const bool secure_;
  const std::string peer_;
  RequestHead head_;  // the request being answered, as the session read it

 private:
  // The most bytes one send may take: each time the client has taken that
  // much, it has the whole idle timeout again for the rest.
  static constexpr std::size_t kWriteStep = 256 * 1024;
  // Buffers of one write that need no allocation.
  static constexpr std::size_t kReservedPieces = 16;

  // On a coding thread, once the page is compressed.
  void ContinueOnWorker() noexcept {
    try {
      boost::asio::post(
          self().stream().get_executor(),
          [self = self().shared_from_this()] { self->StartFilter(); });
    } catch (...) {
      // Not even the hand-back could be had: the connection closes as the
      // session goes.
    }
  }

  // The context the pump works in: this worker's, for this connection.
  PumpContext Context() {
    return PumpContext{state_.filter,     state_.held,
                       state_.chunk_size, share_.worker().call_began_ns,
                       &chunk_,           !secure_};
  }

  // Raises send-response and the raw-data notification for the header
  // block, then the body's.
  void StartFilter() {
    try {
      StartResponse(out_.get(), Context(), head_.version, state_.stopping,
                    secure_);
      buffers_.reserve(kReservedPieces);
    } catch (const std::bad_alloc&) {
      return Unavailable("the response's head");
    }
    Pump();
  }

  // Pumps until the filter lets bytes out (then writes them and comes
  // back) or the response is done.
  void Pump() {
    const char* step = "the queue";
    try {
      const PumpStep next = host::Pump(out_.get(), Context(), &step);
      NoteRefusal();
      switch (next) {
        case PumpStep::kFailed:
          return Failed(step);
        case PumpStep::kWrite:
          step = "the write";
          return WritePending();
        case PumpStep::kDone:
          return Finish();
        case PumpStep::kSendFile:
          out_->client.Take(&out_->writing);
          return SendFile();
      }
    } catch (const std::bad_alloc&) {
      Failed(step);
    }
  }

  // The first refusal of an episode of the held-memory budget is logged.
  void NoteRefusal() {
    Outgoing& out = *out_;
    if (out.refusal_logged || !out.request ||
        !out.request->memory().began_refusal_episode())
      return;
    out.refusal_logged = true;
    state_.log.Line("held memory at its limit of " +
                    std::to_string(state_.held.limit()) + " bytes (" +
                    out.plan.method + " " + Printable(out.plan.target) +
                    "): pages go out untagged until some is freed");
  }

  // The queued head and the rest of the file, as far as the socket takes
  // them now; then it waits for room, for at most the idle timeout.
  void SendFile() {
    auto& socket = Lowest().socket();
    Error ignored;
    if (!socket.native_non_blocking())
      socket.native_non_blocking(true, ignored);
    DirectStep step;
    try {
      step = SendBodyDirect(out_.get(), socket.native_handle());
    } catch (const std::bad_alloc&) {
      return Failed("the framing watch");
    }
    if (step != DirectStep::kWait) return Pump();
    if (!send_timer_) send_timer_.emplace(self().stream().get_executor());
    const std::uint64_t wait = ++send_waits_;
    send_timer_->expires_after(state_.idle_timeout);
    send_timer_->async_wait([self = self().shared_from_this(), wait](Error e) {
      // Only the wait it was set for, if that is still on: the socket's
      // wait then ends as cancelled.
      SessionResponse& response = *self;
      if (e || response.send_waits_ != wait) return;
      Error ignored;
      response.Lowest().socket().cancel(ignored);
    });
    socket.async_wait(boost::asio::socket_base::wait_write,
                      [self = self().shared_from_this()](Error error) {
                        ++self->send_waits_;
                        self->send_timer_->cancel();
                        if (!error) return self->SendFile();
                        self->out_->client.MarkLost();
                        self->Pump();
                      });
  }

  void WritePending() {
    out_->client.Take(&out_->writing);
    buffers_.clear();
    for (std::string_view piece : out_->writing.pieces)
      buffers_.emplace_back(piece.data(), piece.size());
    boost::asio::async_write(
        self().stream(), buffers_,
        // Before each send: a reader that keeps taking bytes is never cut.
        [this](const Error& error, std::size_t) -> std::size_t {
          if (error) return 0;
          Lowest().expires_after(state_.idle_timeout);
          return kWriteStep;
        },
        [self = self().shared_from_this()](Error error, std::size_t written) {
          self->OnWrite(error, written);
        });
  }

  void OnWrite(Error error, std::size_t written) {
    try {
      ObserveWritten(out_.get(), written);
    } catch (const std::bad_alloc&) {
      return Failed("the framing watch");
    }
    if (error) out_->client.MarkLost();
    Pump();
  }

  // The server's own memory ran out while the response was on its way:
  // before any byte of it went, the client is told so; after, the
  // connection is cut, and the log says what failed.
  void Failed(const char* what) {
    if (out_->framing.bytes_sent() == 0) return Unavailable(what);
    try {
      state_.log.Line("error: no memory for " + std::string(what) + " after " +
                      std::to_string(out_->framing.bytes_sent()) +
                      " bytes of the response: connection closed");
    } catch (...) {
    }
    out_->client.MarkLost();
    Finish();
  }

  void Finish() {
    const ResponsePlan& plan = out_->plan;
    try {
      const std::string target = Printable(plan.target);
      const std::string status = std::to_string(plan.status);
      const std::string sent = std::to_string(out_->framing.bytes_sent());
      std::string line;
      line.reserve(peer_.size() + plan.method.size() + target.size() +
                   status.size() + sent.size() + 4);
      line.append(peer_).append(" ").append(plan.method).append(" ");
      line.append(target).append(" ").append(status).append(" ").append(sent);
      state_.log.Line(line);
    } catch (...) {
    }
    const bool keep = KeepsConnection(*out_, state_.stopping);
    const bool lost = out_->client.lost();
    const std::uint64_t released = HeldBytes(*out_);
    out_.reset();
    state_.memory_return.Released(released, state_.held.lent());
    if (keep) return self().DoRead();
    if (lost) return self().Abort();
    self().Close();
  }

  std::unique_ptr<Outgoing> out_;
  std::vector<boost::asio::const_buffer> buffers_;  // out_->writing's
  std::unique_ptr<char[]> chunk_;                   // state_.chunk_size bytes
  // SendFile's wait for room, for at most the idle timeout; send_waits_
  // counts the waits, so a timer that fires late touches no later one.
  std::optional<boost::asio::steady_timer> send_timer_;
  std::uint64_t send_waits_ = 0;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_SESSION_RESPONSE_H_
