#include "filter/filter_entry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "buffer/response_chain.h"
#include "tests/filter_harness.h"

namespace {

TEST(FilterEntry, RegistersDescriptionRevisionAndFlags) {
  HTTP_FILTER_VERSION version;
  std::memset(&version, 0x5A, sizeof(version));
  version.dwServerFilterVersion = 0x00050000;
  EXPECT_EQ(FillFilterVersion(&version), TRUE);
  EXPECT_STREQ(version.lpszFilterDesc, "Tagsmith Version 1.13");
  EXPECT_EQ(version.lpszFilterDesc[22], 0x5A) << "22 bytes copied, no more";
  EXPECT_EQ(version.dwFilterVersion, 0x00060000u);
  EXPECT_EQ(version.dwFlags, 0x000204C3u);
  EXPECT_EQ(version.dwServerFilterVersion, 0x00050000u) << "left alone";
}

// A bare context whose callbacks must not be called.
HTTP_FILTER_CONTEXT QuietContext(void* slot) {
  HTTP_FILTER_CONTEXT pfc{};
  pfc.pFilterContext = slot;
  return pfc;
}

TEST(FilterEntry, EveryNotificationAnswersNextNotification) {
  int marker = 0;
  for (DWORD type : {0x1u, 0x2u, 0x20u, 0x100u, 0x200u, 0x800u, 0x1000u,
                     0x4000u, 0x8000u, 0xFFFFFFFFu}) {
    HTTP_FILTER_CONTEXT pfc = QuietContext(&marker);
    EXPECT_EQ(DispatchNotification(&pfc, type, nullptr),
              DWORD{SF_STATUS_REQ_NEXT_NOTIFICATION});
    EXPECT_EQ(pfc.pFilterContext, &marker) << "type " << type << " is ignored";
  }
  HTTP_FILTER_CONTEXT pfc = QuietContext(&marker);
  EXPECT_EQ(DispatchNotification(&pfc, SF_NOTIFY_SEND_RESPONSE, nullptr),
            DWORD{SF_STATUS_REQ_NEXT_NOTIFICATION});
  EXPECT_EQ(pfc.pFilterContext, nullptr) << "a new response starts empty";
  EXPECT_EQ(DispatchNotification(&pfc, SF_NOTIFY_END_OF_REQUEST, nullptr),
            DWORD{SF_STATUS_REQ_NEXT_NOTIFICATION})
      << "nothing was sent: returns at once";
}

// A server whose client and allocator the test sees, driving the filter
// notification by notification.
struct Server {
  HTTP_FILTER_CONTEXT pfc{};
  std::string client;
  std::vector<std::unique_ptr<char[]>> blocks;
  int variableLookups = 0;
  // SF_REQ_DISABLE_NOTIFICATIONS calls for raw data; each is refused, so
  // the filter must go on as if the server had no such call.
  int rawDataStops = 0;

