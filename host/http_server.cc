// The web server behind `tagsmith serve`; see http_server.h.
//
// Each worker thread runs an io_context of its own, and each connection
// lives on one of them for its whole life, so that a request is served
// without handing work between threads (on a small machine those hand-offs,
// each a wake-up and a lock, cost more than the second thread gains). A
// filter call runs on its connection's worker and holds that worker's other
// connections until it returns; so connections are accepted on a thread of
// their own, and a new one goes to a worker that is not inside a filter
// call whenever there is one. A session reads one request (bounded in size and time), decides
// the response, and hosts the filter for it through a StandInRequest:
// send-response, one raw-data notification for the status line and headers,
// one per body chunk, end-of-request. The client sink queues what the filter
// lets out, and the session writes that to the socket before it raises the
// next notification, so bytes leave in the order and at the pace the filter
// releases them, and a client that stops reading holds no thread.
#include "host/http_server.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/http_response.h"
#include "host/stand_in_server.h"

namespace tagsmith::host {

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

// The request line and headers together; a body (GET and HEAD need none).
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024;
// How long a closing TLS connection waits for the client's close_notify.
constexpr std::chrono::seconds kTlsShutdownTimeout{2};

// Lines to standard output, whole, from any thread.
class RequestLog {
 public:
  explicit RequestLog(std::FILE* out) : out_(out) {}
  void Line(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
  }

 private:
  std::mutex mutex_;
  std::FILE* out_;
};

struct ServerState {
  const FilterModule& filter;
  const StaticSite& site;
  std::size_t chunk_size;
  std::chrono::seconds idle_timeout;
  RequestLog log;
};

// One worker thread's event loop, how many connections it holds and
// whether it is inside a filter call; a new connection goes to the worker
// that holds fewest, among those not inside a filter call if any.
struct Worker {
  std::atomic<unsigned> sessions{0};  // outlives the sessions `io` holds
  std::atomic<bool> in_filter{false};
  net::io_context io{1};
};

// Marks the worker as inside a filter call for as long as it lives.
class FilterCall {
 public:
  explicit FilterCall(Worker& worker) : worker_(worker) {
    worker_.in_filter = true;
  }
  ~FilterCall() { worker_.in_filter = false; }
  FilterCall(const FilterCall&) = delete;
  FilterCall& operator=(const FilterCall&) = delete;

 private:
  Worker& worker_;
};

// Counts a session against its worker for as long as it lives.
class WorkerShare {
 public:
  explicit WorkerShare(Worker& worker) : worker_(worker) { ++worker_.sessions; }
  ~WorkerShare() { --worker_.sessions; }
  Worker& worker() { return worker_; }
  WorkerShare(const WorkerShare&) = delete;
  WorkerShare& operator=(const WorkerShare&) = delete;

 private:
  Worker& worker_;
};

// A request target as it may appear in the log: printable ASCII only.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 512))
    out += (c > 0x20 && c < 0x7f) ? c : '?';
  return out.empty() ? "-" : out;
}

// The client as the filter sees it: what reaches it is queued for the
// session to write. Once the connection is lost, sends fail, which the
// stand-in server records as the client's error.
class QueuedClient : public ClientSink {
 public:
  void Send(std::string_view bytes) override {
    if (lost_) throw std::runtime_error("the client connection is lost");
    pending_.append(bytes);
  }
  std::string& pending() { return pending_; }
  void MarkLost() {
    lost_ = true;
    pending_.clear();
  }
  bool lost() const { return lost_; }

 private:
  std::string pending_;
  bool lost_ = false;
};

// What a request is answered with, before the filter sees it.
struct Plan {
  unsigned status = 500;
  HeaderFields extra_fields;  // Location, Allow
  std::string content_type = "text/plain";
  std::string file_path;  // empty: `text` is the body
  std::string text;
  std::uint64_t body_size = 0;
  bool head_only = false;  // HEAD: headers only
  bool keep_alive = false;
  std::string app_directory;
  std::string method = "-";
  std::string target = "-";
};

Plan ErrorPlan(unsigned status, const std::string& app_directory) {
  Plan plan;
  plan.status = status;
  plan.text = std::to_string(status) + " " + ReasonPhrase(status) + "\n";
  plan.body_size = plan.text.size();
  plan.app_directory = app_directory;
  return plan;
}

