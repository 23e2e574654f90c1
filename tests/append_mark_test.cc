// Facts scanned with the last chunk read where it lies, moved onto its copy:
// the positions a scan of the held chain finds, wherever the chunks meet.
#include "buffer/append_mark.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tagging/header_scan.h"

namespace {

using Blocks = std::vector<std::unique_ptr<char[]>>;

void* WINAPI Alloc(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
  auto* blocks = static_cast<Blocks*>(pfc->ServerContext);
  return blocks->emplace_back(std::make_unique<char[]>(size)).get();
}

TEST(AppendMark, MovedFactsAreTheHeldChainsOwn) {
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Tagsmith: UA-1-2\r\n"
      "Content-Security-Policy: a\r\nContent-Length: 5\r\n\r\n<b>x";
  const std::size_t end = response.find("\r\n\r\n") + 2;  // the empty line
  for (std::size_t one = 0; one <= end; ++one) {
    for (std::size_t two = one; two <= end; ++two) {
      Blocks blocks;
      HTTP_FILTER_CONTEXT pfc{};
      pfc.ServerContext = &blocks;
      pfc.AllocMem = Alloc;
      std::string chunks[] = {response.substr(0, one),
                              response.substr(one, two - one),
                              response.substr(two)};
      HTTP_FILTER_RAW_DATA raw[3];
      for (int i = 0; i < 3; ++i)
        raw[i] = {chunks[i].data(), static_cast<DWORD>(chunks[i].size()), 0, 0};
      for (int i = 0; i < 2; ++i) AppendChunk(&pfc, &raw[i]);
      ResponseFacts moved = ReadWithArrivingChunk(
          ChainOf(&pfc), raw[2],
          [](const ChunkNode* head) { return ScanResponseHeaders(head); });
      const AppendMark mark = MarkBeforeAppend(ChainOf(&pfc));
      ASSERT_EQ(AppendChunk(&pfc, &raw[2]), AppendResult::kHeld);
      MoveFactsToHeldCopy(&moved, chunks[2].data(),
                          static_cast<std::uint32_t>(chunks[2].size()),
                          *ChainOf(&pfc), mark);
      const ResponseFacts held = ScanResponseHeaders(ChainOf(&pfc)->head);
      ASSERT_EQ(moved.flags, held.flags);
      const ValueSpan spans[][2] = {{{moved.bodyStart, moved.bodyStart},
                                     {held.bodyStart, held.bodyStart}},
                                    {moved.accountValue, held.accountValue},
                                    {moved.lengthValue, held.lengthValue},
                                    {moved.policies[0], held.policies[0]}};
      for (const auto& pair : spans) {
        EXPECT_TRUE(pair[0].first.pos == pair[1].first.pos &&
                    pair[0].last.pos == pair[1].last.pos)
            << "chunks end at " << one << " and " << two;
      }
    }
  }
}

}  // namespace
