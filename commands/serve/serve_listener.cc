// See serve_listener.h.
#include "commands/serve/serve_listener.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <new>

#include "commands/serve/listen_address.h"
#include "commands/serve/serve_session.h"

namespace tagsmith::host {

namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;

// How long accepting pauses when the process is out of descriptors, and
// how soon it looks again after closing idle connections to make room.
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr std::chrono::milliseconds kShedPause{10};
// Descriptors kept free beyond the connections: the file and the filter's
// configuration read of each request in flight, and some to spare.
constexpr unsigned kSpareDescriptors = 8;

std::string PeerName(const tcp::socket& socket) {
  beast::error_code error;
  const tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return "-";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

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

void Listener::Open(const ListenAddress& address, const std::string& option) {
  beast::error_code error;
  const net::ip::address ip = net::ip::make_address(address.host, error);
  if (error)
    throw ServeError("'" + address.host + "' is not a numeric address");
  const tcp::endpoint endpoint(ip, address.port);
  const std::string where =
      (ip.is_v6() ? "[" + address.host + "]" : address.host) + ":" +
      std::to_string(address.port);
  acceptor_.open(endpoint.protocol(), error);
  if (!error)
    acceptor_.set_option(net::socket_base::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  if (!error) acceptor_.listen(net::socket_base::max_listen_connections, error);
  if (error)
    throw ServeError(CannotListenMessage(
        where, option,
        error.category() == boost::system::system_category() ? error.value()
                                                             : 0,
        error.message()));
}

Worker& Listener::LeastBusy() {
  loads_.clear();
  for (const Worker& worker : workers_)
    loads_.push_back(
        WorkerLoad{worker.call_began_ns.load(std::memory_order_relaxed),
                   worker.sessions.load(std::memory_order_relaxed)});
  return workers_[ChooseWorker(loads_)];
}

unsigned Listener::Connections() const {
  unsigned total = 0;
  for (const Worker& worker : workers_) total += worker.sessions;
  return total;
}

void Listener::Accept() {
  if (!acceptor_.is_open()) return;
  if (Connections() >= capacity_) return Starve("connections", kShedPause);
  acceptor_.async_accept([self = shared_from_this()](beast::error_code error,
                                                     tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (!error && self->Connections() >= self->max_connections_) {
      self->Turn(std::move(socket));
    } else if (!error) {
      // Whatever becomes of this connection, the listener goes on.
      try {
        self->StartSession(std::move(socket));
      } catch (const std::exception&) {
      }
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

void Listener::StartSession(tcp::socket accepted) {
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

void Listener::Turn(tcp::socket socket) {
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

void Listener::Starve(const char* what, std::chrono::milliseconds pause) {
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

}  // namespace tagsmith::host
