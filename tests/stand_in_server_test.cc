// The stand-in server's mechanics, driven by filters defined here: a scripted
// filter whose every step a test chooses, and a holding filter that withholds
// every chunk and writes it all back at the end of the request (what the real
// filter does), so no filter library is needed.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dlfcn.h>
#include <gnu/libc-version.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <list>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/chunks.h"
#include "host/filter_module.h"
#include "host/request_memory.h"
#include "host/stand_in_server.h"
#include "tests/test_support.h"

namespace tagsmith::host {
namespace {

constexpr DWORD kBothPorts = SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT;
constexpr DWORD kResponseEvents = SF_NOTIFY_SEND_RESPONSE |
                                  SF_NOTIFY_SEND_RAW_DATA |
                                  SF_NOTIFY_END_OF_REQUEST;
constexpr DWORD kSR = SF_NOTIFY_SEND_RESPONSE;
constexpr DWORD kRAW = SF_NOTIFY_SEND_RAW_DATA;
constexpr DWORD kEND = SF_NOTIFY_END_OF_REQUEST;

HTTP_FILTER_RAW_DATA* Raw(void* record) {
  return static_cast<HTTP_FILTER_RAW_DATA*>(record);
}

// ---- The scripted filter -------------------------------------------------

// One notification as the scripted filter saw it on arrival.
struct Seen {
  DWORD type;
  bool record_null;
  std::string bytes;  // raw data only
  void* slot;         // pFilterContext
  void* server_context;
  int depth;  // 2 when raised inside a WriteClient call
};

struct Script {
  DWORD flags = kBothPorts | kResponseEvents | SF_NOTIFY_ORDER_DEFAULT;
  BOOL accept = TRUE;
  std::function<void(HTTP_FILTER_CONTEXT*, DWORD, void*, int depth)> on_notify;
  int version_calls = 0;
  DWORD offered_revision = 0;
  std::vector<Seen> seen;
  int depth = 0;
};

// Plain entry points cannot carry state; each test sets this.
Script* g_script = nullptr;

BOOL WINAPI ScriptedGetFilterVersion(HTTP_FILTER_VERSION* version) {
  ++g_script->version_calls;
  g_script->offered_revision = version->dwServerFilterVersion;
  version->dwFilterVersion = HTTP_FILTER_REVISION;
  std::strcpy(version->lpszFilterDesc, "scripted filter");
  version->dwFlags = g_script->flags;
  return g_script->accept;
}

DWORD WINAPI ScriptedHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type,
                                    void* record) {
  Script& script = *g_script;
  Seen seen{type,
            record == nullptr,
            {},
            pfc->pFilterContext,
            pfc->ServerContext,
            script.depth + 1};
  if (type == kRAW && record)
    seen.bytes.assign(static_cast<char*>(Raw(record)->pvInData),
                      Raw(record)->cbInData);
  script.seen.push_back(seen);
  ++script.depth;
  if (script.on_notify) script.on_notify(pfc, type, record, script.depth);
  --script.depth;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

class StandInServerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_script = &script_; }
  void TearDown() override { g_script = nullptr; }

  FilterModule LoadScripted() {
    return FilterModule::FromEntryPoints(
        {ScriptedGetFilterVersion, ScriptedHttpFilterProc});
  }
  std::string Serve(const std::vector<std::string_view>& chunks,
                    const RequestSettings& settings = {}) {
    FilterModule filter = LoadScripted();
    StringSink client;
    ServeResponse(filter, settings, chunks, client);
    return client.bytes();
  }
  std::vector<DWORD> SeenTypes() const {
    std::vector<DWORD> types;
    for (const Seen& seen : script_.seen) types.push_back(seen.type);
    return types;
  }

  Script script_;
};

// ---- The holding filter (keeps all its state in the request) -------------

struct Held {
  Held* next;
  DWORD size;  // the bytes follow the record
};

struct HoldState {
  Held* first;
  Held* last;
  bool passing;   // an allocation failed: let everything through
  bool flushing;  // our own writes coming back: let them through
};

void WriteHeld(HTTP_FILTER_CONTEXT* pfc, HoldState* state) {
  state->flushing = true;
  for (Held* held = state->first; held; held = held->next) {
    DWORD count = held->size;
    pfc->WriteClient(pfc, held + 1, &count, 0);
  }
  state->first = state->last = nullptr;
  state->flushing = false;
}

