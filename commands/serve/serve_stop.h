// The stop of `tagsmith serve` on SIGINT or SIGTERM: no new connection, no
// new request; connections waiting for one are closed, requests in flight
// have the grace period to finish. A worker still in a filter call after
// it cannot be joined, so the process then ends without it. Runs on the
// control loop; RunServer owns it, the workers, the state and the
// listeners, which all outlive it.
#ifndef TAGSMITH_COMMANDS_SERVE_SERVE_STOP_H_
#define TAGSMITH_COMMANDS_SERVE_SERVE_STOP_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <vector>

#include "commands/serve/serve_listener.h"
#include "commands/serve/serve_state.h"

namespace tagsmith::host {

class ServeStop {
 public:
  ServeStop(boost::asio::io_context& control, std::deque<Worker>& workers,
            ServerState& state,
            const std::vector<std::shared_ptr<Listener>>& listeners,
            unsigned grace_seconds);
  ServeStop(const ServeStop&) = delete;
  ServeStop& operator=(const ServeStop&) = delete;

  // Waits for the signal on the control loop.
  void Arm();

 private:
  void Begin();
  // Stops the workers once the last connection has gone, or exits at the
  // end of the grace.
  void AwaitIdle();

  std::deque<Worker>& workers_;
  ServerState& state_;
  const std::vector<std::shared_ptr<Listener>>& listeners_;
  const unsigned grace_seconds_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer poll_;
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_SERVE_STOP_H_
