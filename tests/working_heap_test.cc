// ReserveBuffer at the limit's edges and with each growth refused: the
// bytes held survive, a refusal changes nothing, nothing is left held.
#include "tagging/working_heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/refusing_heap.h"

TEST(WorkingHeap, GrowsWithinTheLimitAndSurvivesEachRefusal) {
  const std::size_t kMax = static_cast<std::size_t>(-1);
  HeapBuffer edge{nullptr, 0, 0};
  EXPECT_TRUE(ReserveBuffer(ProcessHeap(), &edge, 10, 10));
  edge.length = 10;
  EXPECT_FALSE(ReserveBuffer(ProcessHeap(), &edge, 1, 10));
  EXPECT_FALSE(ReserveBuffer(ProcessHeap(), &edge, kMax - 9, kMax));
  ReleaseBuffer(ProcessHeap(), &edge);
  // Growths at 4096, 8192 and 16384 bytes, each refused in turn (0: none).
  for (int refuse = 0; refuse <= 3; ++refuse) {
    RefusingHeap refusing;
    refusing.refuse = refuse;
    HeapBuffer buffer{nullptr, 0, 0};
    std::string expected;
    for (char step = 0; step < 16; ++step) {
      const char* before = buffer.bytes;
      if (!ReserveBuffer(refusing.heap(), &buffer, 1000, 16000)) {
        EXPECT_EQ(buffer.bytes, before);
        continue;
      }
      std::memset(buffer.bytes + buffer.length, 'a' + step, 1000);
      buffer.length += 1000;
      expected.append(1000, static_cast<char>('a' + step));
    }
    EXPECT_EQ(expected.size(), refuse == 0 ? 16000u : 15000u) << refuse;
    EXPECT_EQ(std::string(buffer.bytes, buffer.length), expected);
    ReleaseBuffer(refusing.heap(), &buffer);
    EXPECT_EQ(refusing.held, 0);
  }
}

TEST(WorkingHeap, TableKeepsItsItemsWhenAGrowthIsRefused) {
  RefusingHeap refusing;
  refusing.refuse = 2;  // the growth from 64 to 128 items
  HeapArray<std::uint64_t> table{nullptr, 0, 0};
  for (std::uint64_t i = 0; i < 64; ++i) {
    ASSERT_TRUE(AppendItem(refusing.heap(), &table, i * 3));
  }
  EXPECT_FALSE(AppendItem(refusing.heap(), &table, std::uint64_t{7}));
  EXPECT_EQ(table.count, 64u);
  EXPECT_TRUE(AppendItem(refusing.heap(), &table, std::uint64_t{192}));
  for (std::uint32_t i = 0; i < table.count; ++i)
    EXPECT_EQ(table.items[i], i * 3);
  ReleaseArray(refusing.heap(), &table);
  EXPECT_EQ(refusing.held, 0);
}
