// The process's budget for held memory, alone and charged by a request's
// memory.
#include "host/held_budget.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "host/request_memory.h"
#include "host/server_heap.h"

namespace tagsmith::host {
namespace {

#if defined(__GLIBC__)
TEST(KeepFreedHeap, ABlockUnderTheKeptSizeComesFromTheHeapAndStaysThere) {
  KeepFreedHeap();
  // glibc's own thresholds would map a block this large and unmap it again.
  const std::size_t size = kKeptFreeHeap - 2 * 1024 * 1024;
  const std::size_t mapped = mallinfo2().hblks;
  void* block = std::malloc(size);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(mallinfo2().hblks, mapped);
  const std::size_t heap = mallinfo2().arena;
  std::free(block);
  EXPECT_EQ(mallinfo2().arena, heap);
}
#endif

TEST(HeldBudget, RefusesWhatWouldPassTheLimitAndSaysWhenAnEpisodeBegins) {
  // One budget of 100 bytes, step by step: a charge (+) or a refund (-).
  struct Step {
    long long bytes;
    bool charged;  // for a charge: lent
    bool first;    // for a refusal: it begins an episode
    unsigned long long lent;
  } steps[] = {
      {+60, true, false, 60},  {+40, true, false, 100},  {+1, false, true, 100},
      {+1, false, false, 100},                           // one episode
      {-30, true, false, 70},  {+31, false, false, 70},  // still in it
      {-20, true, false, 50},  {+51, false, true, 50},   // half free: new
      {+50, true, false, 100}, {-100, true, false, 0},   {+101, false, true, 0},
      {+0, true, false, 0},    {+100, true, false, 100},
  };
  HeldBudget budget(100);
  unsigned long long refusals = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.bytes);
    if (step.bytes < 0) {
      budget.Refund(static_cast<std::uint64_t>(-step.bytes));
    } else {
      bool first = !step.first;
      EXPECT_EQ(budget.Charge(static_cast<std::uint64_t>(step.bytes), &first),
                step.charged);
      EXPECT_EQ(first, step.first);
      refusals += step.charged ? 0 : 1;
    }
    EXPECT_EQ(budget.lent(), step.lent);
  }
  EXPECT_EQ(budget.refusals(), refusals);
  EXPECT_EQ(DefaultHeldLimit(std::uint64_t{23} << 30), std::uint64_t{1} << 30);
  EXPECT_EQ(DefaultHeldLimit(std::uint64_t{2} << 30), std::uint64_t{512} << 20);
  EXPECT_EQ(DefaultHeldLimit(0), std::uint64_t{256} << 20);
}

TEST(HeldBudget, RequestMemoryChargesItsBlocksAndRefundsThemOnRelease) {
  for (MemoryLayout layout :
       {MemoryLayout::kExactBlocks, MemoryLayout::kArena}) {
    HeldBudget budget(200 * 1024);
    RequestMemory first(0, layout, &budget), second(0, layout, &budget);
    std::size_t taken = 0;
    while (first.Allocate(1000) != nullptr) ++taken;
    // The arena charges whole 64 KiB blocks: three fit, not a fourth.
    EXPECT_EQ(taken,
              layout == MemoryLayout::kArena ? 3u * (65536 / 1008) : 204u);
    EXPECT_EQ(budget.lent(), first.bytes_charged());
    EXPECT_TRUE(first.began_refusal_episode());
    EXPECT_EQ(second.Allocate(64 * 1024), nullptr);
    EXPECT_EQ(second.budget_refusals(), 1u);
    EXPECT_FALSE(second.began_refusal_episode());  // the same episode
    first.ReleaseAll();
    EXPECT_EQ(budget.lent(), 0u);
    EXPECT_NE(second.Allocate(64 * 1024), nullptr);
  }
  // Many requests at once never pass the limit, and give everything back.
  HeldBudget shared(1 << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&shared] {
      for (int round = 0; round < 200; ++round) {
        RequestMemory memory(0, MemoryLayout::kArena, &shared);
        for (int i = 0; i < 20 && memory.Allocate(16384); ++i)
          EXPECT_LE(shared.lent(), shared.limit());
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared.lent(), 0u);
}

}  // namespace
}  // namespace tagsmith::host
