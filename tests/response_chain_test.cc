// The chain as the server sees it: whatever the seams and whichever
// allocation is refused, a response that is not tagged reaches the client
// byte for byte.
#include "buffer/response_chain.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/filter_harness.h"

namespace tagsmith::testing {
namespace {

std::vector<std::size_t> RandomCuts(std::mt19937& rng, std::size_t size) {
  std::vector<std::size_t> cuts(rng() % 12);
  for (auto& cut : cuts) cut = size == 0 ? 0 : rng() % (size + 1);
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

std::string RandomBytes(std::mt19937& rng, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

TEST(ResponseChain, PassesAnyResponseUnchangedAcrossRandomSeams) {
  std::mt19937 rng(20261209);
  const std::vector<std::string> shapes = {
      Response("Content-Type: image/png\r\n", "\x89PNG</body>"),
      Response("Content-Type: text/html\r\n", "<body></body>",
               "HTTP/1.1 404 Not Found"),
      Response("Content-Type: text/html\r\n", "no closing tag"),
      "",
      "\r\n",
      "HTTP/1.1 200 OK\r\n",
  };
  for (int round = 0; round < 300; ++round) {
    std::string response = round < static_cast<int>(shapes.size())
                               ? shapes[round]
                               : RandomBytes(rng, rng() % 400);
    FilterRun run;
    run.cuts = RandomCuts(rng, response.size());
    EXPECT_EQ(Filter(response, run).client, response) << "round " << round;
  }
}

TEST(ResponseChain, RefusedAllocationLosesNothing) {
  const std::string response =
      Response("Content-Type: text/plain\r\nContent-Length: 12\r\n",
               "hello world\n");
  for (const std::vector<std::size_t>& cuts :
       std::vector<std::vector<std::size_t>>{
           {}, {5}, {0, 17, 17, 30}, {1, 2, 3, 4, 5, 6, 7, 8, 40, 55}}) {
    FilterRun run;
    run.cuts = cuts;
    const std::uint64_t allocs = Filter(response, run).allocs;
    ASSERT_GT(allocs, 0u);
    for (std::uint64_t n = 1; n <= allocs + 1; ++n) {
      run.failAlloc = n;
      EXPECT_EQ(Filter(response, run).client, response)
          << "allocation " << n << " refused, " << cuts.size() << " cuts";
    }
  }
}

}  // namespace
}  // namespace tagsmith::testing
