// `tagsmith serve` at its limits, with real clients against a server
// started for each test: what it refuses, clients that are idle, slow or
// gone, names swapped while it serves, and too many connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/serve_site.h"

namespace tagsmith::serve_testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// ---- What the server refuses ------------------------------------------------

TEST_F(ServeTest, RefusesWhatItMustNotServeAndKeepsServing) {
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  const std::string big_header =
      "GET / HTTP/1.1\r\nHost: t\r\nX-Big: " + std::string(20000, 'a') +
      "\r\n\r\n";
  std::string garbage;
  for (int i = 0; i < 300; ++i) garbage += static_cast<char>((i * 37) % 256);
  // A request whose line and headers, blank line included, take `size`.
  auto sized = [](std::size_t size) {
    const std::string start = "GET /notes.txt HTTP/1.1\r\nHost: t\r\nX-Pad: ";
    return start + std::string(size - start.size() - 4, 'p') + "\r\n\r\n";
  };
  struct Case {
    const char* name;
    std::string request;
    int status;
    bool closes;  // the server closes the connection after answering
  } cases[] = {
      {"dot-dot", "GET /../outside/secret.html HTTP/1.1\r\nHost: t\r\n\r\n",
       400, true},
      {"deep dot-dot",
       "GET /sub/../../../../etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"encoded dot-dot",
       "GET /%2e%2e/%2E%2E/etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400, true},
      {"encoded slashes",
       "GET /..%2f..%2f..%2fetc%2fpasswd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"encoded backslashes",
       "GET /..%5c..%5coutside%5csecret.html HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"absolute path", "GET /%2fetc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"double slash", "GET //etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 404,
       false},
      {"redirect to another host", "GET //sub HTTP/1.1\r\nHost: t\r\n\r\n", 301,
       false},
      {"configuration, hard link", "GET /hard.txt HTTP/1.1\r\nHost: t\r\n\r\n",
       404, false},
      {"header of 8 KiB", sized(8192), 200, false},
      {"absolute form",
       "GET http://127.0.0.1/etc/passwd HTTP/1.1\r\nHost: t\r\n\r\n", 400,
       true},
      {"symbolic link out", "GET /link-out.html HTTP/1.1\r\nHost: t\r\n\r\n",
       403, false},
      {"configuration", "GET /tagsmith.config HTTP/1.1\r\nHost: t\r\n\r\n", 404,
       false},
      {"configuration, other case",
       "GET /blog/TAGSMITH.CONFIG HTTP/1.1\r\nHost: t\r\n\r\n", 404, false},
      {"configuration, encoded",
       "GET /tagsmith%2Econfig HTTP/1.1\r\nHost: t\r\n\r\n", 404, false},
      {"other method", "DELETE /index.html HTTP/1.1\r\nHost: t\r\n\r\n", 405,
       false},
      {"HTTP/1.0 closes", "GET /missing HTTP/1.0\r\n\r\n", 404, true},
      {"oversized header", big_header, 431, true},
      {"header a byte over 8 KiB", sized(8193), 431, true},
      {"unknown transfer coding",
       "GET /notes.txt HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: xchunked\r\n"
       "\r\nGET /link-out.html HTTP/1.1\r\nHost: t\r\n\r\n",
       400, true},
      {"no Host", "GET /notes.txt HTTP/1.1\r\n\r\n", 400, true},
      {"two Hosts", "GET /notes.txt HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
       400, true},
      {"unknown expectation",
       "GET /notes.txt HTTP/1.1\r\nHost: t\r\nExpect: 200-ok\r\n\r\n", 417,
       true},
      {"oversized body",
       "GET / HTTP/1.1\r\nHost: t\r\nContent-Length: 10000000\r\n\r\n", 413,
       true},
      {"bad request line", "GET\r\n\r\n", 400, true},
      {"bad version", "GET / HTTP/9\r\n\r\n", 400, true},
      {"bad header", "GET / HTTP/1.1\r\nNo colon here\r\n\r\n", 400, true},
      {"garbage", garbage + "\r\n\r\n", 400, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Send(c.request));
    RawConnection::Response response;
    ASSERT_TRUE(connection.Read(&response));
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.body.find("SECRET"), std::string::npos);
    EXPECT_EQ(response.body.find("root:"), std::string::npos);
    EXPECT_EQ(response.body.find("Account"), std::string::npos);
    if (c.status == 405) {
      EXPECT_EQ(response.Header("Allow"), "GET, HEAD");
    }
    if (c.status == 301) {
      EXPECT_EQ(response.Header("Location"), "/sub/");
    }
    if (c.closes) {
      EXPECT_EQ(response.Header("Connection"), "close");
      std::string rest;
      EXPECT_TRUE(connection.ReadUntilClosed(&rest));
      EXPECT_EQ(rest, "");
    } else {
      // Still open: the next request on it is served.
      ASSERT_TRUE(
          connection.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
      RawConnection::Response next;
      ASSERT_TRUE(connection.Read(&next));
      EXPECT_EQ(next.status, 200);
    }
  }
  const ProgramResult after = Curl({server.Url("/")});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("UA-ROOT-1"), std::string::npos);
}

