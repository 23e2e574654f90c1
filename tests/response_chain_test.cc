// The chain as the server sees it: whatever the seams and whichever
// allocation is refused, a response that is not tagged reaches the client
// byte for byte.
#include "buffer/response_chain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
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

// A long page takes a block for many chunks, not one for each: a 2 MiB
// page asks AllocMem 83 times in chunks of 512 bytes and 69 in chunks of
// 8 KiB (with blocks of 4 KiB at most it asked 522 and 259 times).
TEST(ResponseChain, LongPageTakesFewBlocks) {
  const std::string response =
      Response("Content-Type: text/html\r\nX-Tagsmith: UA-1\r\n",
               "<body>" + std::string(2 << 20, 'x') + "</body>");
  for (const std::size_t size : {512, 8192}) {
    FilterRun run;
    for (std::size_t at = size; at < response.size(); at += size)
      run.cuts.push_back(at);
    const Result result = Filter(response, run);
    EXPECT_GT(result.client.size(), response.size()) << size;
    EXPECT_LT(result.allocs, 100u) << size;
  }
}

// Chunks of one size fill each block whole: none is split over two
// records (two copies and two notes), and the chain keeps every byte.
TEST(ResponseChain, ChunksOfOneSizeAreNotSplit) {
  for (const std::size_t size : {100, 512, 3000, 8192, 20000, 70000}) {
    std::vector<std::unique_ptr<char[]>> blocks;
    HTTP_FILTER_CONTEXT pfc{};
    pfc.ServerContext = &blocks;
    pfc.AllocMem = [](HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) -> VOID* {
      auto* held = static_cast<decltype(blocks)*>(pfc->ServerContext);
      return held->emplace_back(std::make_unique<char[]>(size)).get();
    };
    std::string sent;
    for (int i = 0; sent.size() < (3u << 20); ++i) {
      std::string chunk(size, static_cast<char>('a' + i % 26));
      HTTP_FILTER_RAW_DATA raw{chunk.data(), static_cast<DWORD>(size), 0, 0};
      ASSERT_EQ(AppendChunk(&pfc, &raw), AppendResult::kHeld) << size;
      sent += chunk;
    }
    std::string held;
    for (const ChunkNode* n = ChainOf(&pfc)->head; n != nullptr; n = n->next) {
      EXPECT_EQ(n->length % size, 0u) << size << " at " << held.size();
      held.append(n->data, n->length);
    }
    EXPECT_EQ(held, sent) << size;
    EXPECT_LT(blocks.size(), 150u) << size;
  }
}

TEST(ResponseChain, RefusedAllocationLosesNothing) {
  // A response let go after its headers, and a candidate held to the end
  // (no closing body tag: it leaves untouched).
  for (const std::string type : {"text/plain", "text/html"}) {
    const std::string response =
        Response("Content-Type: " + type +
                     "\r\nX-Tagsmith: UA-1\r\nContent-Length: 12\r\n",
                 "hello world\n");
    for (const std::vector<std::size_t>& cuts :
         std::vector<std::vector<std::size_t>>{
             {}, {5}, {0, 17, 17, 30}, {1, 2, 3, 4, 5, 6, 7, 8, 40, 55}}) {
      FilterRun run;
      run.cuts = cuts;
      const std::uint64_t allocs = Filter(response, run).allocs;
      // Sent whole, the response let go is never held at all.
      if (!cuts.empty() || type == "text/html") {
        ASSERT_GT(allocs, 0u) << type;
      }
      for (std::uint64_t n = 1; n <= allocs + 1; ++n) {
        run.refuseAlloc = n;
        EXPECT_EQ(Filter(response, run).client, response)
            << type << ", allocation " << n << " refused, " << cuts.size()
            << " cuts";
      }
    }
  }
}

