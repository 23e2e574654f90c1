// `tagsmith serve` under load: 50 clients at once, 4,000 requests in all,
// over kept-alive and fresh connections, for captured real pages, a 3 MB
// page, binary files and missing ones. Every body must be byte for byte
// what `tagsmith run` makes of the same file, and the server must still
// answer afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/serve_harness.h"

namespace tagsmith::serve_testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 50;
constexpr int kRequestsPerClient = 80;  // 4,000 in all
constexpr auto kTimeLimit = std::chrono::seconds(150);

struct Resource {
  std::string path;  // request path
  int status = 200;
  std::string expected;  // the whole body the client must get
};

TEST(ServeLoad, FiftyClientsFourThousandRequestsEveryByteRight) {
  ScratchDir top;
  const std::string root = top.path() + "/site";
  const std::string blog = top.path() + "/blog";
  fs::create_directories(root);
  fs::create_directories(blog);
  WriteFile(root + "/tagsmith.config", "[ga1]\nAccount=UA-LOAD-1\n");
  WriteFile(blog + "/tagsmith.config",
            "[ga1]\nAccount=UA-LOAD-2\nAlwaysSSL=yes\n"
            "AppendAfterScriptBlock=<!-- blog -->\n");

  // The site's files and what each must arrive as.
  std::vector<Resource> small, large;
  const std::string real_dir = std::string(TAGSMITH_TESTDATA_DIR) + "/real";
  for (const auto& entry : fs::directory_iterator(real_dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 9 || name.compare(name.size() - 9, 9, ".get.http") != 0)
      continue;
    const std::string body = BodyOf(ReadFile(entry.path().string()));
    const bool html = name[0] == 'p';
    const std::string file =
        name.substr(0, name.size() - 9) + (html ? ".html" : ".png");
    const bool in_blog = html && (name[2] % 2 == 0);  // p02, p04, ...
    const std::string dir = in_blog ? blog : root;
    WriteFile(dir + "/" + file, body);
    Resource resource;
    resource.path = (in_blog ? "/blog/" : "/") + file;
    resource.expected =
        html ? BodyOf(FilteredByRun(dir, "text/html", body, false)) : body;
    (body.size() > 1000000 ? large : small).push_back(resource);
  }
  ASSERT_GE(small.size(), 10u) << real_dir;
  {
    std::string filler;
    for (int i = 0; filler.size() < 3 * 1024 * 1024; ++i)
      filler += "<p>row " + std::to_string(i) + " of a long page</p>\n";
    const std::string page = "<html><head><title>Long</title></head><body>\n" +
                             filler + "</body></html>\n";
    WriteFile(root + "/long.html", page);
    large.push_back({"/long.html", 200,
                     BodyOf(FilteredByRun(root, "text/html", page, false))});
    std::string binary(2 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
      binary[i] = static_cast<char>((i * 7919) >> 3);
    WriteFile(root + "/blob.bin", binary);
    large.push_back({"/blob.bin", 200, binary});
  }
  small.push_back({"/missing.html", 404, "404 Not Found\n"});
  small.push_back({"/blog/tagsmith.config", 404, "404 Not Found\n"});
  for (const Resource& r : small) ASSERT_FALSE(r.expected.empty()) << r.path;
  // The filter must have tagged the pages, or the comparison proves little.
  int tagged = 0;
  for (const Resource& r : small)
    if (r.expected.find("urchinTracker()") != std::string::npos) ++tagged;
  ASSERT_GE(tagged, 8);

  ServerProcess server(
      {root, "--app", "/blog=" + blog, "--chunk-size", "8192"});
  ASSERT_TRUE(server.started()) << server.Errors();

  std::atomic<int> done{0}, wrong{0}, lost{0};
  std::mutex report_mutex;
  std::vector<std::string> reports;
  const auto deadline = Clock::now() + kTimeLimit;
  auto client = [&](int id) {
    // Some clients speak HTTP/1.0 (one request per connection); the others
    // keep a connection for 5 to 24 requests, the last one asking to close.
    const bool http10 = id % 10 == 9;
    std::unique_ptr<RawConnection> connection;
    int left_on_connection = 0;
    for (int i = 0; i < kRequestsPerClient; ++i) {
      if (Clock::now() > deadline) {
        lost += kRequestsPerClient - i;
        return;
      }
      const unsigned pick = static_cast<unsigned>(id * 7919 + i * 104729);
      const Resource& r = pick % 100 < 4 ? large[pick / 100 % large.size()]
                                         : small[pick / 100 % small.size()];
      if (!connection || left_on_connection == 0) {
        connection = std::make_unique<RawConnection>(server.port());
        left_on_connection = http10 ? 1 : 5 + (id + i) % 20;
      }
      const bool last = --left_on_connection == 0;
      std::string request = "GET " + r.path +
                            (http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n") +
                            "Host: load\r\n";
      if (last && !http10) request += "Connection: close\r\n";
      request += "\r\n";
      RawConnection::Response response;
      if (!connection->Send(request) || !connection->Read(&response)) {
        ++lost;
        std::lock_guard<std::mutex> lock(report_mutex);
        reports.push_back("client " + std::to_string(id) + " request " +
                          std::to_string(i) + " " + r.path + ": no response");
        connection.reset();
        continue;
      }
      if (response.status != r.status || response.body != r.expected) {
        ++wrong;
        std::lock_guard<std::mutex> lock(report_mutex);
        reports.push_back(
            r.path + ": status " + std::to_string(response.status) + ", " +
            std::to_string(response.body.size()) + " bytes, expected " +
            std::to_string(r.expected.size()));
      }
      if (last) {
        // The server closes after a request that asked it to.
        std::string rest;
        if (!connection->ReadUntilClosed(&rest) || !rest.empty()) ++wrong;
        connection.reset();
      }
      ++done;
    }
  };
  const auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int id = 0; id < kClients; ++id) clients.emplace_back(client, id);
  for (std::thread& thread : clients) thread.join();
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - start).count();
  std::cout << "[ load     ] " << done << " responses in " << elapsed << " s\n";

  EXPECT_EQ(done.load(), kClients * kRequestsPerClient);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(lost.load(), 0);
  for (std::size_t i = 0; i < reports.size() && i < 10; ++i)
    ADD_FAILURE() << reports[i];

  // Still answering, and every request was logged.
  RawConnection after(server.port());
  ASSERT_TRUE(after.Send("GET /long.html HTTP/1.1\r\nHost: t\r\n\r\n"));
  RawConnection::Response response;
  ASSERT_TRUE(after.Read(&response));
  EXPECT_TRUE(response.body == large[large.size() - 2].expected);
  // The log line of a request may follow its response by a moment.
  const std::size_t expected_lines = kClients * kRequestsPerClient + 1;
  std::size_t lines = 0;
  for (int attempt = 0; attempt < 100 && lines < expected_lines; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string log = server.Output();
    lines = 0;
    for (std::string::size_type at = log.find(" GET /");
         at != std::string::npos; at = log.find(" GET /", at + 1))
      ++lines;
  }
  EXPECT_EQ(lines, expected_lines);
  EXPECT_EQ(server.Stop(), 0);
}

