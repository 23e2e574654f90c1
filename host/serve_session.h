// One connection of `tagsmith serve`, plain or TLS: it reads one request at
// a time (bounded in size and time), decides the response, and hosts the
// filter for it through a StandInRequest: send-response, one raw-data
// notification for the status line and headers, one per body piece,
// end-of-request. The client sink queues what the filter lets out, and the
// session writes that to the socket before it raises the next
// notification, so bytes leave in the order and at the pace the filter
// releases them, the pieces the filter was fed from stay put until they
// are written, and a client that stops reading holds no thread. A session
// owns its stream and its Outgoing, and lives on one worker's event loop
// for its whole life; the state and the worker outlive it. Included only
// by the server.
#ifndef TAGSMITH_HOST_SERVE_SESSION_H_
#define TAGSMITH_HOST_SERVE_SESSION_H_

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <ctime>
#include <iterator>
#include <list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "host/outgoing.h"
#include "host/response_plan.h"
#include "host/serve_state.h"

namespace tagsmith::host {

namespace serve_io {
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
}  // namespace serve_io

// What the session read of a request's header, for the response decision.
RequestHead HeadOf(
    const serve_io::http::request_parser<serve_io::http::string_body>& parser,
    std::size_t header_bytes);

template <class Derived>
class HttpSession : public Waiting {
 public:
  HttpSession(ServerState& state, Worker& worker, bool secure, std::string peer)
      : state_(state),
        worker_(worker),
        share_(worker),
        secure_(secure),
        peer_(std::move(peer)) {}
  ~HttpSession() override { StopWaiting(); }

  // Out of descriptors, or stopping: the connection goes unanswered.
  void Shed() override {
    StopWaiting();
    derived().Abort();
  }

 protected:
  using Error = serve_io::beast::error_code;
  Derived& derived() { return static_cast<Derived&>(*this); }
  auto& Lowest() {
    return serve_io::beast::get_lowest_layer(derived().stream());
  }

  void DoRead() {
    if (state_.stopping) return derived().Close();
    try {
      ReadHeader();
    } catch (const std::bad_alloc&) {
      // No memory to read a request: between requests the connection just
      // closes; before the first, the client is told why.
      StopWaiting();
      state_.log.Line("error: no memory to read a request: connection closed");
      if (!secure_ && requests_ == 0) derived().SayUnavailable();
      derived().Abort();
    }
  }

  ServerState& state_;
  serve_io::beast::flat_buffer buffer_;

 private:
  // A request body (GET and HEAD need none).
  static constexpr std::uint64_t kBodyLimit = 64 * 1024;
  // The most bytes one send may take: each time the client has taken that
  // much, it has the whole idle timeout again for the rest.
  static constexpr std::size_t kWriteStep = 256 * 1024;

  void ReadHeader() {
    parser_.emplace();
    // Above the limit, so that CheckHead, which knows the exact size,
    // decides every header up to it.
    parser_->header_limit(static_cast<std::uint32_t>(2 * kHeaderLimit));
    parser_->body_limit(kBodyLimit);
    worker_.waiting.push_back(derived().shared_from_this());
    waiting_at_ = std::prev(worker_.waiting.end());
    waiting_ = true;
    Lowest().expires_after(state_.idle_timeout);
    serve_io::http::async_read_header(
        derived().stream(), buffer_, *parser_,
        [self = derived().shared_from_this()](Error error, std::size_t bytes) {
          self->OnHeader(error, bytes);
        });
  }

  void StopWaiting() {
    if (!waiting_) return;
    worker_.waiting.erase(waiting_at_);
    waiting_ = false;
  }

  const std::string& RootDirectory() const {
    return state_.site.applications().back().directory;
  }

  // Refuses what the parser refused; a timeout or a lost connection gets
  // no answer.
  void OnReadError(Error error) {
    namespace http = serve_io::http;
    if (error == http::error::header_limit)
      return Respond(ErrorPlan(431, RootDirectory()));
    if (error == http::error::body_limit)
      return Respond(ErrorPlan(413, RootDirectory()));
    if (error.category() ==
            http::make_error_code(http::error::bad_target).category() &&
        error != http::error::end_of_stream &&
        error != http::error::partial_message)
      return Respond(ErrorPlan(400, RootDirectory()));
    derived().Close();
  }

