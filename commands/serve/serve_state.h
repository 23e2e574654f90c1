// What the listeners and the sessions of `tagsmith serve` share: the
// server's settings and process-wide objects (the request log, the budget
// for held memory, the coding threads), and each worker thread's event
// loop with the counts by which a new connection is placed. RunServer owns
// all of them; they outlive every session.
#ifndef TAGSMITH_COMMANDS_SERVE_SERVE_STATE_H_
#define TAGSMITH_COMMANDS_SERVE_SERVE_STATE_H_

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "commands/serve/response_coding.h"
#include "commands/serve/static_site.h"
#include "host/filter_module.h"
#include "host/held_budget.h"

namespace tagsmith::host {

// Lines to standard output, whole, from any thread. A line goes out with
// one write to the stream's descriptor: the kernel keeps writes of up to
// kAtomicLine bytes whole, so the workers do not queue on a lock for every
// request; a longer line, or a stream without a descriptor, writes alone.
class RequestLog {
 public:
  // The most bytes a pipe takes in one piece (POSIX's PIPE_BUF at least).
  static constexpr std::size_t kAtomicLine = 512;

  // What the stream still buffers goes first.
  explicit RequestLog(std::FILE* out) : out_(out) { std::fflush(out_); }
  // Each line starts with the time it was written. Never throws: a line
  // that cannot be made for want of memory is not written.
  void Line(std::string_view line) noexcept;

 private:
  std::shared_mutex mutex_;  // shared: lines kept whole by the kernel
  std::FILE* out_;
};

// Gives the heap's free pages back to the system after a burst: once the
// responses have released `kReturnAfter` bytes since it last did, or a
// little less once nothing is held any more; at most once a kInterval.
// Under a steady load the same pages are needed again at once, and
// nothing is held for a moment many times a second: giving pages back each
// time (which flushes every core's address map) and faulting them in again
// cost more than the pages themselves. One thread at a time.
class MemoryReturn {
 public:
  static constexpr std::uint64_t kReturnAfter = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kReturnWhenIdle = std::uint64_t{4} << 20;
  static constexpr std::chrono::seconds kInterval{1};
  // A response has freed `bytes`; `held` is what the budget still lends.
  void Released(std::uint64_t bytes, std::uint64_t held) noexcept;

  // Whether to give pages back, `released` bytes after the last time and
  // `since` after it, with `held` still lent.
  static bool Due(std::uint64_t released, std::uint64_t held,
                  std::chrono::steady_clock::duration since);

 private:
  std::atomic<std::uint64_t> released_{0};
  std::atomic<std::int64_t> last_ns_{0};  // steady clock, of the last return
  std::atomic<bool> busy_{false};
};

struct ServerState {
  const FilterModule& filter;
  const StaticSite& site;
  std::size_t chunk_size;
  std::chrono::seconds idle_timeout;
  RequestLog log;
  CodingOptions coding;
  HeldBudget& held;  // what all responses hold, together
  // Where pages are read whole and compressed (--gzip), so that no worker
  // waits for it.
  boost::asio::thread_pool& coding_threads;
  MemoryReturn memory_return{};
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
  boost::asio::io_context io{1};
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

// Closes the connections of `worker` that have waited longest for a
// request: `all` of them, or half, at least one and at most 16, so that one
// new connection does not cost every idle one. On the worker's thread.
void ShedWaiting(Worker& worker, bool all);

// A request target as it may appear in the log: printable ASCII only.
std::string Printable(std::string_view text);

// The server's answer when it cannot serve a request for want of memory or
// connections, whole, with nothing to allocate.
extern const std::string_view kUnavailableResponse;

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_SERVE_STATE_H_