// One response on its way: the filter's request, the file being read and
// what has gone out so far.
struct Outgoing {
  enum class Stage { kBody, kEnd, kDone };
  Plan plan;
  QueuedClient client;
  std::unique_ptr<StandInRequest> request;
  std::ifstream file;
  std::uint64_t body_left = 0;
  std::size_t text_offset = 0;
  Stage stage = Stage::kBody;
  bool body_short = false;  // the file ended before its length
  std::string writing;      // the bytes of the write in flight
  SentFraming framing;
  explicit Outgoing(bool head_only) : framing(head_only) {}
};

template <class Derived>
class HttpSession {
 public:
  HttpSession(ServerState& state, Worker& worker, bool secure,
              std::string peer)
      : state_(state), share_(worker), secure_(secure),
        peer_(std::move(peer)) {}

 protected:
  Derived& derived() { return static_cast<Derived&>(*this); }

  void DoRead() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    beast::get_lowest_layer(derived().stream())
        .expires_after(state_.idle_timeout);
    http::async_read(derived().stream(), buffer_, *parser_,
                     [self = derived().shared_from_this()](
                         beast::error_code error, std::size_t) {
                       self->OnRead(error);
                     });
  }

 private:
  void OnRead(beast::error_code error) {
    const std::string& root = state_.site.applications().back().directory;
    if (error) {
      // Refuse what the parser refused; a timeout or a lost connection gets
      // no answer.
      if (error == http::error::header_limit)
        return Respond(ErrorPlan(431, root));
      if (error == http::error::body_limit)
        return Respond(ErrorPlan(413, root));
      if (error.category() == http::make_error_code(http::error::bad_target)
                                  .category() &&
          error != http::error::end_of_stream &&
          error != http::error::partial_message)
        return Respond(ErrorPlan(400, root));
      return derived().Close();
    }
    Plan plan;
    try {
      plan = PlanFor(parser_->get());
    } catch (const std::exception&) {
      plan = ErrorPlan(500, root);
    }
    Respond(std::move(plan));
  }

  Plan PlanFor(const http::request<http::string_body>& request) {
    const std::string target(request.target());
    const std::string method(request.method_string());
    Plan plan;
    const bool head = request.method() == http::verb::head;
    Lookup lookup = state_.site.Resolve(target);
    if (request.version() / 10 != 1) {
      plan = ErrorPlan(505, lookup.app_directory);
    } else if (!head && request.method() != http::verb::get) {
      plan = ErrorPlan(405, lookup.app_directory);
      plan.extra_fields.emplace_back("Allow", "GET, HEAD");
      plan.keep_alive = request.keep_alive();
    } else {
      switch (lookup.kind) {
        case Lookup::Kind::kFile: {
          std::error_code size_error;
          const std::uint64_t size =
              std::filesystem::file_size(lookup.path, size_error);
          if (size_error) {
            plan = ErrorPlan(404, lookup.app_directory);
          } else {
            plan.status = 200;
            plan.content_type = ContentTypeFor(lookup.path);
            plan.file_path = lookup.path;
            plan.body_size = size;
            plan.app_directory = lookup.app_directory;
          }
          break;
        }
        case Lookup::Kind::kRedirect:
          plan = ErrorPlan(301, lookup.app_directory);
          plan.extra_fields.emplace_back("Location", lookup.location);
          break;
        case Lookup::Kind::kBadRequest:
          plan = ErrorPlan(400, lookup.app_directory);
          break;
        case Lookup::Kind::kForbidden:
          plan = ErrorPlan(403, lookup.app_directory);
          break;
        case Lookup::Kind::kNotFound:
          plan = ErrorPlan(404, lookup.app_directory);
          break;
      }
      plan.keep_alive = request.keep_alive();
    }
    plan.head_only = head;
    plan.method = method;
    plan.target = target;
    return plan;
  }

  // Hosts the filter for one response: opens the body, raises
  // send-response and the raw-data notification for the header block.
  void Respond(Plan plan) {
    out_ = std::make_unique<Outgoing>(plan.head_only);
    if (!plan.file_path.empty()) {
      out_->file.open(plan.file_path, std::ios::binary);
      if (!out_->file) {
        Plan refused = ErrorPlan(403, plan.app_directory);
        refused.head_only = plan.head_only;
        refused.keep_alive = plan.keep_alive;
        refused.method = plan.method;
        refused.target = plan.target;
        plan = std::move(refused);
        out_ = std::make_unique<Outgoing>(plan.head_only);
      }
    }
    HeaderFields fields = {{"Server", "tagsmith"},
                           {"Date", HttpDate(std::time(nullptr))},
                           {"Content-Type", plan.content_type},
                           {"Content-Length", std::to_string(plan.body_size)}};
    for (auto& field : plan.extra_fields) fields.push_back(field);
    if (!plan.keep_alive)
      fields.emplace_back("Connection", "close");
    else if (parser_ && parser_->get().version() == 10)
      fields.emplace_back("Connection", "keep-alive");
    const std::string head = SerializeHead(plan.status, fields);

    RequestSettings settings;
    settings.app_physical_path = plan.app_directory;
    settings.secure_port = secure_;
    // One system allocation per 64 KB of held response, not one per chunk.
    settings.arena_memory = true;
    out_->body_left = plan.head_only ? 0 : plan.body_size;
    out_->plan = std::move(plan);
    out_->request = std::make_unique<StandInRequest>(state_.filter, settings,
                                                     out_->client);
    {
      FilterCall call(share_.worker());
      out_->request->SendResponse();
      out_->request->SendRawData(head);
    }
    Pump();
  }

  // Raises notifications until the filter lets bytes out (then writes them
  // and comes back) or the response is done.
  void Pump() {
    for (;;) {
      if (!out_->client.pending().empty()) return WritePending();
      switch (out_->stage) {
        case Outgoing::Stage::kBody:
          if (out_->body_left == 0 || out_->client.lost()) {
            out_->stage = Outgoing::Stage::kEnd;
          } else {
            SendNextChunk();
          }
          break;
        case Outgoing::Stage::kEnd: {
          FilterCall call(share_.worker());
          out_->request->EndOfRequest();
          out_->stage = Outgoing::Stage::kDone;
          break;
        }
        case Outgoing::Stage::kDone:
          return Finish();
      }
    }
  }

  void SendNextChunk() {
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(out_->body_left, state_.chunk_size));
    std::string chunk;
    if (out_->plan.file_path.empty()) {
      chunk = out_->plan.text.substr(out_->text_offset, size);
      out_->text_offset += chunk.size();
    } else {
      chunk.resize(size);
      out_->file.read(&chunk[0], static_cast<std::streamsize>(size));
      chunk.resize(static_cast<std::size_t>(out_->file.gcount()));
    }
    if (chunk.empty()) {
      // The file shrank since its length was sent: end the response here;
      // the connection closes, so the client sees it cut short.
      out_->body_short = true;
      out_->body_left = 0;
      return;
    }
    out_->body_left -= chunk.size();
    // The chunk is the server's own send buffer: the filter gets it as is.
    FilterCall call(share_.worker());
    out_->request->SendRawData(&chunk[0], chunk.size());
  }

  void WritePending() {
    out_->writing.swap(out_->client.pending());
    out_->client.pending().clear();
    beast::get_lowest_layer(derived().stream())
        .expires_after(state_.idle_timeout);
    net::async_write(derived().stream(), net::buffer(out_->writing),
                     [self = derived().shared_from_this()](
                         beast::error_code error, std::size_t) {
                       self->OnWrite(error);
                     });
  }

  void OnWrite(beast::error_code error) {
    if (error) {
      out_->client.MarkLost();
    } else {
      out_->framing.Observe(out_->writing);
    }
    out_->writing.clear();
    Pump();
  }

  void Finish() {
    const Plan& plan = out_->plan;
    state_.log.Line(peer_ + " " + plan.method + " " + Printable(plan.target) +
                    " " + std::to_string(plan.status) + " " +
                    std::to_string(out_->framing.bytes_sent()));
    // Keep the connection only when the client can find where this
    // response ended, whatever the filter did to it.
    const bool keep = plan.keep_alive && !out_->client.lost() &&
                      !out_->body_short && out_->framing.Complete();
    const bool lost = out_->client.lost();
    out_.reset();
    if (keep) return DoRead();
    if (lost) return derived().Abort();
    derived().Close();
  }

 protected:
  ServerState& state_;
  beast::flat_buffer buffer_;

 private:
  WorkerShare share_;
  bool secure_;
  std::string peer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::unique_ptr<Outgoing> out_;
};

