// Where `tagsmith serve` puts a new connection.
#include "commands/serve/worker_choice.h"

#include <gtest/gtest.h>

#include <vector>

namespace tagsmith::host {
namespace {

TEST(ChooseWorker, PrefersNoCallThenTheCallBegunLastThenFewestConnections) {
  struct Case {
    const char* name;
    std::vector<WorkerLoad> loads;  // {call began at (0: none), sessions}
    std::size_t chosen;
  };
  const Case cases[] = {
      {"one worker", {{0, 5}}, 0},
      {"fewest connections", {{0, 3}, {0, 1}, {0, 2}}, 1},
      {"a tie goes to the first", {{0, 1}, {0, 1}}, 0},
      {"outside a call beats fewer connections", {{100, 0}, {0, 9}}, 1},
      {"the call begun last: the long one is passed over",
       {{100, 1}, {5000, 1}},
       1},
      {"the same, the other way round", {{5000, 1}, {100, 0}}, 0},
      {"calls begun together: fewest connections", {{700, 4}, {700, 2}}, 1},
      {"every worker in a call, one free among three",
       {{100, 0}, {0, 7}, {200, 0}},
       1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseWorker(c.loads), c.chosen) << c.name;
}

}  // namespace
}  // namespace tagsmith::host