BOOL WINAPI HoldingGetFilterVersion(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = HTTP_FILTER_REVISION;
  std::strcpy(version->lpszFilterDesc, "holding filter");
  version->dwFlags = kBothPorts | kResponseEvents;
  return TRUE;
}

DWORD WINAPI HoldingHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type,
                                   void* record) {
  auto* state = static_cast<HoldState*>(pfc->pFilterContext);
  if (type == kSR) {
    pfc->pFilterContext = nullptr;
  } else if (type == kEND) {
    if (state) WriteHeld(pfc, state);
  } else if (type == kRAW && !(state && (state->passing || state->flushing))) {
    HTTP_FILTER_RAW_DATA* raw = Raw(record);
    if (!state) {
      state = static_cast<HoldState*>(pfc->AllocMem(pfc, sizeof *state, 0));
      if (!state) return SF_STATUS_REQ_NEXT_NOTIFICATION;  // nothing held yet
      *state = HoldState{nullptr, nullptr, false, false};
      pfc->pFilterContext = state;
    }
    auto* held =
        static_cast<Held*>(pfc->AllocMem(pfc, sizeof(Held) + raw->cbInData, 0));
    if (!held) {
      WriteHeld(pfc, state);
      state->passing = true;
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    held->next = nullptr;
    held->size = raw->cbInData;
    std::memcpy(held + 1, raw->pvInData, raw->cbInData);
    (state->last ? state->last->next : state->first) = held;
    state->last = held;
    raw->cbInData = 0;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

FilterModule LoadHolding() {
  return FilterModule::FromEntryPoints(
      {HoldingGetFilterVersion, HoldingHttpFilterProc});
}

std::vector<std::size_t> RandomOffsets(std::size_t length, std::mt19937& rng) {
  return test_support::RandomOffsets(length, rng, 6);
}

// ---- Loading ---------------------------------------------------------------

TEST_F(StandInServerTest, GetFilterVersionIsCalledOnceWithTheServerRevision) {
  script_.flags = kRAW | SF_NOTIFY_NONSECURE_PORT;
  FilterModule filter = LoadScripted();
  StringSink client;
  ServeResponse(filter, RequestSettings{}, {"x", "y"}, client);
  ServeResponse(filter, RequestSettings{}, {"z"}, client);
  EXPECT_EQ(script_.version_calls, 1);
  EXPECT_EQ(script_.offered_revision, HTTP_FILTER_REVISION);
  EXPECT_EQ(filter.flags(), kRAW | SF_NOTIFY_NONSECURE_PORT);
  EXPECT_EQ(filter.description(), "scripted filter");
}

TEST_F(StandInServerTest, FilterThatRefusesToLoadIsALoadError) {
  script_.accept = FALSE;
  try {
    LoadScripted();
    FAIL() << "a filter returning FALSE was accepted";
  } catch (const FilterLoadError& error) {
    EXPECT_NE(std::string(error.what()).find("GetFilterVersion returned FALSE"),
              std::string::npos)
        << error.what();
  }
}

#ifndef _WIN32
std::string ThisProcessLibc() {
  // A function no sanitizer intercepts: under AddressSanitizer, fputs and
  // its like resolve to the test program itself.
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &info) ||
      !info.dli_fname)
    return "";
  return info.dli_fname;
}

TEST(FilterModuleLoad, FailuresSayWhatIsWrong) {
  const std::string dir = ::testing::TempDir();
  const std::string text_file = dir + "/tagsmith-not-a-library.so";
  std::FILE* file = std::fopen(text_file.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("this is not a shared library\n", file);
  std::fclose(file);
  const std::string libc = ThisProcessLibc();
  ASSERT_FALSE(libc.empty());

  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {dir + "/tagsmith-no-such-file.so", "No such file"},
      {text_file, "cannot load filter library"},
      {dir, "cannot load filter library"},
      {libc, "does not export GetFilterVersion"},
  };
  for (const Case& c : cases) {
    try {
      FilterModule::Load(c.path);
      ADD_FAILURE() << c.path << " loaded";
    } catch (const FilterLoadError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.path), std::string::npos) << message;
      EXPECT_NE(message.find(c.expected), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
}
#endif

TEST_F(StandInServerTest, NotificationsFollowTheFlagsTheFilterAskedFor) {
  struct Case {
    const char* name;
    DWORD flags;
    bool secure;
    std::vector<DWORD> expected_types;
    std::string expected_client;
  };
  const Case cases[] = {
      {"all asked", kBothPorts | kResponseEvents, false, {kSR, kRAW, kEND}, ""},
      {"no raw data", kBothPorts | kSR | kEND, false, {kSR, kEND}, "abc"},
      {"raw data only", kBothPorts | kRAW, false, {kRAW}, ""},
      {"secure port only, plain request",
       SF_NOTIFY_SECURE_PORT | kResponseEvents,
       false,
       {},
       "abc"},
      {"plain port only, secure request",
       SF_NOTIFY_NONSECURE_PORT | kResponseEvents,
       true,
       {},
       "abc"},
      {"secure port only, secure request",
       SF_NOTIFY_SECURE_PORT | kResponseEvents,
       true,
       {kSR, kRAW, kEND},
       ""},
      {"no port named means both",
       kResponseEvents,
       true,
       {kSR, kRAW, kEND},
       ""},
  };
  for (const Case& c : cases) {
    script_ = Script{};
    script_.flags = c.flags;
    // A raised raw-data notification shows in what the client gets.
    script_.on_notify = [](HTTP_FILTER_CONTEXT*, DWORD type, void* record,
                           int) {
      if (type == kRAW) Raw(record)->cbInData = 0;
    };
    RequestSettings settings;
    settings.secure_port = c.secure;
    EXPECT_EQ(Serve({"abc"}, settings), c.expected_client) << c.name;
    EXPECT_EQ(SeenTypes(), c.expected_types) << c.name;
  }
}

// ---- Order of events and the context record ------------------------------

TEST_F(StandInServerTest, OneResponseIsSendResponseThenEachChunkThenEnd) {
  EXPECT_EQ(Serve({"ab", "", "c"}), "abc");
  ASSERT_EQ(SeenTypes(), (std::vector<DWORD>{kSR, kRAW, kRAW, kRAW, kEND}));
  const char* bytes[] = {"", "ab", "", "c", ""};
  for (std::size_t i = 0; i < script_.seen.size(); ++i) {
    EXPECT_EQ(script_.seen[i].bytes, bytes[i]) << i;
    EXPECT_EQ(script_.seen[i].depth, 1) << i;
    EXPECT_EQ(script_.seen[i].record_null, script_.seen[i].type != kRAW) << i;
  }
}

TEST_F(StandInServerTest, ContextRecordCarriesTheServerFields) {
  for (bool secure : {false, true}) {
    script_ = Script{};
    std::string faults;
    script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD, void*, int) {
      if (pfc->cbSize != sizeof(HTTP_FILTER_CONTEXT)) faults += " cbSize";
      if (pfc->Revision != HTTP_FILTER_REVISION) faults += " Revision";
      if ((pfc->fIsSecurePort != 0) != secure) faults += " secure";
      char headers[] = "X-A: b\r\n";
      if (pfc->AddResponseHeaders(pfc, headers, 0) != FALSE)
        faults += " AddResponseHeaders";
      if (pfc->ServerSupportFunction(pfc, SF_REQ_GET_CONNID, nullptr, 0, 0) !=
          FALSE)
        faults += " ServerSupportFunction";
    };
    RequestSettings settings;
    settings.secure_port = secure;
    Serve({"a", "b"}, settings);
    EXPECT_EQ(faults, "") << "secure " << secure;
    ASSERT_EQ(script_.seen.size(), 4u);
    EXPECT_NE(script_.seen[0].server_context, nullptr);
    for (const Seen& seen : script_.seen)
      EXPECT_EQ(seen.server_context, script_.seen[0].server_context);
  }
}

TEST_F(StandInServerTest, FilterSlotIsKeptUntilTheFilterChangesIt) {
  int first = 0, second = 0;
  script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD type, void* record,
                          int) {
    if (type == kSR) pfc->pFilterContext = &first;
    if (type == kRAW && Raw(record)->cbInData == 2)
      pfc->pFilterContext = &second;
  };
  Serve({"a", "bb", "c"});
  std::vector<void*> slots;
  for (const Seen& seen : script_.seen) slots.push_back(seen.slot);
  EXPECT_EQ(slots,
            (std::vector<void*>{nullptr, &first, &first, &second, &second}));
  // A new request starts with an empty slot.
  script_.seen.clear();
  Serve({"a"});
  ASSERT_FALSE(script_.seen.empty());
  EXPECT_EQ(script_.seen[0].slot, nullptr);
}