class PlainSession : public HttpSession<PlainSession>,
                     public std::enable_shared_from_this<PlainSession> {
 public:
  PlainSession(tcp::socket&& socket, ServerState& state, Worker& worker,
               std::string peer)
      : HttpSession(state, worker, false, std::move(peer)),
        stream_(std::move(socket)) {}

  void Run() {
    net::dispatch(stream_.get_executor(),
                  [self = shared_from_this()] { self->DoRead(); });
  }
  beast::tcp_stream& stream() { return stream_; }
  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }
  void Abort() { stream_.close(); }

 private:
  beast::tcp_stream stream_;
};

class SslSession : public HttpSession<SslSession>,
                   public std::enable_shared_from_this<SslSession> {
 public:
  SslSession(tcp::socket&& socket, ssl::context& context, ServerState& state,
             Worker& worker, std::string peer)
      : HttpSession(state, worker, true, std::move(peer)),
        stream_(std::move(socket), context) {}

  void Run() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      beast::get_lowest_layer(self->stream_)
          .expires_after(self->state_.idle_timeout);
      self->stream_.async_handshake(
          ssl::stream_base::server,
          [self](beast::error_code error) {
            if (!error) self->DoRead();
          });
    });
  }
  beast::ssl_stream<beast::tcp_stream>& stream() { return stream_; }
  void Close() {
    beast::get_lowest_layer(stream_).expires_after(kTlsShutdownTimeout);
    stream_.async_shutdown(
        [self = shared_from_this()](beast::error_code) {});
  }
  void Abort() { beast::get_lowest_layer(stream_).close(); }

 private:
  beast::ssl_stream<beast::tcp_stream> stream_;
};

