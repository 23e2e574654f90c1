// Driving Debian's real apache2 with mod_tagsmith from tests: a site and a
// configuration written into a scratch directory (its own ServerRoot, pid
// file, logs, mpm_event with one child process, the few modules needed),
// the server in the foreground on free loopback ports, stopped by its pid.
// Every wait is bounded.
#ifndef TAGSMITH_TESTS_APACHE_HARNESS_H_
#define TAGSMITH_TESTS_APACHE_HARNESS_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/serve_harness.h"

namespace tagsmith::apache_testing {

using serve_testing::Exchange;
using serve_testing::FreePort;
using serve_testing::ResidentKilobytes;

using serve_testing::ScratchDir;

// Whether Debian's apache2 and the built module are there to test.
bool HaveApache();

#define REQUIRE_APACHE()                               \
  if (!HaveApache()) {                                 \
    GTEST_SKIP() << "apache2 or mod_tagsmith missing"; \
  }                                                    \
  static_assert(true, "")

// How long a client program may take.
inline constexpr auto kClientLimit = std::chrono::seconds(30);

struct ApacheOptions {
  bool tls = false;         // also HTTPS on tls_port(), throwaway certificate
  int backend_port = 0;     // nonzero: /proxy/ goes to 127.0.0.1:PORT
  bool http2 = false;       // mod_http2: h2 over TLS, h2c over plain
  std::string filter_line;  // replaces "TagsmithFilter <the built library>"
  std::string extra;        // appended to the configuration
};

// The site, under dir():
//   site/   the document root: page.html (a captured real page),
//           small.html, image.png, tagsmith.config (account UA-AP-1);
//           served also at /untagged/ with Tagsmith Off, and at /gz/
//           through mod_deflate;
//   blog/   at /blog/, TagsmithApplication blog/ (account UA-BLOG-1);
//   cgi/    at /cgi-bin/, with TagsmithApplication site/: page.cgi sends
//           site/page.html in two writes; events.cgi three server-sent
//           events a second apart; halves.cgi?TYPE a page of that type in
//           two halves 1.5 s apart.
//   files/  at /files/, for a test's own files.
class ApacheServer {
 public:
  explicit ApacheServer(const ApacheOptions& options = {});
  ~ApacheServer();
  ApacheServer(const ApacheServer&) = delete;
  ApacheServer& operator=(const ApacheServer&) = delete;

  // Waits (at most 20 s) until the server answers: true; or exits: false.
  bool Started();
  // Waits (at most 20 s) for the server to exit on its own; its exit
  // status, or -1 when it is still running or was killed.
  int WaitForExit();

  int port() const { return port_; }
  int tls_port() const { return tls_port_; }
  const std::string& dir() const { return scratch_.path(); }
  std::string site() const { return dir() + "/site"; }
  std::string blog() const { return dir() + "/blog"; }
  // The error log and what the server wrote to its standard error.
  std::string Errors() const;
  // The child process that serves (the one with the most threads), or -1.
  pid_t ServingChild() const;

 private:
  ScratchDir scratch_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
};

// A backend program, stopped when the object goes.
class Backend {
 public:
  // Starts `argv` with its output in files of `log_dir`.
  Backend(const std::vector<std::string>& argv, const std::string& log_dir);
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;
  // Waits (at most 10 s) until `url` answers with a 2xx status.
  bool Answers(const std::string& url) const;

 private:
  pid_t pid_;
};

// What `tagsmith run --app-dir DIR [--secure]` makes of a raw response.
std::string TagsmithRun(const std::string& response, const std::string& app_dir,
                        bool secure = false);

// Pages are too long to print: a failure says how long each is, how many
// tracking blocks each has, and where they first differ.
::testing::AssertionResult SameBytes(const std::string& got,
                                     const std::string& expected);

// The response with its Date header's value replaced by that of `from`
// (both are the fixed width of an HTTP date).
std::string WithDateOf(const std::string& response, const std::string& from);

}  // namespace tagsmith::apache_testing

#endif  // TAGSMITH_TESTS_APACHE_HARNESS_H_
