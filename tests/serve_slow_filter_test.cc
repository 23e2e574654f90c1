// `tagsmith serve` keeps answering while one filter call takes its time: a
// filter built for this test stays in the end-of-request call of one
// application's pages until it is let go, and meanwhile requests for other
// files, on new connections, are answered in full by the other worker.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/serve_harness.h"

namespace tagsmith::serve_testing {
namespace {

using std::chrono::seconds;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Waits at most `limit` for `path` to appear.
bool AppearsWithin(const std::string& path, seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!Exists(path)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string Get(const std::string& path) {
  return "GET " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

TEST(ServeSlowFilter, OtherFilesAreAnsweredWhileAFilterCallIsInProgress) {
  ScratchDir top;
  const std::string root = top.path() + "/site";
  const std::string slow = top.path() + "/slow";
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(slow);
  WriteFile(root + "/index.html", "<html><body>root</body></html>\n");
  WriteFile(root + "/notes.txt", "some notes\n");
  WriteFile(slow + "/page.html", "<html><body>slow</body></html>\n");
  ServerProcess server(
      {root, "--app", "/slow=" + slow, "--threads", "2", "--filter",
       std::string(TAGSMITH_BIN_DIR) + "/libtagsmith_slow_filter.so"});
  ASSERT_TRUE(server.started()) << server.Errors();
  // However the test ends, the slow call is let go.
  struct Release {
    std::string path;
    ~Release() { WriteFile(path, ""); }
  } release{slow + "/release"};

  // The first connection goes to the first worker, which also used to
  // accept every connection.
  RawConnection held(server.port(), seconds(90));
  ASSERT_TRUE(held.connected());
  ASSERT_TRUE(held.Send(Get("/slow/page.html")));
  ASSERT_TRUE(AppearsWithin(slow + "/entered", seconds(20)))
      << "the slow call never began\n"
      << server.Errors();

  // Each answered whole while the slow call still lasts. An answer takes
  // milliseconds; 15 s is allowed so that a stall of a loaded machine is not
  // taken for a server that waits (which would answer only after the
  // release, below, or after the slow call's own 60 s).
  for (int i = 0; i < 6; ++i) {
    const std::string path = i % 2 == 0 ? "/notes.txt" : "/index.html";
    RawConnection other(server.port(), seconds(15));
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(other.Send(Get(path)));
    RawConnection::Response response;
    ASSERT_TRUE(other.Read(&response))
        << path << " was not answered\nthe server's log:\n"
        << server.Output() << server.Errors() << "its threads:\n"
        << server.Threads();
    EXPECT_EQ(response.status, 200) << path;
    EXPECT_EQ(response.body,
              i % 2 == 0 ? "some notes\n" : "<html><body>root</body></html>\n");
  }
  EXPECT_FALSE(Exists(slow + "/left"))
      << "the slow call ended before the other files were answered";

  WriteFile(release.path, "");
  RawConnection::Response response;
  ASSERT_TRUE(held.Read(&response)) << "the slow page never came";
  EXPECT_EQ(response.body, "<html><body>slow</body></html>\n");
  EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

}  // namespace
}  // namespace tagsmith::serve_testing
