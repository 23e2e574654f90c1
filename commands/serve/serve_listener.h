// The listeners of `tagsmith serve`: each accepts connections on one
// address and starts a session for each on a worker's event loop. The
// server owns the listeners, the workers and the state; a listener owns
// its acceptor and pause timer, and hands each accepted socket to the
// session it starts.
#ifndef TAGSMITH_COMMANDS_SERVE_SERVE_LISTENER_H_
#define TAGSMITH_COMMANDS_SERVE_SERVE_LISTENER_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "commands/serve/http_server.h"
#include "commands/serve/serve_state.h"
#include "commands/serve/worker_choice.h"

namespace tagsmith::host {

// The connections this process can hold: its descriptor limit less those
// it already uses and those each request in flight needs, with `threads`
// worker loops.
unsigned ConnectionCapacity(unsigned threads);

// Accepts connections on one address and starts a session for each, on the
// worker that holds fewest connections. Runs on the control loop. When the
// process holds all the connections it can, or accept finds no descriptor,
// it closes the connections that have waited longest for a request and
// pauses before it accepts again, rather than retrying at once.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(boost::asio::io_context& control, std::deque<Worker>& workers,
           ServerState& state, boost::asio::ssl::context* tls,
           unsigned max_connections)
      : workers_(workers),
        acceptor_(control),
        pause_(control),
        state_(state),
        tls_(tls),
        max_connections_(max_connections
                             ? max_connections
                             : std::numeric_limits<unsigned>::max()) {}

  // `option` names the option that gave the address, for the message.
  void Open(const ListenAddress& address, const std::string& option);

  boost::asio::ip::tcp::endpoint endpoint() const {
    return acceptor_.local_endpoint();
  }

  // `capacity`: the connections the process can hold (ConnectionCapacity).
  void Start(unsigned capacity) {
    capacity_ = capacity;
    Accept();
  }

  // On the control loop.
  void Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
  }

 private:
  Worker& LeastBusy();
  unsigned Connections() const;
  void Accept();

  // The worker is chosen when the connection has arrived, so that one that
  // went into a long filter call meanwhile is passed over.
  void StartSession(boost::asio::ip::tcp::socket accepted);

  // One connection too many: told so, without reading its request, when
  // it is plain HTTP (a TLS client would need the handshake first).
  void Turn(boost::asio::ip::tcp::socket socket);

  // Makes room and accepts again after `pause`; says so once an episode
  // (one that ends after a second without need).
  void Starve(const char* what, std::chrono::milliseconds pause);

  std::deque<Worker>& workers_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;
  ServerState& state_;
  boost::asio::ssl::context* tls_;
  unsigned capacity_ = 0;
  const unsigned max_connections_;
  std::chrono::steady_clock::time_point last_starved_{};
  std::vector<WorkerLoad> loads_;  // LeastBusy's, kept to reuse its storage
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_SERVE_LISTENER_H_