  void OnHeader(Error error, std::size_t bytes) {
    StopWaiting();
    if (error) return OnReadError(error);
    ++requests_;
    try {
      head_ = HeadOf(*parser_, bytes);
    } catch (const std::bad_alloc&) {
      return Unavailable("the request's head");
    }
    const HeadVerdict verdict = CheckHead(head_);
    if (verdict.next == HeadVerdict::Next::kRefuse) {
      // What follows this header cannot be trusted to be a next request.
      ResponsePlan plan = ErrorPlan(verdict.status, RootDirectory());
      plan.method = head_.method;
      plan.target = head_.target;
      plan.head_only = head_.method == "HEAD";
      return Respond(std::move(plan));
    }
    if (parser_->is_done()) return OnRequest();
    if (verdict.next == HeadVerdict::Next::kContinueRead) {
      static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      Lowest().expires_after(state_.idle_timeout);
      return serve_io::net::async_write(
          derived().stream(),
          serve_io::net::buffer(kContinue, sizeof kContinue - 1),
          [self = derived().shared_from_this()](Error error, std::size_t) {
            if (error) return self->derived().Abort();
            self->ReadBody();
          });
    }
    ReadBody();
  }

  // The body, read whole and dropped (GET and HEAD have no use for one),
  // so that the next request starts where the client put it.
  void ReadBody() {
    Lowest().expires_after(state_.idle_timeout);
    serve_io::http::async_read(
        derived().stream(), buffer_, *parser_,
        [self = derived().shared_from_this()](Error error, std::size_t) {
          if (error) return self->OnReadError(error);
          self->OnRequest();
        });
  }

