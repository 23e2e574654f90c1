// When `tagsmith serve` gives free pages back: after a large release, or a
// smaller one when nothing is held, and not again within the interval.
#include "commands/serve/serve_state.h"

#include <gtest/gtest.h>

namespace tagsmith::host {
namespace {

TEST(MemoryReturn, GivesPagesBackAfterABurstNotAfterEveryPause) {
  using std::chrono::milliseconds;
  constexpr std::uint64_t kMiB = 1 << 20;
  const struct {
    std::uint64_t released, held;
    milliseconds since;
    bool due;
  } cases[] = {
      {64 * kMiB, 1, milliseconds(1000), true},  // a burst, still busy
      {64 * kMiB, 1, milliseconds(10), false},   // a steady load
      {4 * kMiB, 0, milliseconds(1000), true},   // quiet after a while
      {4 * kMiB, 0, milliseconds(10), false},    // a pause under load
      {4 * kMiB, 1, milliseconds(5000), false},  // still held
      {4 * kMiB - 1, 0, milliseconds(5000), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MemoryReturn::Due(c.released, c.held, c.since), c.due)
        << c.released << " " << c.held << " " << c.since.count();
}

}  // namespace
}  // namespace tagsmith::host