// ---- Memory ---------------------------------------------------------------

TEST(RequestMemory, RefusesExactlyTheNthCallAndReleasesEverything) {
  // Small and large blocks, enough of them to fill more than one arena.
  std::vector<std::size_t> sizes = {1, 0, 24, 7, 4096, 16384, 16385, 70000};
  for (int i = 0; i < 40; ++i) sizes.push_back(3000 + i);
  for (MemoryLayout layout :
       {MemoryLayout::kExactBlocks, MemoryLayout::kArena}) {
    for (std::uint64_t refuse : {0, 1, 2, 5, 6, 30}) {
      RequestMemory memory(refuse, layout);
      std::vector<std::pair<unsigned char*, std::size_t>> blocks;
      std::size_t expected_bytes = 0;
      for (std::size_t i = 0; i < sizes.size(); ++i) {
        void* block = memory.Allocate(sizes[i]);
        if (i + 1 == refuse) {
          EXPECT_EQ(block, nullptr) << "call " << i + 1;
          continue;
        }
        ASSERT_NE(block, nullptr) << "call " << i + 1 << " refusing " << refuse;
        EXPECT_EQ(
            reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t),
            0u);
        for (const auto& [other, size] : blocks) EXPECT_NE(other, block);
        std::memset(block, static_cast<int>(i), sizes[i]);
        blocks.emplace_back(static_cast<unsigned char*>(block), sizes[i]);
        expected_bytes += sizes[i];
      }
      // No block overlaps another: each still holds its own pattern.
      for (const auto& [block, size] : blocks) {
        if (size == 0) continue;
        const unsigned char mark = block[0];
        EXPECT_EQ(std::count(block, block + size, mark),
                  static_cast<std::ptrdiff_t>(size));
      }
      EXPECT_EQ(memory.calls(), sizes.size());
      if (layout == MemoryLayout::kExactBlocks) {
        EXPECT_EQ(memory.blocks_held(), blocks.size());
      } else {
        EXPECT_LT(memory.blocks_held(), blocks.size() / 4)
            << "blocks share arenas";
      }
      EXPECT_EQ(memory.bytes_held(), expected_bytes);
      // Holds knows every block, asked in any order, and nothing else.
      for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
        EXPECT_TRUE(memory.Holds(it->first, it->second));
      const char elsewhere[8] = {};
      EXPECT_FALSE(memory.Holds(elsewhere, sizeof elsewhere));
      if (layout == MemoryLayout::kExactBlocks && !blocks.empty()) {
        EXPECT_FALSE(memory.Holds(blocks[0].first, blocks[0].second + 1));
      }
      memory.ReleaseAll();
      EXPECT_EQ(memory.blocks_held(), 0u);
      EXPECT_EQ(memory.bytes_held(), 0u);
      if (!blocks.empty()) {
        EXPECT_FALSE(memory.Holds(blocks.back().first, 1));
      }
    }
  }
}