  void OnRequest() {
    ResponsePlan plan;
    try {
      plan = PlanResponse(state_.site, head_);
    } catch (const std::bad_alloc&) {
      return Unavailable("the response's plan");
    } catch (const std::exception&) {
      plan = ErrorPlan(500, RootDirectory());
    }
    Respond(std::move(plan));
  }

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
        return serve_io::net::post(state_.coding_threads,
                                   [self = derived().shared_from_this()] {
                                     CompressPage(self->out_.get());
                                     self->ContinueOnWorker();
                                   });
    } catch (const std::bad_alloc&) {
      return Unavailable("the response's record");
    }
    StartFilter();
  }

  // On a coding thread, once the page is compressed.
  void ContinueOnWorker() noexcept {
    try {
      serve_io::net::post(
          derived().stream().get_executor(),
          [self = derived().shared_from_this()] { self->StartFilter(); });
    } catch (...) {
      // Not even the hand-back could be had: the connection closes as the
      // session goes.
    }
  }

  // Raises send-response and the raw-data notification for the header
  // block, then the body's.
  void StartFilter() {
    Outgoing& out = *out_;
    const ResponsePlan& plan = out.plan;
    try {
      HeaderFields fields = ResponseFields(plan, head_.version, state_.stopping,
                                           std::time(nullptr));
      out.coder.SetFields(plan.body_size, &fields);
      out.head = SerializeHead(plan.status, fields);
      RequestSettings settings;
      settings.app_physical_path = plan.app_directory;
      settings.secure_port = secure_;
      // One system allocation per 64 KB of held response, not one per chunk.
      settings.arena_memory = true;
      // The filter's records, and the pieces it let through, are written
      // from where they lie, not copied first.
      settings.keep_memory_until_destroyed = true;
      settings.chunks_outlive_sends = true;
      settings.held_budget = &state_.held;
      out.request =
          std::make_unique<StandInRequest>(state_.filter, settings, out.client);
      // Everything the body needs is had before the filter sees a byte, so
      // that a response it lets go at once is not cut short.
      if (plan.file.valid() && !chunk_)
        chunk_.reset(new char[state_.chunk_size]);
      out.client.Reserve();
    } catch (const std::bad_alloc&) {
      return Unavailable("the response's head");
    }
    // HEAD feeds the filter the body GET would, so that its head is the
    // head GET gets; the client gets no body.
    if (plan.head_only) out.client.DropBody();
    out.body_left = plan.status == 304 ? 0 : plan.body_size;
    {
      FilterCall call(share_.worker());
      out.request->SendResponse();
      out.request->SendRawData(&out.head[0], out.head.size());
    }
    Pump();
  }

  // Raises notifications until the filter lets bytes out (then writes them
  // and comes back) or the response is done.
  void Pump() {
    const char* step = "the queue";
    try {
      for (;;) {
        Outgoing& out = *out_;
        if (out.client.failed()) return Failed("the queue");
        NoteRefusal();
        if (!out.client.empty()) {
          step = "the write";
          return WritePending();
        }
        switch (out.stage) {
          case Outgoing::Stage::kBody:
            step = "a body piece";
            // A HEAD whose response the filter let go has its head out;
            // the rest of the body would only be dropped.
            if (out.plan.head_only && LetGo()) out.body_left = 0;
            if (out.body_left == 0 || out.client.lost()) {
              out.stage = Outgoing::Stage::kEnd;
              // The last chunk, unless the body was cut short: the client
              // must then see it end early.
              if (!out.coder.End().empty() && !out.client.lost() &&
                  !out.body_short && !(out.plan.head_only && LetGo())) {
                out.piece.assign(out.coder.End());
                FilterCall call(share_.worker());
                out.request->SendRawData(&out.piece[0], out.piece.size());
              }
            } else {
              SendNextPiece();
            }
            break;
          case Outgoing::Stage::kEnd: {
            FilterCall call(share_.worker());
            out.request->EndOfRequest();
            out.stage = Outgoing::Stage::kDone;
            break;
          }
          case Outgoing::Stage::kDone:
            return Finish();
        }
      }
    } catch (const std::bad_alloc&) {
      Failed(step);
    }
  }

  // Whether the filter let the response go (it raises no more raw data).
  bool LetGo() const {
    return (out_->request->disabled_notifications() &
            SF_NOTIFY_SEND_RAW_DATA) != 0;
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

  void SendNextPiece() {
    Outgoing& out = *out_;
    char* data = nullptr;
    const std::size_t got =
        NextBodyPiece(&out, state_.chunk_size, &chunk_, &data);
    if (got == 0) return;
    // The piece is the server's own send buffer: the filter gets it as is.
    if (out.coder.chunked()) {
      out.piece = out.coder.Piece(std::string_view(data, got));
      data = &out.piece[0];
    }
    FilterCall call(share_.worker());
    out.request->SendRawData(data,
                             out.coder.chunked() ? out.piece.size() : got);
  }

  void WritePending() {
    out_->client.Take(&out_->writing);
    buffers_.clear();
    for (std::string_view piece : out_->writing.pieces)
      buffers_.emplace_back(piece.data(), piece.size());
    serve_io::net::async_write(
        derived().stream(), buffers_,
        // Before each send: a reader that keeps taking bytes is never cut.
        [this](const Error& error, std::size_t) -> std::size_t {
          if (error) return 0;
          Lowest().expires_after(state_.idle_timeout);
          return kWriteStep;
        },
        [self = derived().shared_from_this()](Error error,
                                              std::size_t written) {
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
      serve_io::net::async_write(
          derived().stream(),
          serve_io::net::buffer(kUnavailableResponse.data(),
                                kUnavailableResponse.size()),
          [self = derived().shared_from_this(), request = std::move(request)](
              Error error, std::size_t written) {
            try {
              if (!request.empty())
                self->state_.log.Line(request + " 503 " +
                                      std::to_string(written));
            } catch (...) {
            }
            if (error) return self->derived().Abort();
            self->derived().Close();
          });
    } catch (...) {
      derived().Abort();
    }
  }

  void Finish() {
    const ResponsePlan& plan = out_->plan;
    try {
      state_.log.Line(peer_ + " " + plan.method + " " + Printable(plan.target) +
                      " " + std::to_string(plan.status) + " " +
                      std::to_string(out_->framing.bytes_sent()));
    } catch (...) {
    }
    // Keep the connection only when the client can find where this
    // response ended, whatever the filter did to it.
    const bool keep = plan.keep_alive && !state_.stopping &&
                      !out_->client.lost() && !out_->body_short &&
                      out_->framing.Complete();
    const bool lost = out_->client.lost();
    const std::uint64_t released = HeldBytes(*out_);
    out_.reset();
    state_.memory_return.Released(released, state_.held.lent());
    if (keep) return DoRead();
    if (lost) return derived().Abort();
    derived().Close();
  }

  Worker& worker_;
  WorkerShare share_;
  bool secure_;
  std::string peer_;
  bool waiting_ = false;  // in worker_.waiting, at waiting_at_
  std::list<std::weak_ptr<Waiting>>::iterator waiting_at_;
  std::optional<serve_io::http::request_parser<serve_io::http::string_body>>
      parser_;
  RequestHead head_;
  std::uint64_t requests_ = 0;  // whose head was read on the connection
  std::unique_ptr<Outgoing> out_;
  std::vector<serve_io::net::const_buffer> buffers_;  // out_->writing's
  std::unique_ptr<char[]> chunk_;                     // state_.chunk_size bytes
};

class PlainSession : public HttpSession<PlainSession>,
                     public std::enable_shared_from_this<PlainSession> {
 public:
  PlainSession(serve_io::tcp::socket&& socket, ServerState& state,
               Worker& worker, std::string peer)
      : HttpSession(state, worker, false, std::move(peer)),
        stream_(std::move(socket)) {}

  void Run() {
    serve_io::net::dispatch(stream_.get_executor(),
                            [self = shared_from_this()] { self->DoRead(); });
  }
  serve_io::beast::tcp_stream& stream() { return stream_; }
  void Close() {
    serve_io::beast::error_code ignored;
    stream_.socket().shutdown(serve_io::tcp::socket::shutdown_send, ignored);
  }
  void Abort() { stream_.close(); }
  // The 503, without waiting or allocating: a fresh socket's send buffer
  // takes it at once.
  void SayUnavailable() {
    serve_io::beast::error_code ignored;
    stream_.socket().non_blocking(true, ignored);
    stream_.socket().write_some(
        serve_io::net::buffer(kUnavailableResponse.data(),
                              kUnavailableResponse.size()),
        ignored);
  }

 private:
  serve_io::beast::tcp_stream stream_;
};

class SslSession : public HttpSession<SslSession>,
                   public std::enable_shared_from_this<SslSession> {
 public:
  SslSession(serve_io::tcp::socket&& socket, serve_io::ssl::context& context,
             ServerState& state, Worker& worker, std::string peer)
      : HttpSession(state, worker, true, std::move(peer)),
        stream_(std::move(socket), context) {}

  void Run() {
    serve_io::net::dispatch(stream_.get_executor(), [self =
                                                         shared_from_this()] {
      serve_io::beast::get_lowest_layer(self->stream_)
          .expires_after(self->state_.idle_timeout);
      self->stream_.async_handshake(serve_io::ssl::stream_base::server,
                                    [self](serve_io::beast::error_code error) {
                                      if (!error) self->DoRead();
                                    });
    });
  }
  serve_io::beast::ssl_stream<serve_io::beast::tcp_stream>& stream() {
    return stream_;
  }
  void Close() {
    serve_io::beast::get_lowest_layer(stream_).expires_after(kShutdownTimeout);
    stream_.async_shutdown(
        [self = shared_from_this()](serve_io::beast::error_code) {});
  }
  void Abort() { serve_io::beast::get_lowest_layer(stream_).close(); }
  void SayUnavailable() {}  // it would need the TLS session first

 private:
  // How long a closing connection waits for the client's close_notify.
  static constexpr std::chrono::seconds kShutdownTimeout{2};

  serve_io::beast::ssl_stream<serve_io::beast::tcp_stream> stream_;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_SERVE_SESSION_H_
