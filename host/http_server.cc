// The web server behind `tagsmith serve`; see http_server.h.
//
// Each worker thread runs an io_context of its own, and each connection
// lives on one of them for its whole life, so that a request is served
// without handing work between threads (on a small machine those hand-offs,
// each a wake-up and a lock, cost more than the second thread gains). A
// filter call runs on its connection's worker and holds that worker's other
// connections until it returns; so connections are accepted on a thread of
// their own, and a new one goes to a worker that is not inside a filter
// call whenever there is one, else to the one whose call began last. A
// session reads one request (bounded in size and time), decides the
// response, and hosts the filter for it through a StandInRequest:
// send-response, one raw-data notification for the status line and headers,
// one per body chunk, end-of-request. The client sink queues what the filter
// lets out, and the session writes that to the socket before it raises the
// next notification, so bytes leave in the order and at the pace the filter
// releases them, and a client that stops reading holds no thread.
//
// The listeners, the signals and the stop run on a control loop of their
// own on the calling thread, so that a worker stuck in a filter call can
// neither stop the server from accepting elsewhere nor from stopping.
#include "host/http_server.h"

#include <sys/resource.h>
#include <unistd.h>

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
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <iterator>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/http_response.h"
#include "host/listen_address.h"
#include "host/queued_client.h"
#include "host/response_plan.h"
#include "host/stand_in_server.h"
#include "host/worker_choice.h"

namespace tagsmith::host {

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

// A request body (GET and HEAD need none).
constexpr std::uint64_t kBodyLimit = 64 * 1024;
// How long a closing TLS connection waits for the client's close_notify.
constexpr std::chrono::seconds kTlsShutdownTimeout{2};
// How long accepting pauses when the process is out of descriptors, and
// how soon it looks again after closing idle connections to make room.
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::chrono::milliseconds kShedPause{10};
constexpr std::size_t kShedAtOnce = 16;  // per worker and pause
// Descriptors kept free beyond the connections: the file and the filter's
// configuration read of each request in flight, and some to spare.
constexpr unsigned kSpareDescriptors = 8;
// How often a stopping server looks whether its last request has ended.
constexpr std::chrono::milliseconds kStopPoll{20};

// Lines to standard output, whole, from any thread.
class RequestLog {
 public:
  explicit RequestLog(std::FILE* out) : out_(out) {}
  // Each line starts with the time it was written.
  void Line(const std::string& line) {
    const std::string stamped =
        LogTime(std::chrono::system_clock::now()) + " " + line;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(stamped.c_str(), out_);
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
  CodingOptions coding;
  std::atomic<bool> stopping{false};  // no new request is read
};

// A connection that may be closed while it waits for a request.
class Waiting {
 public:
  virtual ~Waiting() = default;
  virtual void Shed() = 0;
};

// One worker thread's event loop, how many connections it holds, when its
// current filter call began (ChooseWorker says how these place a new
// connection), and those of its connections that wait for a request,
// longest waiting first (touched only on its thread).
struct Worker {
  std::atomic<unsigned> sessions{0};  // outlives the sessions `io` holds
  std::atomic<std::int64_t> call_began_ns{0};  // 0: in no filter call
  std::list<std::weak_ptr<Waiting>> waiting;
  net::io_context io{1};
};

// Marks the worker as inside a filter call for as long as it lives.
class FilterCall {
 public:
  // Relaxed: the listener reads the time only as a hint, and a fenced
  // store on every chunk showed in the profile of large pages.
  explicit FilterCall(Worker& worker) : worker_(worker) {
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count();
    worker_.call_began_ns.store(std::max<std::int64_t>(now, 1),
                                std::memory_order_relaxed);
  }
  ~FilterCall() { worker_.call_began_ns.store(0, std::memory_order_relaxed); }
  FilterCall(const FilterCall&) = delete;
  FilterCall& operator=(const FilterCall&) = delete;