TEST_F(StandInServerTest, AllocMemCountsCallsOverTheWholeRequest) {
  for (std::uint64_t refuse : {1, 3, 5}) {
    script_ = Script{};
    std::vector<bool> refused;
    script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD, void*, int) {
      refused.push_back(pfc->AllocMem(pfc, 16, 0) == nullptr);
    };
    RequestSettings settings;
    settings.refuse_alloc_call = refuse;
    FilterModule filter = LoadScripted();
    StringSink client;
    ServeSummary summary =
        ServeResponse(filter, settings, {"a", "b", "c"}, client);
    EXPECT_EQ(summary.alloc_calls, 5u);
    std::vector<bool> expected(5, false);
    expected[refuse - 1] = true;
    EXPECT_EQ(refused, expected) << "refusing call " << refuse;
  }
}

TEST_F(StandInServerTest, BlocksLastThroughEndOfRequestAndAreThenReleased) {
  StringSink client;
  FilterModule filter = LoadScripted();
  StandInRequest request(filter, RequestSettings{}, client);
  std::vector<unsigned char*> blocks;
  std::size_t held_at_end = 0;
  bool intact_at_end = false;
  script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD type, void*, int) {
    if (type == kEND) {
      held_at_end = request.memory().blocks_held();
      intact_at_end = true;
      for (std::size_t i = 0; i < blocks.size(); ++i)
        intact_at_end &= std::count(blocks[i], blocks[i] + 100,
                                    static_cast<unsigned char>(i + 1)) == 100;
      return;
    }
    auto* block = static_cast<unsigned char*>(pfc->AllocMem(pfc, 100, 0));
    std::memset(block, static_cast<int>(blocks.size() + 1), 100);
    blocks.push_back(block);
  };
  request.SendResponse();
  request.SendRawData("one");
  request.SendRawData("two");
  EXPECT_EQ(request.memory().bytes_held(), 300u);
  request.EndOfRequest();
  EXPECT_EQ(held_at_end, 3u);
  EXPECT_TRUE(intact_at_end);
  EXPECT_EQ(request.memory().blocks_held(), 0u);
  EXPECT_EQ(request.memory().bytes_held(), 0u);
}

