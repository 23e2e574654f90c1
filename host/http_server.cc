// The web server behind `tagsmith serve`; see http_server.h.
//
// Each worker thread runs an io_context of its own, and each connection
// lives on one of them for its whole life (serve_session.h), so that a
// request is served without handing work between threads (on a small
// machine those hand-offs, each a wake-up and a lock, cost more than the
// second thread gains). A filter call runs on its connection's worker and
// holds that worker's other connections until it returns; so connections
// are accepted on a thread of their own, and a new one goes to a worker
// that is not inside a filter call whenever there is one, else to the one
// whose call began last. Pages to compress are read and compressed on
// coding threads of their own, outside every worker.
//
// The listeners, the signals and the stop run on a control loop of their
// own on the calling thread, so that a worker stuck in a filter call can
// neither stop the server from accepting elsewhere nor from stopping.
#include "host/http_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "host/held_budget.h"
#include "host/listen_address.h"
#include "host/platform.h"
#include "host/serve_session.h"
#include "host/serve_state.h"
#include "host/worker_choice.h"

namespace tagsmith::host {

namespace http = boost::beast::http;

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

namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

// How long accepting pauses when the process is out of descriptors, and
// how soon it looks again after closing idle connections to make room.
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::chrono::milliseconds kShedPause{10};
// Descriptors kept free beyond the connections: the file and the filter's
// configuration read of each request in flight, and some to spare.
constexpr unsigned kSpareDescriptors = 8;
// How often a stopping server looks whether its last request has ended,
// and how long before the end of the grace it stops waiting, to exit.
constexpr std::chrono::milliseconds kStopPoll{20};
constexpr std::chrono::milliseconds kExitAllowance{500};

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
    try {
      std::string peer = PeerName(socket);
      if (tls_)
        std::make_shared<SslSession>(std::move(socket), *tls_, state_, worker,
                                     std::move(peer))
            ->Run();
      else
        std::make_shared<PlainSession>(std::move(socket), state_, worker,
                                       std::move(peer))
            ->Run();
    } catch (const std::bad_alloc&) {
      // No memory for the session: told so, as one connection too many is.
      state_.log.Line("error: no memory for a new connection: answered 503");
      if (socket.is_open()) Turn(std::move(socket));
    }
  }

  // One connection too many: told so, without reading its request, when
  // it is plain HTTP (a TLS client would need the handshake first).
  void Turn(tcp::socket socket) {
    beast::error_code ignored;
    if (!tls_) {
      // A fresh socket's send buffer takes these bytes at once; never wait.
      socket.non_blocking(true, ignored);
      socket.write_some(
          net::buffer(kUnavailableResponse.data(), kUnavailableResponse.size()),
          ignored);
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
  // Before the workers: sessions that their loops destroy give back to it.
  HeldBudget held(options.max_held_bytes
                      ? *options.max_held_bytes
                      : DefaultHeldLimit(platform::PhysicalMemory()));
  std::deque<Worker> workers(threads);
  // Half the cores compress, so that the workers keep the rest.
  net::thread_pool coding_threads(
      std::max(1u, std::thread::hardware_concurrency() / 2));
  ServerState state{filter,
                    site,
                    options.chunk_size,
                    std::chrono::seconds(options.idle_timeout_seconds),
                    RequestLog(log),
                    options.coding,
                    held,
                    coding_threads};

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
  state.log.Line("holding at most " + std::to_string(held.limit()) +
                 " bytes of responses at once");
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
                     " connection(s) still busy at the end of the " +
                     std::to_string(options.stop_grace_seconds) + " s grace");
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
    // The process must be gone by the end of the grace, its own exit
    // (giving back all its memory) included.
    deadline = std::chrono::steady_clock::now() +
               std::chrono::seconds(options.stop_grace_seconds) -
               kExitAllowance;
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