std::string PeerName(const tcp::socket& socket) {
  beast::error_code error;
  const tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return "-";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// Accepts connections on one address, on the accepting thread's `io`, and
// starts a session for each on the worker that holds fewest connections,
// passing over workers inside a filter call while another is free.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& io, std::deque<Worker>& workers,
           ServerState& state, ssl::context* tls)
      : workers_(workers),
        acceptor_(io),
        state_(state),
        tls_(tls) {}

  void Open(const ListenAddress& address) {
    beast::error_code error;
    const net::ip::address ip = net::ip::make_address(address.host, error);
    if (error)
      throw ServeError("'" + address.host + "' is not a numeric address");
    const tcp::endpoint endpoint(ip, address.port);
    const std::string where = (ip.is_v6() ? "[" + address.host + "]"
                                          : address.host) +
                              ":" + std::to_string(address.port);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) acceptor_.set_option(net::socket_base::reuse_address(true),
                                     error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(net::socket_base::max_listen_connections,
                                 error);
    if (error)
      throw ServeError("cannot listen on " + where + ": " + error.message());
  }

  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }

  void Start() { Accept(); }

  void Stop() {
    net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] {
      beast::error_code ignored;
      self->acceptor_.close(ignored);
    });
  }

 private:
  Worker& LeastBusy() {
    Worker* best = &workers_.front();
    for (Worker& worker : workers_) {
      const bool freer = !worker.in_filter && best->in_filter;
      const bool as_free = worker.in_filter == best->in_filter;
      if (freer || (as_free && worker.sessions < best->sessions))
        best = &worker;
    }
    return *best;
  }

  void Accept() {
    acceptor_.async_accept([self = shared_from_this()](
                               beast::error_code error, tcp::socket socket) {
      if (error == net::error::operation_aborted) return;
      if (!error) self->StartSession(std::move(socket));
      // A failed accept (out of descriptors, a connection reset before it
      // was taken) must not stop the listener.
      if (self->acceptor_.is_open()) self->Accept();
    });
  }

  // The worker is chosen when the connection has arrived, so that one that
  // went into a long filter call meanwhile is passed over.
  void StartSession(tcp::socket accepted) {
    Worker& worker = LeastBusy();
    std::string peer = PeerName(accepted);
    beast::error_code error;
    const tcp protocol = acceptor_.local_endpoint(error).protocol();
    if (error) return;
    const tcp::socket::native_handle_type handle = accepted.release(error);
    if (error) return;
    tcp::socket socket(worker.io);
    socket.assign(protocol, handle, error);
    if (error) {
      ::close(handle);
      return;
    }
    if (tls_)
      std::make_shared<SslSession>(std::move(socket), *tls_, state_, worker,
                                   std::move(peer))
          ->Run();
    else
      std::make_shared<PlainSession>(std::move(socket), state_, worker,
                                     std::move(peer))
          ->Run();
  }

  std::deque<Worker>& workers_;
  tcp::acceptor acceptor_;
  ServerState& state_;
  ssl::context* tls_;
};