// ---- What reaches the client ------------------------------------------------

TEST_F(StandInServerTest, OnlyWhatTheRawDataRecordStillHoldsReachesTheClient) {
  static char other[] = "XYZ";
  using Action = void (*)(HTTP_FILTER_RAW_DATA*);
  struct Case {
    const char* name;
    Action action;
    std::string expected;
  };
  const Case cases[] = {
      {"left alone", [](HTTP_FILTER_RAW_DATA*) {}, "hello world"},
      {"trimmed", [](HTTP_FILTER_RAW_DATA* raw) { raw->cbInData = 3; }, "hel"},
      {"withheld", [](HTTP_FILTER_RAW_DATA* raw) { raw->cbInData = 0; }, ""},
      {"replaced",
       [](HTTP_FILTER_RAW_DATA* raw) {
         raw->pvInData = other;
         raw->cbInData = 3;
       },
       "XYZ"},
  };
  for (const Case& c : cases) {
    // The server's own chunk.
    script_ = Script{};
    script_.on_notify = [&](HTTP_FILTER_CONTEXT*, DWORD type, void* record,
                            int) {
      if (type == kRAW) c.action(Raw(record));
    };
    EXPECT_EQ(Serve({"hello world"}), c.expected) << c.name << " (chunk)";

    // The filter's own write, handed back to it first.
    script_ = Script{};
    char written[] = "hello world";
    BOOL write_result = FALSE;
    HTTP_FILTER_RAW_DATA record_seen{};
    script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD type, void* record,
                            int depth) {
      if (type == kEND) {
        DWORD count = 11;
        write_result = pfc->WriteClient(pfc, written, &count, 0);
      } else if (type == kRAW && depth == 2) {
        record_seen = *Raw(record);
        c.action(Raw(record));
      }
    };
    EXPECT_EQ(Serve({}), c.expected) << c.name << " (WriteClient)";
    EXPECT_EQ(write_result, TRUE) << c.name;
    EXPECT_EQ(SeenTypes(), (std::vector<DWORD>{kSR, kEND, kRAW})) << c.name;
    EXPECT_EQ(record_seen.pvInData, written) << c.name;
    EXPECT_EQ(record_seen.cbInData, 11u) << c.name;
    EXPECT_EQ(record_seen.cbInBuffer, 11u) << c.name;
    EXPECT_EQ(record_seen.dwReserved, 0u) << c.name;
  }
}

// A filter that asks on the second chunk to hear no more raw data: the
// rest passes to the client unseen, end-of-request still comes, and no
// other request of the server is asked of it.
TEST_F(StandInServerTest, DisabledRawDataPassesUnseenForTheRestOfTheRequest) {
  BOOL answers[2] = {TRUE, TRUE};
  script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD type, void*, int) {
    if (type != kRAW || script_.seen.size() != 3) return;
    answers[0] = pfc->ServerSupportFunction(pfc, SF_REQ_GET_CONNID, nullptr,
                                            SF_NOTIFY_SEND_RAW_DATA, 0);
    answers[1] = pfc->ServerSupportFunction(
        pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, SF_NOTIFY_SEND_RAW_DATA, 0);
  };
  EXPECT_EQ(Serve({"a", "b", "c", "d"}), "abcd");
  EXPECT_EQ(SeenTypes(), (std::vector<DWORD>{kSR, kRAW, kRAW, kEND}));
  EXPECT_EQ(answers[0], FALSE);
  EXPECT_EQ(answers[1], TRUE);
  script_ = Script{};
  EXPECT_EQ(Serve({"a", "b"}), "ab");
  EXPECT_EQ(SeenTypes(), (std::vector<DWORD>{kSR, kRAW, kRAW, kEND}))
      << "a new request hears everything again";
}

