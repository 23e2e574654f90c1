// When `tagsmith serve` gives free pages back to the system, and its
// request log from several threads.
#include "commands/serve/serve_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

// Short lines (one write each, no lock held) from two threads and lines
// too long for that from a third, at once: each line whole, in its order.
TEST(RequestLog, KeepsEveryLineWholeFromSeveralThreads) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const std::size_t sizes[] = {40, RequestLog::kAtomicLine * 2, 60};
  int next[3] = {0, 0, 0};
  {
    RequestLog log(file);
    auto writer = [&log, &sizes](int which) {
      for (int i = 0; i < 3000; ++i)
        log.Line(std::to_string(i) + " " +
                 std::string(sizes[which], 'a' + which));
    };
    std::thread a(writer, 0), b(writer, 1), c(writer, 2);
    a.join(), b.join(), c.join();
  }
  std::rewind(file);
  std::vector<char> buffer(8 * RequestLog::kAtomicLine);
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), file)) {
    const std::string line(buffer.data());  // "<time> <number> <letters>\n"
    const std::size_t space = line.find(' '),
                      second = line.find(' ', space + 1);
    ASSERT_TRUE(space == 24 && second != std::string::npos) << line;
    const int which = line[second + 1] - 'a';
    ASSERT_TRUE(which >= 0 && which < 3) << line;
    EXPECT_EQ(line.substr(second + 1),
              std::string(sizes[which], 'a' + which) + "\n");
    EXPECT_EQ(std::stoi(line.substr(space + 1)), next[which]++);
  }
  EXPECT_TRUE(next[0] == 3000 && next[1] == 3000 && next[2] == 3000);
  std::fclose(file);
}

}  // namespace
}  // namespace tagsmith::host