  Server() {
    pfc.ServerContext = this;
    pfc.AllocMem = [](HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) -> VOID* {
      auto* self = static_cast<Server*>(pfc->ServerContext);
      self->blocks.push_back(std::make_unique<char[]>(size));
      return self->blocks.back().get();
    };
    pfc.WriteClient = [](HTTP_FILTER_CONTEXT* pfc, LPVOID data, LPDWORD count,
                         DWORD) -> BOOL {
      static_cast<Server*>(pfc->ServerContext)->Raw(data, *count);
      return TRUE;
    };
    pfc.GetServerVariable = [](HTTP_FILTER_CONTEXT* pfc, LPSTR, LPVOID,
                               LPDWORD) -> BOOL {
      ++static_cast<Server*>(pfc->ServerContext)->variableLookups;
      return FALSE;
    };
    pfc.ServerSupportFunction = [](HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE type,
                                   PVOID, ULONG_PTR value1, ULONG_PTR) -> BOOL {
      if (type == SF_REQ_DISABLE_NOTIFICATIONS &&
          value1 == SF_NOTIFY_SEND_RAW_DATA)
        ++static_cast<Server*>(pfc->ServerContext)->rawDataStops;
      return FALSE;
    };
  }
  // Raises the raw-data notification; returns what it left for the client.
  DWORD Raw(void* data, DWORD count) {
    HTTP_FILTER_RAW_DATA raw{data, count, count, 0};
    DispatchNotification(&pfc, SF_NOTIFY_SEND_RAW_DATA, &raw);
    client.append(static_cast<const char*>(raw.pvInData), raw.cbInData);
    return raw.cbInData;
  }
  DWORD Raw(std::string bytes) { return Raw(bytes.data(), bytes.size()); }
  void End() { DispatchNotification(&pfc, SF_NOTIFY_END_OF_REQUEST, nullptr); }
  void Start() { DispatchNotification(&pfc, SF_NOTIFY_SEND_RESPONSE, nullptr); }
};

TEST(FilterEntry, HoldsChunksUntilEndThenPassesOwnWrites) {
  // A candidate with its own account (no closing body tag, so it leaves
  // untouched).
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Tagsmith: UA-1\r\n";
  Server server;
  server.Start();
  EXPECT_EQ(server.Raw(head), 0u);
  EXPECT_EQ(server.Raw(""), 0u);
  EXPECT_EQ(server.Raw("\r\nbody"), 0u);
  EXPECT_EQ(server.client, "") << "nothing reaches the client before the end";

  const ResponseChain* chain = ChainOf(&server.pfc);
  ASSERT_NE(chain, nullptr);
  ASSERT_NE(chain->head, nullptr);
  EXPECT_EQ(chain->head->next, chain->tail) << "the empty chunk is not held";
  EXPECT_EQ(chain->tail->next, nullptr);

  server.End();
  EXPECT_EQ(server.client, head + "\r\nbody");
  EXPECT_EQ(chain->head->prev, chain->head) << "closed";

  // After the end: raw data passes untouched, a second end sends nothing.
  EXPECT_EQ(server.Raw("late"), 4u);
  server.End();
  EXPECT_EQ(server.client, head + "\r\nbodylate");

  // The next response on the connection starts a new chain.
  server.Start();
  EXPECT_EQ(ChainOf(&server.pfc), nullptr);
  EXPECT_EQ(server.Raw(head + "\r\n"), 0u);
  server.End();
  EXPECT_EQ(server.client, head + "\r\nbodylate" + head + "\r\n");
}

// Held until the header block is in; then a response its headers rule out
// goes at once: what was held, then the chunk that completed the block,
// then every later chunk, untouched. A candidate, or a response whose
// headers never end, is held to the end of the request as before.
TEST(FilterEntry, LetsGoAsSoonAsTheHeadersRuleItOut) {
  constexpr int kHeld = -1;
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    int letGoAt;  // the chunk that completes the block; kHeld: never
    // Server variables read before the let-go: a candidate asks for its
    // directory, to read its configuration (no account: let go too).
    int lookups = 0;
  } cases[] = {
      {"404 on its first line",
       {"HTTP/1.1 404 Not Found\r\n", "Content-Type: text/html\r\n\r\n",
        "</body>"},
       0},
      {"status line split", {"HTTP/1.1 4", "04 Not Found\r", "\n\r\nbody"}, 1},
      {"text/plain, block ends on a seam",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n", "\r", "\nbody",
        "more"},
       1},
      {"headers and body in one chunk",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nbody and", " more"},
       0},
      {"2001", {"HTTP/1.1 2001 OK\r\n", "\r\n"}, 0},
      {"starts with CR", {"\r\nHTTP/1.1 200 OK\r\n", "\r\n"}, 0},
      {"LF after 200 runs the status line on",
       {"HTTP 200\n\r\n", "Content-Type: text/plain\r\n\r\n", "x"},
       1},
      {"coding no filter splices into",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: "
        "br\r\n",
        "\r\n\x8b\x02"},
       1,
       1},
      {"candidate without an account",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<body>", "</body>"},
       0,
       1},
      {"candidate",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Tagsmith: "
        "A\r\n\r\n<p>",
        "</p>"},
       kHeld},
      {"candidate, split in the blank line",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Tagsmith: A\r\n\r",
        "\n</p>"},
       kHeld},
      {"headers never end",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n", "no end\n"},
       kHeld},
  };
  for (const auto& k : cases) {
    Server server;
    server.Start();
    std::string sent;
    for (int i = 0; i < static_cast<int>(k.chunks.size()); ++i) {
      sent += k.chunks[i];
      const bool passes = k.letGoAt != kHeld && i >= k.letGoAt;
      EXPECT_EQ(server.Raw(k.chunks[i]), passes ? k.chunks[i].size() : 0u)
          << k.name << ", chunk " << i;
      EXPECT_EQ(server.client, passes ? sent : "") << k.name << ", chunk " << i;
    }
    server.End();
    EXPECT_EQ(server.client, sent) << k.name;
    EXPECT_EQ(server.rawDataStops, k.letGoAt != kHeld ? 1 : 0) << k.name;
    if (k.letGoAt != kHeld) {
      EXPECT_EQ(server.variableLookups, k.lookups) << k.name;
    }
  }
}

TEST(FilterEntry, AppendKeepsSendOrderOverManyChunks) {
  Server server;
  server.Start();
  std::string sent;
  for (int i = 0; i < 5000; ++i) {
    const std::string chunk = std::to_string(i) + ",";
    sent += chunk;
    server.Raw(chunk);
  }
  server.End();
  EXPECT_EQ(server.client, sent);
}

// The configuration is looked for only for candidate pages.
TEST(FilterEntry, OnlyHtml200PagesLookForTheConfiguration) {
  const struct {
    std::string response;
    int lookups;
  } cases[] = {
      {"HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n</body>", 0},
      {"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n</body>", 0},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", 0},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n</body>", 1},
  };
  for (const auto& k : cases) {
    Server server;
    server.Start();
    server.Raw(k.response);
    server.End();
    EXPECT_EQ(server.variableLookups, k.lookups) << k.response;
    EXPECT_EQ(server.client, k.response) << "no account: untouched";
  }
}

}  // namespace