TEST_F(StandInServerTest,
       FilterMayRewriteAChunkInPlaceWithoutTouchingTheInput) {
  script_.on_notify = [](HTTP_FILTER_CONTEXT*, DWORD type, void* record, int) {
    if (type != kRAW) return;
    char* bytes = static_cast<char*>(Raw(record)->pvInData);
    for (DWORD i = 0; i < Raw(record)->cbInData; ++i)
      bytes[i] = static_cast<char>(bytes[i] - 'a' + 'A');
  };
  const std::string input = "abc";
  EXPECT_EQ(Serve({input}), "ABC");
  EXPECT_EQ(input, "abc");
}

TEST_F(StandInServerTest,
       ClientFailureFailsTheWriteWithoutThrowingIntoTheFilter) {
  struct BrokenClient : ClientSink {
    void Send(std::string_view) override {
      throw std::runtime_error("peer went away");
    }
  } client;
  BOOL write_result = TRUE;
  script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD type, void*, int) {
    if (type != kEND) return;
    char bytes[] = "late";
    DWORD count = 4;
    write_result = pfc->WriteClient(pfc, bytes, &count, 0);
  };
  FilterModule filter = LoadScripted();
  ServeSummary summary = ServeResponse(filter, RequestSettings{}, {}, client);
  EXPECT_EQ(write_result, FALSE);
  EXPECT_EQ(summary.client_error, "peer went away");
}

TEST(HoldingFilter, ResponseArrivesWholeWhicheverAllocationFails) {
  std::mt19937 rng(20240611);
  std::string input;
  for (int i = 0; i < 300; ++i) input += static_cast<char>(rng() & 0xff);
  const FilterModule filter = LoadHolding();
  for (int split = 0; split < 4; ++split) {
    const auto chunks = SplitAt(input, split ? RandomOffsets(input.size(), rng)
                                             : std::vector<std::size_t>{});
    StringSink counting;
    const std::uint64_t calls =
        ServeResponse(filter, RequestSettings{}, chunks, counting).alloc_calls;
    ASSERT_EQ(calls, chunks.size() + 1);
    for (std::uint64_t refuse = 0; refuse <= calls + 1; ++refuse) {
      RequestSettings settings;
      settings.refuse_alloc_call = refuse;
      StringSink client;
      ServeResponse(filter, settings, chunks, client);
      EXPECT_EQ(client.bytes(), input)
          << "split " << split << ", refusing call " << refuse;
    }
  }
}

// Records what it is sent, keeping views of the kept bytes rather than
// copies, as the serve session does.
class ViewingSink : public ClientSink {
 public:
  void Send(std::string_view bytes) override {
    copies_.emplace_back(bytes);
    order_.push_back(std::string_view(copies_.back()));
  }
  void SendKept(std::string_view bytes) override {
    ++kept_;
    order_.push_back(bytes);
  }
  std::string Joined() const {
    std::string all;
    for (std::string_view piece : order_) all.append(piece);
    return all;
  }
  int kept() const { return kept_; }

 private:
  std::list<std::string> copies_;  // stable addresses
  std::vector<std::string_view> order_;
  int kept_ = 0;
};

TEST(HoldingFilter, KeptMemoryIsSentAsViewsThatOutliveTheEndOfRequest) {
  const FilterModule filter = LoadHolding();
  const std::string input = "HTTP/1.1 200 OK\r\n\r\n" + std::string(50000, 'x');
  for (bool keep : {false, true}) {
    RequestSettings settings;
    settings.arena_memory = true;
    settings.keep_memory_until_destroyed = keep;
    ViewingSink client;
    {
      StandInRequest request(filter, settings, client);
      request.SendResponse();
      std::string chunk;
      for (std::size_t at = 0; at < input.size(); at += 7000) {
        chunk = input.substr(at, 7000);  // one buffer, reused
        request.SendRawData(&chunk[0], chunk.size());
      }
      request.EndOfRequest();
      // The held records went out from the filter's blocks, which are still
      // there after the end of the request.
      EXPECT_EQ(client.kept() > 0, keep);
      EXPECT_EQ(request.memory().blocks_held() > 0, keep);
      EXPECT_EQ(client.Joined(), input) << "keep " << keep;
    }
  }
}

