// Which worker of `tagsmith serve` a new connection goes to. A connection
// stays on its worker, and a worker inside a filter call serves nothing
// else until the call returns, so the choice looks at how long each
// worker's current call has lasted as well as how many connections it
// holds. Plain values in, an index out; the caller owns the workers.
#ifndef TAGSMITH_COMMANDS_SERVE_WORKER_CHOICE_H_
#define TAGSMITH_COMMANDS_SERVE_WORKER_CHOICE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tagsmith::host {

// How a worker looks to the listener at one moment.
struct WorkerLoad {
  // When its current filter call began, in steady-clock nanoseconds; 0
  // when it is inside none.
  std::int64_t call_began_ns = 0;
  unsigned sessions = 0;
};

// The worker outside any filter call, else the one whose call began last
// (a call that has lasted long may last longer still; one just begun, like
// the end of a response that has already been written, is over in
// microseconds); among equals, the one holding fewest connections, then
// the first. REQUIRES: `loads` is not empty.
std::size_t ChooseWorker(const std::vector<WorkerLoad>& loads);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_WORKER_CHOICE_H_