TEST_F(ServeTest, IdleAndSlowClientsTimeOut) {
  ServerProcess server(Apps());  // --idle-timeout 2
  ASSERT_TRUE(server.started()) << server.Errors();
  using Clock = std::chrono::steady_clock;

  // A client that says nothing, one that stops halfway through its
  // headers, and one that trickles a byte every 300 ms.
  RawConnection idle(server.port(), seconds(10));
  RawConnection half(server.port(), seconds(10));
  RawConnection slow(server.port(), seconds(10));
  ASSERT_TRUE(idle.connected() && half.connected() && slow.connected());
  const auto start = Clock::now();
  ASSERT_TRUE(half.Send("GET / HTTP/1.1\r\nHost: t\r\n"));
  const std::string request = "GET / HTTP/1.1\r\nHost: t\r\n\r\n";
  bool slow_cut = false;
  for (char c : request) {
    if (!slow.Send(std::string(1, c))) {
      slow_cut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // 28 bytes at 300 ms take 8 s: the server gives up after about 2 s.
  std::string rest;
  EXPECT_TRUE(slow.ReadUntilClosed(&rest));
  EXPECT_EQ(rest, "") << "the slow client was answered";
  EXPECT_TRUE(slow_cut || Clock::now() - start >= seconds(8));
  EXPECT_TRUE(idle.ReadUntilClosed(&rest));
  EXPECT_TRUE(half.ReadUntilClosed(&rest));
  EXPECT_EQ(rest, "");
  // The server is fine.
  RawConnection fresh(server.port());
  ASSERT_TRUE(fresh.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  RawConnection::Response response;
  ASSERT_TRUE(fresh.Read(&response));
  EXPECT_EQ(response.status, 200);
}

TEST_F(ServeTest, AClientThatStopsReadingDoesNotHoldTheServer) {
  std::string big = Page("Big", std::string(3 * 1024 * 1024, 'y'));
  WriteFile(root_ + "/big.html", big);
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  // Ask for 20 MB of pages and never read; the server's sends time out.
  std::vector<std::unique_ptr<RawConnection>> stuck;
  for (int i = 0; i < 4; ++i) {
    stuck.push_back(std::make_unique<RawConnection>(server.port()));
    std::string requests;
    for (int j = 0; j < 6; ++j)
      requests += "GET /big.html HTTP/1.1\r\nHost: t\r\n\r\n";
    ASSERT_TRUE(stuck.back()->Send(requests));
  }
  for (int i = 0; i < 3; ++i) {
    const ProgramResult got = Curl({server.Url("/page.html")});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_NE(got.out.find("END-OF-CONTENT"), std::string::npos);
  }
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// A file sent by the kernel to a client that goes away part-way costs only
// that connection.
TEST_F(ServeTest, AClientGoneInTheMiddleOfAFileCostsOnlyItsConnection) {
  WriteFile(root_ + "/big.txt", std::string(8 * 1024 * 1024, 'z'));
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  for (int i = 0; i < 4; ++i) {
    RawConnection gone(server.port());
    ASSERT_TRUE(gone.Send("GET /big.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
    std::string some;
    ASSERT_TRUE(gone.ReadSome(&some, 1000));
  }
  const ProgramResult got = Curl({server.Url("/page.html")});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// A held page read slowly, but steadily, for longer than the idle timeout
// (2 s) arrives whole, and the log counts every byte of it.
TEST_F(ServeTest, ASlowButSteadyReaderOfAHeldPageGetsItWhole) {
  WriteFile(root_ + "/long.html", Page("Long", std::string(24 << 20, 'l')));
  const std::string tagged = BodyOf(
      FilteredByRun(root_, "text/html", ReadFile(root_ + "/long.html"), false));
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.Send("GET /long.html HTTP/1.1\r\nHost: t\r\n\r\n"));
  // 256 KiB every 64 ms: 4 MiB a second, 6 s for the page.
  std::string got, piece;
  ASSERT_TRUE(connection.ReadSome(&got, 4096));
  const std::size_t whole = got.find("\r\n\r\n") + 4 + tagged.size();
  while (got.size() < whole &&
         connection.ReadSome(
             &piece, std::min<std::size_t>(256 * 1024, whole - got.size()))) {
    got += piece;
    std::this_thread::sleep_for(std::chrono::milliseconds(64));
  }
  ASSERT_TRUE(BodyOf(got) == tagged) << got.size() << " bytes came";
  const std::string log = server.Output();
  EXPECT_NE(log.find("GET /long.html 200 " + std::to_string(got.size())),
            std::string::npos)
      << log;
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// Someone who can write to the directory swaps a file and a directory with
// links that lead out while two kept connections fetch them: every answer
// is whole, and none carries a byte from outside.
TEST_F(ServeTest, NamesSwappedDuringRequestsNeverServeOutsideBytes) {
  const std::string inside(300, 'i');
  fs::create_directories(root_ + "/d");
  WriteFile(root_ + "/f.txt", inside);
  WriteFile(root_ + "/d/secret.txt", inside);
  WriteFile(top_.path() + "/outside/secret.txt", "SECRET-OUTSIDE\n");
  fs::create_symlink(top_.path() + "/outside/secret.txt", root_ + "/flink");
  fs::create_directory_symlink(top_.path() + "/outside", root_ + "/dlink");
  ServerProcess server(Apps());
  ASSERT_TRUE(server.started()) << server.Errors();

  std::atomic<bool> done{false};
  std::thread swapper([&] {
    while (!done) {
      renameat2(AT_FDCWD, (root_ + "/f.txt").c_str(), AT_FDCWD,
                (root_ + "/flink").c_str(), RENAME_EXCHANGE);
      renameat2(AT_FDCWD, (root_ + "/d").c_str(), AT_FDCWD,
                (root_ + "/dlink").c_str(), RENAME_EXCHANGE);
    }
  });
  std::atomic<int> served{0}, outside{0}, broken{0};
  auto client = [&] {
    auto connection =
        std::make_unique<RawConnection>(server.port(), seconds(5));
    const auto end = std::chrono::steady_clock::now() + seconds(3);
    while (std::chrono::steady_clock::now() < end) {
      for (const char* path : {"/f.txt", "/d/secret.txt"}) {
        RawConnection::Response response;
        if (!connection->Send(std::string("GET ") + path +
                              " HTTP/1.1\r\nHost: t\r\n\r\n") ||
            !connection->Read(&response)) {
          ++broken;  // cut short, or more than its length
          connection =
              std::make_unique<RawConnection>(server.port(), seconds(5));
          continue;
        }
        if (response.status == 200) {
          ++served;
          if (response.body != inside) ++outside;
        } else if (response.status != 403 && response.status != 404) {
          ++broken;
        }
      }
    }
  };
  std::thread first(client), second(client);
  first.join();
  second.join();
  done = true;
  swapper.join();
  EXPECT_GT(served, 0);
  EXPECT_EQ(outside, 0) << "of " << served << " files served";
  EXPECT_EQ(broken, 0);
}

// With few descriptors and more idle connections than they allow, the
// server makes room instead of spinning on accept: a client that asks for a
// page is answered within a second.
TEST_F(ServeTest, OutOfDescriptorsIdleConnectionsMakeRoom) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);  // inherited by the server
  ServerProcess server({root_, "--idle-timeout", "60", "--threads", "2"});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(server.started()) << server.Errors();

  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 150; ++i) {
    idle.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(idle.back()->connected());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) {
    RawConnection client(server.port(), seconds(1));
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
    RawConnection::Response response;
    ASSERT_TRUE(client.Read(&response)) << "request " << i;
    EXPECT_EQ(response.status, 200);
  }
  const std::string log = server.Output();
  EXPECT_EQ(Count(log, "out of "), 1u) << log;
}

// Beyond --max-connections a client is told so at once, and served again
// when a connection is free.
TEST_F(ServeTest, OneConnectionTooManyGets503) {
  ServerProcess server({root_, "--max-connections", "2"});
  ASSERT_TRUE(server.started()) << server.Errors();
  auto held = std::make_unique<RawConnection>(server.port());
  RawConnection second(server.port());
  ASSERT_TRUE(held->connected() && second.connected());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RawConnection third(server.port(), seconds(5));
  RawConnection::Response response;
  ASSERT_TRUE(third.Read(&response));
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.Header("Connection"), "close");
  held.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RawConnection fourth(server.port(), seconds(5));
  ASSERT_TRUE(fourth.Send("GET /notes.txt HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(fourth.Read(&response));
  EXPECT_EQ(response.status, 200);
}

}  // namespace
}  // namespace tagsmith::serve_testing
