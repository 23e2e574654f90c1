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
// The listeners (serve_listener.h), the signals and the stop
// (serve_stop.h) run on a control loop of their own on the calling thread,
// so that a worker stuck in a filter call can neither stop the server from
// accepting elsewhere nor from stopping.
#include "commands/serve/http_server.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <csignal>
#include <deque>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "commands/serve/serve_listener.h"
#include "commands/serve/serve_state.h"
#include "commands/serve/serve_stop.h"
#include "commands/serve/tls_files.h"
#include "host/held_budget.h"
#include "host/platform.h"
#include "host/server_heap.h"

namespace tagsmith::host {

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

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
  // sendfile has no MSG_NOSIGNAL: a client gone mid-file must cost only
  // its connection (EPIPE), not the process.
  std::signal(SIGPIPE, SIG_IGN);
  KeepFreedHeap();
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
  listeners.push_back(std::make_shared<Listener>(
      control, workers, state, nullptr, options.max_connections));
  listeners.back()->Open(options.listen, "--listen");
  if (options.tls_listen) {
    UseTlsFiles(&tls, options.tls_cert, options.tls_key);
    listeners.push_back(std::make_shared<Listener>(
        control, workers, state, &tls, options.max_connections));
    listeners.back()->Open(*options.tls_listen, "--tls-listen");
  }

  for (const Application& app : site.applications())
    state.log.Line("serving " + app.directory + " at " + app.prefix);
  state.log.Line("holding at most " + std::to_string(held.limit()) +
                 " bytes of responses at once");
  state.log.Line("listening on " + UrlFor("http", listeners[0]->endpoint()));
  if (options.tls_listen)
    state.log.Line("listening on " + UrlFor("https", listeners[1]->endpoint()));

  // A worker without connections must keep running until the stop.
  std::vector<net::executor_work_guard<net::io_context::executor_type>> busy;
  for (Worker& worker : workers)
    busy.push_back(net::make_work_guard(worker.io));

  ServeStop stop(control, workers, state, listeners,
                 options.stop_grace_seconds);
  stop.Arm();
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
