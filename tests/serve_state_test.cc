// When `tagsmith serve` gives free pages back to the system.
#include "commands/serve/serve_state.h"

#include <gtest/gtest.h>

namespace tagsmith::host {
namespace {

TEST(MemoryReturn, GivesPagesBackAfterABurstNotAfterEveryPause) {
  using ms = std::chrono::milliseconds;
  constexpr std::uint64_t kMiB = 1 << 20;
  EXPECT_TRUE(MemoryReturn::Due(64 * kMiB, 1, ms(1000)));  // a burst
  EXPECT_FALSE(MemoryReturn::Due(64 * kMiB, 1, ms(10)));   // a steady load
  EXPECT_TRUE(MemoryReturn::Due(4 * kMiB, 0, ms(1000)));   // quiet at last
  EXPECT_FALSE(MemoryReturn::Due(4 * kMiB, 0, ms(10)));    // a pause in load
  EXPECT_FALSE(MemoryReturn::Due(4 * kMiB, 1, ms(5000)));  // still held
  EXPECT_FALSE(MemoryReturn::Due(4 * kMiB - 1, 0, ms(5000)));
}

}  // namespace
}  // namespace tagsmith::host
