// The choice of a worker for a new connection; see worker_choice.h.
#include "commands/serve/worker_choice.h"

#include <cassert>

namespace tagsmith::host {

namespace {

// Whether `a` is a better place for a new connection than `b`.
bool Freer(const WorkerLoad& a, const WorkerLoad& b) {
  const bool a_in_call = a.call_began_ns != 0;
  const bool b_in_call = b.call_began_ns != 0;
  if (a_in_call != b_in_call) return !a_in_call;
  if (a_in_call && a.call_began_ns != b.call_began_ns)
    return a.call_began_ns > b.call_began_ns;
  return a.sessions < b.sessions;
}

}  // namespace

std::size_t ChooseWorker(const std::vector<WorkerLoad>& loads) {
  assert(!loads.empty());
  std::size_t best = 0;
  for (std::size_t i = 1; i < loads.size(); ++i)
    if (Freer(loads[i], loads[best])) best = i;
  return best;
}

}  // namespace tagsmith::host