 private:
  Worker& worker_;
};

// Closes the connections of `worker` that have waited longest for a
// request: `all` of them, or half, at least one and at most kShedAtOnce, so
// that one new connection does not cost every idle one. On the worker's
// thread.
void ShedWaiting(Worker& worker, bool all) {
  std::size_t count =
      all ? worker.waiting.size()
          : std::clamp<std::size_t>(worker.waiting.size() / 2, 1, kShedAtOnce);
  while (count-- > 0 && !worker.waiting.empty()) {
    // A session leaves the list itself, when shed or destroyed.
    std::shared_ptr<Waiting> session = worker.waiting.front().lock();
    if (session)
      session->Shed();
    else
      worker.waiting.pop_front();
  }
}

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

// One response on its way: the filter's request, the file being read and
// what has gone out so far.
struct Outgoing {
  enum class Stage { kBody, kEnd, kDone };
  ResponsePlan plan;
  QueuedClient client;
  std::unique_ptr<StandInRequest> request;
  std::uint64_t body_left = 0;
  std::uint64_t offset = 0;  // into the file or the text
  Stage stage = Stage::kBody;
  bool body_short = false;  // the file ended before its length
  WriteBatch writing;       // the bytes of the write in flight
  ResponseCoder coder;      // --gzip, --chunked
  SentFraming framing;
  explicit Outgoing(bool head_only) : framing(head_only) {}
};

// What the session read of a request's header, for the response decision.
RequestHead HeadOf(const http::request_parser<http::string_body>& parser,
                   std::size_t header_bytes) {
  const http::request_header<>& request = parser.get();
  RequestHead head;
  head.method = std::string(request.method_string());
  head.target = std::string(request.target());
  head.version = request.version();
  head.keep_alive = parser.keep_alive();
  head.header_bytes = header_bytes;
  auto values = [&request](http::field name) {
    std::vector<std::string> found;
    for (auto range = request.equal_range(name); range.first != range.second;
         ++range.first)
      found.emplace_back(range.first->value());
    return found;
  };
  head.hosts = values(http::field::host);
  head.transfer_encodings = values(http::field::transfer_encoding);
  head.expectations = values(http::field::expect);
  head.if_none_match = values(http::field::if_none_match);
  for (const std::string& value : values(http::field::accept_encoding))
    head.accept_encoding.append(head.accept_encoding.empty() ? "" : ",")
        .append(value);
  const std::vector<std::string> since = values(http::field::if_modified_since);
  if (!since.empty()) head.if_modified_since = since.front();
  head.has_body = parser.chunked() || parser.content_length().value_or(0) > 0;
  return head;
}

template <class Derived>
class HttpSession : public Waiting {
 public:
  HttpSession(ServerState& state, Worker& worker, bool secure,
              std::string peer)
      : state_(state), worker_(worker), share_(worker), secure_(secure),
        peer_(std::move(peer)) {}
  ~HttpSession() override { StopWaiting(); }

  // Out of descriptors, or stopping: the connection goes unanswered.
  void Shed() override {
    StopWaiting();
    derived().Abort();
  }

 protected:
  Derived& derived() { return static_cast<Derived&>(*this); }

  void DoRead() {
    if (state_.stopping) return derived().Close();
    parser_.emplace();
    // Above the limit, so that CheckHead, which knows the exact size,
    // decides every header up to it.
    parser_->header_limit(static_cast<std::uint32_t>(2 * kHeaderLimit));
    parser_->body_limit(kBodyLimit);
    worker_.waiting.push_back(derived().shared_from_this());
    waiting_at_ = std::prev(worker_.waiting.end());
    waiting_ = true;
    beast::get_lowest_layer(derived().stream())
        .expires_after(state_.idle_timeout);
    http::async_read_header(derived().stream(), buffer_, *parser_,
                            [self = derived().shared_from_this()](
                                beast::error_code error, std::size_t bytes) {
                              self->OnHeader(error, bytes);
                            });
  }