// 32 clients ask for a 60 MB page and never read it, with a budget of
// 256 MiB for what is held: the server stays within the budget and a
// little more, and clients that read still get the page whole, tagged or
// not.
TEST(ServeLoad, ClientsThatNeverReadHoldNoMoreThanTheBudget) {
  constexpr long kBudget = 256L << 20;
  ScratchDir top;
  std::string page = "<html><body>\n";
  while (page.size() < 60000000) page += "<p>a row of a long page</p>\n";
  page += "</body></html>\n";
  WriteFile(top.path() + "/tagsmith.config", "[ga1]\nAccount=UA-HELD-1\n");
  WriteFile(top.path() + "/big.html", page);
  const std::string tagged =
      BodyOf(FilteredByRun(top.path(), "text/html", page, false));
  ServerProcess server({top.path(), "--max-held", std::to_string(kBudget)});
  ASSERT_TRUE(server.started()) << server.Errors();
  const std::string get = "GET /big.html HTTP/1.1\r\nHost: t\r\n\r\n";
  std::vector<std::unique_ptr<RawConnection>> stuck;
  for (int i = 0; i < 32; ++i) {
    stuck.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(stuck.back()->Send(get));
  }
  for (int i = 0; i < 4; ++i) {
    RawConnection reader(server.port());
    RawConnection::Response response;
    ASSERT_TRUE(reader.Send(get) && reader.Read(&response)) << i;
    EXPECT_TRUE(response.body == tagged || response.body == page) << i;
  }
  EXPECT_NE(server.Output().find("held memory at its limit of 268435456"),
            std::string::npos)
      << server.Output();
#ifndef TAGSMITH_SANITIZED  // a sanitizer's shadow memory would count
  EXPECT_LT(server.PeakResidentKiB(), (kBudget + (64L << 20)) / 1024);
#endif
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

}  // namespace
}  // namespace tagsmith::serve_testing
