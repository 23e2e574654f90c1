// See serve_stop.h.
#include "commands/serve/serve_stop.h"

#include <boost/asio/post.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tagsmith::host {

namespace {

// How often a stopping server looks whether its last request has ended,
// and how long before the end of the grace it stops waiting, to exit.
constexpr std::chrono::milliseconds kStopPoll{20};
constexpr std::chrono::milliseconds kExitAllowance{500};

}  // namespace

ServeStop::ServeStop(boost::asio::io_context& control,
                     std::deque<Worker>& workers, ServerState& state,
                     const std::vector<std::shared_ptr<Listener>>& listeners,
                     unsigned grace_seconds)
    : workers_(workers),
      state_(state),
      listeners_(listeners),
      grace_seconds_(grace_seconds),
      signals_(control, SIGINT, SIGTERM),
      poll_(control) {}

void ServeStop::Arm() {
  signals_.async_wait([this](boost::system::error_code error, int) {
    if (!error) Begin();
  });
}

void ServeStop::Begin() {
  state_.log.Line("stopping");
  state_.stopping = true;
  for (const auto& listener : listeners_) listener->Stop();
  for (Worker& worker : workers_)
    boost::asio::post(worker.io, [&worker] { ShedWaiting(worker, true); });
  // The process must be gone by the end of the grace, its own exit (giving
  // back all its memory) included.
  deadline_ = std::chrono::steady_clock::now() +
              std::chrono::seconds(grace_seconds_) - kExitAllowance;
  AwaitIdle();
}

void ServeStop::AwaitIdle() {
  unsigned left = 0;
  for (const Worker& worker : workers_) left += worker.sessions;
  if (left == 0) {
    for (Worker& worker : workers_) worker.io.stop();
    return;
  }
  if (std::chrono::steady_clock::now() >= deadline_) {
    state_.log.Line("stopping now: " + std::to_string(left) +
                    " connection(s) still busy at the end of the " +
                    std::to_string(grace_seconds_) + " s grace");
    std::fflush(nullptr);
    std::_Exit(0);
  }
  poll_.expires_after(kStopPoll);
  poll_.async_wait([this](boost::system::error_code error) {
    if (!error) AwaitIdle();
  });
}

}  // namespace tagsmith::host