 private:
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
  void OnReadError(beast::error_code error) {
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

  void OnHeader(beast::error_code error, std::size_t bytes) {
    StopWaiting();
    if (error) return OnReadError(error);
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
      beast::get_lowest_layer(derived().stream())
          .expires_after(state_.idle_timeout);
      return net::async_write(
          derived().stream(), net::buffer(kContinue, sizeof kContinue - 1),
          [self = derived().shared_from_this()](beast::error_code error,
                                                std::size_t) {
            if (error) return self->derived().Abort();
            self->ReadBody();
          });
    }
    ReadBody();
  }

  // The body, read whole and dropped (GET and HEAD have no use for one),
  // so that the next request starts where the client put it.
  void ReadBody() {
    beast::get_lowest_layer(derived().stream())
        .expires_after(state_.idle_timeout);
    http::async_read(derived().stream(), buffer_, *parser_,
                     [self = derived().shared_from_this()](
                         beast::error_code error, std::size_t) {
                       if (error) return self->OnReadError(error);
                       self->OnRequest();
                     });
  }

  void OnRequest() {
    ResponsePlan plan;
    try {
      plan = PlanResponse(state_.site, head_);
    } catch (const std::exception&) {
      plan = ErrorPlan(500, RootDirectory());
    }
    Respond(std::move(plan));
  }

