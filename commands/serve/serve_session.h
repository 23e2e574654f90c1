// One connection of `tagsmith serve`, plain or TLS: it reads one request at
// a time (bounded in size and time), decides the response and answers it
// (session_response.h), then reads the next while the connection is kept.
// A session owns its stream, its parser and its response, and lives on one
// worker's event loop for its whole life; the state and the worker outlive
// it. Included only by the listener.
#ifndef TAGSMITH_COMMANDS_SERVE_SERVE_SESSION_H_
#define TAGSMITH_COMMANDS_SERVE_SERVE_SESSION_H_

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <iterator>
#include <list>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "commands/serve/response_plan.h"
#include "commands/serve/serve_state.h"
#include "commands/serve/session_response.h"

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
class HttpSession : public Waiting, public SessionResponse<Derived> {
  using Response = SessionResponse<Derived>;

 public:
  HttpSession(ServerState& state, Worker& worker, bool secure, std::string peer)
      : Response(state, worker, secure, std::move(peer)), worker_(worker) {}
  ~HttpSession() override { StopWaiting(); }

  // Out of descriptors, or stopping: the connection goes unanswered.
  void Shed() override {
    StopWaiting();
    derived().Abort();
  }

  // Reads the next request (the response calls it when the connection is
  // kept).
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

 protected:
  using Error = serve_io::beast::error_code;
  using Response::head_;
  using Response::Lowest;
  using Response::Respond;
  using Response::secure_;
  using Response::state_;
  using Response::Unavailable;
  Derived& derived() { return static_cast<Derived&>(*this); }

  serve_io::beast::flat_buffer buffer_;

 private:
  // A request body (GET and HEAD need none).
  static constexpr std::uint64_t kBodyLimit = 64 * 1024;

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
    unsigned status = 0;
    if (error == http::error::header_limit)
      status = 431;
    else if (error == http::error::body_limit)
      status = 413;
    else if (error.category() ==
                 http::make_error_code(http::error::bad_target).category() &&
             error != http::error::end_of_stream &&
             error != http::error::partial_message)
      status = 400;
    if (status == 0) return derived().Close();
    ResponsePlan plan;
    try {
      plan = ErrorPlan(status, RootDirectory());
    } catch (const std::bad_alloc&) {
      return Unavailable("the refusal");
    }
    Respond(std::move(plan));
  }

  void OnHeader(Error error, std::size_t bytes) {
    StopWaiting();
    if (error) return OnReadError(error);
    ++requests_;
    try {
      ReadRequest(bytes);
    } catch (const std::bad_alloc&) {
      Unavailable("the request's head");
    }
  }

  // The request's head is in: refuse it, or read its body, then answer.
  void ReadRequest(std::size_t bytes) {
    head_ = HeadOf(*parser_, bytes);
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

  Worker& worker_;
  bool waiting_ = false;  // in worker_.waiting, at waiting_at_
  std::list<std::weak_ptr<Waiting>>::iterator waiting_at_;
  std::optional<serve_io::http::request_parser<serve_io::http::string_body>>
      parser_;
  std::uint64_t requests_ = 0;  // whose head was read on the connection
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

#endif  // TAGSMITH_COMMANDS_SERVE_SERVE_SESSION_H_