std::string UrlFor(const char* scheme, const tcp::endpoint& endpoint) {
  const std::string host = endpoint.address().is_v6()
                               ? "[" + endpoint.address().to_string() + "]"
                               : endpoint.address().to_string();
  return std::string(scheme) + "://" + host + ":" +
         std::to_string(endpoint.port()) + "/";
}

}  // namespace

void RunServer(const ServerOptions& options, const FilterModule& filter,
               const StaticSite& site, std::FILE* log) {
  unsigned threads = options.threads;
  if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
  std::deque<Worker> workers(threads);
  // Accepting and the stop signal have a thread of their own, so that
  // neither waits for a filter call on a worker.
  net::io_context accept_io{1};
  ServerState state{filter, site, options.chunk_size,
                    std::chrono::seconds(options.idle_timeout_seconds),
                    RequestLog(log)};

  ssl::context tls(ssl::context::tls_server);
  std::vector<std::shared_ptr<Listener>> listeners;
  listeners.push_back(std::make_shared<Listener>(accept_io, workers, state, nullptr));
  listeners.back()->Open(options.listen);
  if (options.tls_listen) {
    tls.set_options(ssl::context::default_workarounds |
                    ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                    ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    beast::error_code error;
    tls.use_certificate_chain_file(options.tls_cert, error);
    if (error)
      throw ServeError("cannot use certificate '" + options.tls_cert +
                       "': " + error.message());
    tls.use_private_key_file(options.tls_key, ssl::context::pem, error);
    if (error)
      throw ServeError("cannot use private key '" + options.tls_key +
                       "': " + error.message());
    listeners.push_back(std::make_shared<Listener>(accept_io, workers, state, &tls));
    listeners.back()->Open(*options.tls_listen);
  }

  for (const Application& app : site.applications())
    state.log.Line("serving " + app.directory + " at " + app.prefix);
  state.log.Line("listening on " + UrlFor("http", listeners[0]->endpoint()));
  if (options.tls_listen)
    state.log.Line("listening on " +
                   UrlFor("https", listeners[1]->endpoint()));

  // A worker without connections must keep running until the stop.
  std::vector<net::executor_work_guard<net::io_context::executor_type>> busy;
  for (Worker& worker : workers) busy.push_back(net::make_work_guard(worker.io));
  busy.push_back(net::make_work_guard(accept_io));
  net::signal_set signals(accept_io, SIGINT, SIGTERM);
  signals.async_wait([&](beast::error_code error, int) {
    if (error) return;
    state.log.Line("stopping");
    for (auto& listener : listeners) listener->Stop();
    for (Worker& worker : workers) worker.io.stop();
    accept_io.stop();
  });
  for (auto& listener : listeners) listener->Start();

  auto run = [&state](net::io_context& io) {
    // A handler that throws loses its own connection, not the server.
    for (;;) {
      try {
        io.run();
        return;
      } catch (const std::exception& error) {
        state.log.Line(std::string("error: ") + error.what());
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i)
    pool.emplace_back(run, std::ref(workers[i].io));
  pool.emplace_back(run, std::ref(accept_io));
  run(workers.front().io);
  for (std::thread& thread : pool) thread.join();
}

}  // namespace tagsmith::host