  // Hosts the filter for one response: raises send-response and the
  // raw-data notification for the header block.
  void Respond(ResponsePlan plan) {
    out_ = std::make_unique<Outgoing>(plan.head_only);
    ApplyCoding(&plan);
    HeaderFields fields = ResponseFields(plan, head_.version, state_.stopping,
                                         std::time(nullptr));
    out_->coder.SetFields(plan.body_size, &fields);
    const std::string head = SerializeHead(plan.status, fields);

    RequestSettings settings;
    settings.app_physical_path = plan.app_directory;
    settings.secure_port = secure_;
    // One system allocation per 64 KB of held response, not one per chunk.
    settings.arena_memory = true;
    // The filter's records are written from its blocks, not joined first.
    settings.keep_memory_until_destroyed = true;
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

  // --gzip and --chunked code the response before the filter sees it, as the
  // platform's server applies its own compression and chunking. A page to
  // compress is read whole and sent from memory.
  void ApplyCoding(ResponsePlan* plan) {
    CodingRequest request{plan->status, plan->content_type, plan->body_size,
                          head_.accept_encoding, head_.version == 11};
    out_->coder = ResponseCoder(state_.coding, request);
    if (!out_->coder.compresses()) return;
    if (plan->file.valid()) {
      // From the descriptor the lookup opened, like every other body.
      std::string page(static_cast<std::size_t>(plan->body_size), '\0');
      std::size_t got = 0;
      while (got < page.size()) {
        const ssize_t n = pread(plan->file.get(), &page[got], page.size() - got,
                                static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      page.resize(got);
      plan->text = std::move(page);
      plan->file = FileHandle();
    }
    out_->coder.Compress(&plan->text);
    plan->body_size = plan->text.size();
  }

  // Raises notifications until the filter lets bytes out (then writes them
  // and comes back) or the response is done.
  void Pump() {
    for (;;) {
      if (!out_->client.empty()) return WritePending();
      switch (out_->stage) {
        case Outgoing::Stage::kBody:
          if (out_->body_left == 0 || out_->client.lost()) {
            out_->stage = Outgoing::Stage::kEnd;
            // The last chunk, unless the body was cut short: the client
            // must then see it end early.
            if (!out_->coder.End().empty() && !out_->plan.head_only &&
                !out_->client.lost() && !out_->body_short)
              out_->request->SendRawData(out_->coder.End());
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
    char* data = nullptr;
    std::size_t got = 0;
    if (!out_->plan.file.valid()) {
      // From the text itself, which nothing reads again: the filter may
      // change a chunk in place, as it may a server's send buffer.
      std::string& text = out_->plan.text;
      const auto at = static_cast<std::size_t>(out_->offset);
      got = at < text.size() ? std::min(size, text.size() - at) : 0;
      data = got ? &text[at] : nullptr;
    } else {
      // One buffer for every chunk of the connection: the filter copies what
      // it holds, and what it lets through is copied into the queue. From
      // the descriptor the lookup opened: the file that was checked,
      // whatever its name means by now.
      if (!chunk_) chunk_.reset(new char[state_.chunk_size]);
      data = chunk_.get();
      ssize_t n;
      do {
        n = pread(out_->plan.file.get(), data, size,
                  static_cast<off_t>(out_->offset));
      } while (n < 0 && errno == EINTR);
      got = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (got == 0) {
      // The file shrank since its length was sent: end the response here;
      // the connection closes, so the client sees it cut short.
      out_->body_short = true;
      out_->body_left = 0;
      return;
    }
    out_->offset += got;
    out_->body_left -= got;
    // The chunk is the server's own send buffer: the filter gets it as is.
    FilterCall call(share_.worker());
    if (out_->coder.chunked()) {
      std::string piece = out_->coder.Piece(std::string_view(data, got));
      out_->request->SendRawData(&piece[0], piece.size());
    } else {
      out_->request->SendRawData(data, got);
    }
  }

  void WritePending() {
    out_->client.Take(&out_->writing);
    buffers_.clear();
    for (std::string_view piece : out_->writing.pieces)
      buffers_.emplace_back(piece.data(), piece.size());
    beast::get_lowest_layer(derived().stream())
        .expires_after(state_.idle_timeout);
    net::async_write(derived().stream(), buffers_,
                     [self = derived().shared_from_this()](
                         beast::error_code error, std::size_t) {
                       self->OnWrite(error);
                     });
  }

  void OnWrite(beast::error_code error) {
    if (error) {
      out_->client.MarkLost();
    } else {
      for (std::string_view piece : out_->writing.pieces)
        out_->framing.Observe(piece);
    }
    Pump();
  }

  void Finish() {
    const ResponsePlan& plan = out_->plan;
    state_.log.Line(peer_ + " " + plan.method + " " + Printable(plan.target) +
                    " " + std::to_string(plan.status) + " " +
                    std::to_string(out_->framing.bytes_sent()));
    // Keep the connection only when the client can find where this
    // response ended, whatever the filter did to it.
    const bool keep = plan.keep_alive && !state_.stopping &&
                      !out_->client.lost() && !out_->body_short &&
                      out_->framing.Complete();
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
  Worker& worker_;
  WorkerShare share_;
  bool secure_;
  std::string peer_;
  bool waiting_ = false;  // in worker_.waiting, at waiting_at_
  std::list<std::weak_ptr<Waiting>>::iterator waiting_at_;
  std::optional<http::request_parser<http::string_body>> parser_;
  RequestHead head_;
  std::unique_ptr<Outgoing> out_;
  std::vector<net::const_buffer> buffers_;  // out_->writing's, for the write
  std::unique_ptr<char[]> chunk_;           // state_.chunk_size bytes
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

// The connections this process can hold: its descriptor limit less those
// it already uses and those each request in flight needs.
unsigned ConnectionCapacity(unsigned threads) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return std::numeric_limits<unsigned>::max();
  std::error_code error;
  unsigned in_use = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end;
       !error && it != end; it.increment(error))
    ++in_use;
  if (error || in_use == 0) in_use = 32;  // no /proc: a guess that is ample
  const std::uint64_t reserved =
      std::uint64_t{in_use} + 2u * threads + kSpareDescriptors;
  if (limit.rlim_cur <= reserved + 1) return 1;
  return static_cast<unsigned>(std::min<std::uint64_t>(
      limit.rlim_cur - reserved, std::numeric_limits<unsigned>::max()));
}

// Accepts connections on one address and starts a session for each, on the
// worker that holds fewest connections. Runs on the control loop. When the
// process holds all the connections it can, or accept finds no descriptor,
// it closes the connections that have waited longest for a request and
// pauses before it accepts again, rather than retrying at once.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& control, std::deque<Worker>& workers,
           ServerState& state, ssl::context* tls, unsigned max_connections)
      : workers_(workers),
        acceptor_(control),
        pause_(control),
        state_(state),
        tls_(tls),
        max_connections_(max_connections ? max_connections
                                         : std::numeric_limits<unsigned>::max()) {}

  // `option` names the option that gave the address, for the message.
  void Open(const ListenAddress& address, const std::string& option) {
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
      throw ServeError(CannotListenMessage(
          where, option,
          error.category() == boost::system::system_category() ? error.value()
                                                               : 0,
          error.message()));
  }

  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }

  // `capacity`: the connections the process can hold (ConnectionCapacity).
  void Start(unsigned capacity) {
    capacity_ = capacity;
    Accept();
  }

  // On the control loop.
  void Stop() {
    beast::error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
  }

 private:
  Worker& LeastBusy() {
    loads_.clear();
    for (const Worker& worker : workers_)
      loads_.push_back(
          WorkerLoad{worker.call_began_ns.load(std::memory_order_relaxed),
                     worker.sessions.load(std::memory_order_relaxed)});
    return workers_[ChooseWorker(loads_)];
  }

  unsigned Connections() const {
    unsigned total = 0;
    for (const Worker& worker : workers_) total += worker.sessions;
    return total;
  }

  void Accept() {
    if (!acceptor_.is_open()) return;
    if (Connections() >= capacity_) return Starve("connections", kShedPause);
    acceptor_.async_accept([self = shared_from_this()](beast::error_code error,
                                                       tcp::socket socket) {
      if (error == net::error::operation_aborted) return;
      if (!error && self->Connections() >= self->max_connections_) {
        self->Turn(std::move(socket));
      } else if (!error) {
        self->StartSession(std::move(socket));
      } else if (error == net::error::no_descriptors ||
                 error == boost::system::errc::too_many_files_open ||
                 error == boost::system::errc::too_many_files_open_in_system ||
                 error == net::error::no_buffer_space ||
                 error == net::error::no_memory) {
        return self->Starve("file descriptors", kAcceptPause);
      }
      // Other failures (a connection reset before it was taken) leave the
      // listener as it was.
      self->Accept();
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
    // A response's last segment goes at once rather than wait for the
    // client's acknowledgement of the one before (Nagle's algorithm).
    socket.set_option(tcp::no_delay(true), error);
    if (tls_)
      std::make_shared<SslSession>(std::move(socket), *tls_, state_, worker,
                                   std::move(peer))
          ->Run();
    else
      std::make_shared<PlainSession>(std::move(socket), state_, worker,
                                     std::move(peer))
          ->Run();
  }

  // One connection too many: told so, without reading its request, when
  // it is plain HTTP (a TLS client would need the handshake first).
  void Turn(tcp::socket socket) {
    static constexpr char kBusy[] =
        "HTTP/1.1 503 Service Unavailable\r\nServer: tagsmith\r\n"
        "Content-Type: text/plain\r\nContent-Length: 24\r\n"
        "Retry-After: 1\r\nConnection: close\r\n\r\n"
        "503 Service Unavailable\n";
    beast::error_code ignored;
    if (!tls_) {
      // A fresh socket's send buffer takes these bytes at once; never wait.
      socket.non_blocking(true, ignored);
      socket.write_some(net::buffer(kBusy, sizeof kBusy - 1), ignored);
      socket.shutdown(tcp::socket::shutdown_send, ignored);
    }
    socket.close(ignored);
  }

  // Makes room and accepts again after `pause`; says so once an episode
  // (one that ends after a second without need).
  void Starve(const char* what, std::chrono::milliseconds pause) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_starved_ > std::chrono::seconds(1))
      state_.log.Line(std::string("out of ") + what +
                      ": closing connections that wait for a request and "
                      "pausing new ones");
    last_starved_ = now;
    for (Worker& worker : workers_)
      net::post(worker.io, [&worker] { ShedWaiting(worker, false); });
    pause_.expires_after(pause);
    pause_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->Accept();
    });
  }

  std::deque<Worker>& workers_;
  tcp::acceptor acceptor_;
  net::steady_timer pause_;
  ServerState& state_;
  ssl::context* tls_;
  unsigned capacity_ = 0;
  const unsigned max_connections_;
  std::chrono::steady_clock::time_point last_starved_{};
  std::vector<WorkerLoad> loads_;  // LeastBusy's, kept to reuse its storage
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
  // Accepting and the stop signal have a thread of their own, so that
  // neither waits for a filter call on a worker.
  net::io_context control{1};
  std::deque<Worker> workers(threads);
  ServerState state{filter, site, options.chunk_size,
                    std::chrono::seconds(options.idle_timeout_seconds),
                    RequestLog(log), options.coding};

  ssl::context tls(ssl::context::tls_server);
  std::vector<std::shared_ptr<Listener>> listeners;
  listeners.push_back(
      std::make_shared<Listener>(control, workers, state, nullptr,
                                 options.max_connections));
  listeners.back()->Open(options.listen, "--listen");
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
    listeners.push_back(
        std::make_shared<Listener>(control, workers, state, &tls,
                                   options.max_connections));
    listeners.back()->Open(*options.tls_listen, "--tls-listen");
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

  // The stop: no new connection, no new request; connections waiting for
  // one are closed, requests in flight have the grace period to finish.
  // A worker that is still in a filter call after it cannot be joined, so
  // the process ends without it.
  net::signal_set signals(control, SIGINT, SIGTERM);
  net::steady_timer poll(control);
  std::chrono::steady_clock::time_point deadline;
  std::function<void()> await_idle = [&] {
    unsigned left = 0;
    for (const Worker& worker : workers) left += worker.sessions;
    if (left == 0) {
      for (Worker& worker : workers) worker.io.stop();
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      state.log.Line("stopping now: " + std::to_string(left) +
                     " connection(s) still busy after " +
                     std::to_string(options.stop_grace_seconds) + " s");
      std::fflush(nullptr);
      std::_Exit(0);
    }
    poll.expires_after(kStopPoll);
    poll.async_wait([&](beast::error_code error) {
      if (!error) await_idle();
    });
  };
  signals.async_wait([&](beast::error_code error, int) {
    if (error) return;
    state.log.Line("stopping");
    state.stopping = true;
    for (auto& listener : listeners) listener->Stop();
    for (Worker& worker : workers)
      net::post(worker.io, [&worker] { ShedWaiting(worker, true); });
    deadline = std::chrono::steady_clock::now() +
               std::chrono::seconds(options.stop_grace_seconds);
    await_idle();
  });
  // Asio opens an event loop's own descriptors (epoll, eventfd, timerfd)
  // with its first I/O object: open the workers' now, so that the count of
  // descriptors in use includes them. Counted after everything else that
  // holds one (listeners, the signal set), so that the connections never
  // take the descriptors a request in flight needs.
  for (Worker& worker : workers) net::steady_timer opens_reactor(worker.io);
  const unsigned capacity = ConnectionCapacity(threads);
  for (auto& listener : listeners) listener->Start(capacity);

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
  for (Worker& worker : workers) pool.emplace_back(run, std::ref(worker.io));
  // The control loop ends after the stop: the signal set, the listeners
  // and the stop's own timer are then done.
  run(control);
  for (std::thread& thread : pool) thread.join();
}

}  // namespace tagsmith::host
