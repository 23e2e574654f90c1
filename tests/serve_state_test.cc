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

// Short lines (one write each, no lock held between threads) and lines too
// long for that, from two threads at once: every line whole, in its order.
TEST(RequestLog, KeepsEveryLineWholeFromSeveralThreads) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  constexpr int kLines = 2000;
  {
    RequestLog log(file);
    auto writer = [&log](char letter, std::size_t size) {
      for (int i = 0; i < kLines; ++i)
        log.Line(std::to_string(i) + " " + std::string(size, letter));
    };
    std::thread a(writer, 'a', 40);
    std::thread b(writer, 'b', RequestLog::kAtomicLine * 2);
    a.join();
    b.join();
  }
  std::rewind(file);
  std::vector<char> buffer(8 * RequestLog::kAtomicLine);
  int next[2] = {0, 0};
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), file)) {
    const std::string line(buffer.data());
    // "<time> <number> <letters>\n"
    const std::size_t space = line.find(' '),
                      second = line.find(' ', space + 1);
    ASSERT_NE(second, std::string::npos) << line;
    const char letter = line[second + 1];
    ASSERT_TRUE(letter == 'a' || letter == 'b') << line;
    const std::size_t size = letter == 'a' ? 40 : RequestLog::kAtomicLine * 2;
    EXPECT_EQ(line.substr(second + 1), std::string(size, letter) + "\n");
    EXPECT_EQ(std::stoi(line.substr(space + 1)), next[letter - 'a']++);
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
  std::fclose(file);
}

}  // namespace
}  // namespace tagsmith::host
