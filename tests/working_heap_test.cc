// ReserveBuffer at the limit's edges and with each growth refused: the
// bytes held survive, a refusal changes nothing, nothing is left held.
#include "tagging/working_heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/refusing_heap.h"

namespace {

struct Reserve {
  std::size_t more;
  std::size_t limit;
  bool granted;
};

TEST(WorkingHeap, ReservesWithinTheLimitOnly) {
  const std::size_t kMax = static_cast<std::size_t>(-1);
  const std::vector<std::vector<Reserve>> runs = {
      {{0, 0, true}},
      {{1, 0, false}},
      {{10, 10, true}, {1, 10, false}, {0, 10, true}},
      {{4096, 5000, true}, {904, 5000, true}, {1, 5000, false}},
      {{5000, 100000, true}, {5000, 100000, true}, {90000, 100000, true}},
      {{10, kMax, true}, {kMax - 9, kMax, false}, {kMax, kMax, false}},
  };
  for (std::size_t r = 0; r < runs.size(); ++r) {
    RefusingHeap counted;
    const WorkingHeap heap = counted.heap();
    HeapBuffer buffer{nullptr, 0, 0};
    for (const Reserve& step : runs[r]) {
      const HeapBuffer before = buffer;
      const bool granted = ReserveBuffer(heap, &buffer, step.more, step.limit);
      EXPECT_EQ(granted, step.granted) << "run " << r;
      if (!granted) {
        EXPECT_EQ(buffer.bytes, before.bytes);
        EXPECT_EQ(buffer.capacity, before.capacity);
        continue;
      }
      EXPECT_GE(buffer.capacity, buffer.length + step.more);
      EXPECT_LE(buffer.capacity, step.limit > 4096 ? step.limit : 4096);
      // Fill what was reserved, so that a copy that loses bytes shows.
      for (std::size_t i = 0; i < step.more; ++i, ++buffer.length)
        buffer.bytes[buffer.length] = static_cast<char>(buffer.length);
    }
    for (std::size_t i = 0; i < buffer.length; ++i)
      ASSERT_EQ(buffer.bytes[i], static_cast<char>(i)) << "run " << r;
    ReleaseBuffer(heap, &buffer);
    EXPECT_EQ(buffer.bytes, nullptr);
    EXPECT_EQ(counted.held, 0) << "run " << r;
  }
}

TEST(WorkingHeap, EachRefusedGrowthKeepsTheBytesHeld) {
  // Growths at 4096, 8192 and 16384 bytes; each refused in turn.
  for (int refuse = 1; refuse <= 3; ++refuse) {
    RefusingHeap refusing;
    refusing.refuse = refuse;
    const WorkingHeap heap = refusing.heap();
    HeapBuffer buffer{nullptr, 0, 0};
    std::string expected;
    for (std::size_t step = 0; step < 16; ++step) {
      if (!ReserveBuffer(heap, &buffer, 1000, 1 << 20)) continue;
      std::memset(buffer.bytes + buffer.length, 'a' + step, 1000);
      buffer.length += 1000;
      expected.append(1000, static_cast<char>('a' + step));
    }
    EXPECT_EQ(expected.size(), 15000u) << "refused call " << refuse;
    EXPECT_EQ(std::string(buffer.bytes, buffer.length), expected);
    ReleaseBuffer(heap, &buffer);
    EXPECT_EQ(refusing.held, 0);
  }
}

}  // namespace