TEST(HoldingFilter, RequestsOnSeparateThreadsDoNotMeet) {
  const FilterModule filter = LoadHolding();
  constexpr int kThreads = 4;
  constexpr int kRequests = 50;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&filter, &failures, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int r = 0; r < kRequests; ++r) {
        std::string input(200 + rng() % 200, static_cast<char>('a' + t));
        const auto chunks = SplitAt(input, RandomOffsets(input.size(), rng));
        RequestSettings settings;
        settings.refuse_alloc_call = static_cast<std::uint64_t>(r % 7);
        StringSink client;
        ServeResponse(filter, settings, chunks, client);
        if (client.bytes() != input) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

// ---- Server variables
// ---------------------------------------------------------

TEST_F(StandInServerTest, ApplicationPathLookup) {
  struct Case {
    const char* name;
    std::optional<std::string> app_dir;
    std::string variable;
    DWORD size;
    BOOL expected_result;
    DWORD expected_size;
    std::string expected_buffer;  // the first expected_buffer.size() bytes
  };
  const std::string untouched(16, '#');
  const Case cases[] = {
      {"fits", "/srv/app/", "APPL_PHYSICAL_PATH", 2048, TRUE, 10,
       std::string("/srv/app/\0", 10)},
      {"fits exactly", "/srv/app/", "APPL_PHYSICAL_PATH", 10, TRUE, 10,
       std::string("/srv/app/\0", 10)},
      {"one byte short", "/srv/app/", "APPL_PHYSICAL_PATH", 9, FALSE, 10,
       untouched},
      {"no room", "/srv/app/", "APPL_PHYSICAL_PATH", 0, FALSE, 10, untouched},
      {"no application directory", std::nullopt, "APPL_PHYSICAL_PATH", 2048,
       FALSE, 2048, untouched},
      {"another variable", "/srv/app/", "SERVER_NAME", 2048, FALSE, 2048,
       untouched},
  };
  for (const Case& c : cases) {
    script_ = Script{};
    char buffer[2048];
    std::memset(buffer, '#', sizeof buffer);
    BOOL result = 2;
    DWORD size = c.size;
    script_.on_notify = [&](HTTP_FILTER_CONTEXT* pfc, DWORD type, void*, int) {
      if (type != kSR) return;
      std::string name = c.variable;
      result = pfc->GetServerVariable(pfc, &name[0], buffer, &size);
    };
    RequestSettings settings;
    settings.app_physical_path = c.app_dir;
    Serve({"x"}, settings);
    EXPECT_EQ(result, c.expected_result) << c.name;
    EXPECT_EQ(size, c.expected_size) << c.name;
    EXPECT_EQ(std::string(buffer, c.expected_buffer.size()), c.expected_buffer)
        << c.name;
  }
}

// ---- Cutting a response into chunks -----------------------------------------

TEST(SplitAt, CutsAtEachOffset) {
  struct Case {
    std::string bytes;
    std::vector<std::size_t> offsets;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"abcdef", {}, {"abcdef"}},
      {"", {}, {""}},
      {"abcdef", {2, 4}, {"ab", "cd", "ef"}},
      {"abcdef", {0, 0, 6}, {"", "", "abcdef", ""}},
      {"abcdef", {3, 3, 4}, {"abc", "", "d", "ef"}},
      {"", {0}, {"", ""}},
  };
  for (const Case& c : cases) {
    const auto chunks = SplitAt(c.bytes, c.offsets);
    EXPECT_EQ(std::vector<std::string>(chunks.begin(), chunks.end()),
              c.expected)
        << c.bytes << " cut " << c.offsets.size() << " times";
  }
}

TEST(SplitAt, RejectsDecreasingOffsetsAndOffsetsPastTheEnd) {
  const std::vector<std::size_t> bad[] = {{3, 2}, {7}, {0, 7}, {6, 5}};
  for (const auto& offsets : bad)
    EXPECT_THROW(SplitAt("abcdef", offsets), std::invalid_argument);
}

}  // namespace
}  // namespace tagsmith::host