// What the server's allocator holds while a response is on its way: for a
// response its headers rule out, no more than the part of the header
// block that came before the chunk completing it (and the records that
// hold it), however long the body; nothing at all when the block comes in
// one chunk. A candidate is held whole.
TEST(ResponseChain, HoldsNoMoreThanTheHeaderBlockOfAResponseLetGo) {
  const std::string body(1 << 20, 'b');
  const std::string blocks[] = {
      Response("Content-Type: application/pdf\r\nContent-Length: 1048576\r\n",
               ""),
      Response("Content-Type: text/html\r\n", "", "HTTP/1.1 404 Not Found"),
      // the candidate
      Response("Content-Type: text/html\r\nX-Tagsmith: UA-1\r\n", ""),
      Response("Content-Type: text/html\r\n", ""),  // no account
  };
  for (const std::string& block : blocks) {
    const bool candidate = &block == &blocks[2];
    for (std::size_t cut = 0; cut < block.size(); cut += 7) {
      host::RequestSettings settings;
      host::StringSink client;
      host::StandInRequest request(LinkedFilter(), settings, client);
      request.SendResponse();
      // The block in two chunks (one when cut is 0), the second carrying
      // the body's first bytes, then the body in 64 KiB chunks.
      if (cut > 0) request.SendRawData(block.substr(0, cut));
      request.SendRawData(block.substr(cut) + body.substr(0, 100));
      for (std::size_t at = 100; at < body.size(); at += 65536) {
        request.SendRawData(body.substr(at, 65536));
      }
      const std::size_t held = request.memory().bytes_held();
      request.EndOfRequest();
      EXPECT_EQ(client.bytes(), block + body);
      if (candidate) {
        EXPECT_GE(held, block.size() + body.size()) << "cut " << cut;
        continue;
      }
      const std::size_t records =
          cut == 0 ? 0 : sizeof(ResponseChain) + sizeof(ChunkNode);
      EXPECT_LE(held, cut + records) << block << "cut " << cut;
      EXPECT_LT(held, block.size() + records) << block << "cut " << cut;
    }
  }
}

// One response holds at most kMaxHeldBytes: a candidate that grows past it
// goes out as it came, untagged; one that fits is tagged.
TEST(ResponseChain, ACandidatePastTheBoundGoesOutUntagged) {
  AppDir app("[ga1]\nAccount=UA-BOUND-1\n");
  const std::string head = Response("Content-Type: text/html\r\n", "");
  for (const std::uint64_t size : {kMaxHeldBytes, kMaxHeldBytes + 1}) {
    std::string response = head + "<body>";
    response.resize(size - 7, 'x');
    response += "</body>";
    FilterRun run = InApp(app.path());
    for (std::size_t cut = 1 << 20; cut < response.size(); cut += 1 << 20) {
      run.cuts.push_back(cut);
    }
    const std::string out = Filter(response, run).client;
    if (size == kMaxHeldBytes) {
      EXPECT_GT(out.size(), response.size()) << "the page that fits is tagged";
    } else {
      EXPECT_TRUE(out == response) << "past the bound: untouched";
    }
  }
}

// What one response holds, its records and the view of its framing
// included, stays within twice its bytes and a constant at any chunk size:
// a page sent plain in chunks of each size, and framed in chunks of each
// size, each chunk's size line, data and CRLF sent apart. All are tagged.
// A page's own account, gathered from the records it spans, may not take
// a response past the bound either: that one leaves untagged and whole.
TEST(ResponseChain, HoldsAtMostTwiceItsBytesAtAnyChunkSize) {
  AppDir app("[ga1]\nAccount=UA-HELD-1\n");
  const std::string page = "<body>" + std::string(1 << 18, 'x') + "</body>";
  for (const bool framed : {false, true}) {
    for (const std::size_t size : {1, 2, 7, 64, 8192}) {
      std::vector<std::string> chunks{
          Response(std::string("Content-Type: text/html\r\n") +
                       (framed ? "Transfer-Encoding: chunked\r\n" : ""),
                   "")};
      for (std::size_t at = 0; at < page.size(); at += size) {
        char line[16];
        std::snprintf(line, sizeof line, "%zx\r\n",
                      page.substr(at, size).size());
        if (framed)
          chunks.insert(chunks.end(), {line, page.substr(at, size), "\r\n"});
        if (!framed) chunks.push_back(page.substr(at, size));
      }
      if (framed) chunks.push_back("0\r\n\r\n");
      std::size_t bytes = 0;
      for (const std::string& chunk : chunks) bytes += chunk.size();
      const HeldResult held = FilterHeld(chunks, InApp(app.path()));
      std::printf("%s, chunks of %zu: %zu bytes, %.3f times as many held\n",
                  framed ? "framed" : "plain", size, bytes,
                  static_cast<double>(held.allocBytes + held.heapPeak) / bytes);
      EXPECT_GT(held.client.size(), bytes) << size;
      EXPECT_LE(held.allocBytes + held.heapPeak, 2 * bytes + kHeldMemorySlack)
          << size;
    }
  }
  for (const std::size_t length : {100000, 3000000}) {
    const std::string in = Response("Content-Type: text/html\r\nX-Tagsmith: " +
                                        std::string(length, 'U') + "\r\n",
                                    "<body></body>");
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < in.size(); at += 64)
      chunks.push_back(in.substr(at, 64));
    const HeldResult held = FilterHeld(chunks, FilterRun{});
    EXPECT_EQ(held.client == in, length > 1000000) << length;
    EXPECT_LE(held.allocBytes, 2 * in.size() + kHeldMemorySlack) << length;
  }
}

}  // namespace
}  // namespace tagsmith::testing
