// Driving Debian's real nginx with ngx_http_tagsmith_module from tests: a
// site and a configuration written into a scratch directory (its own
// prefix, pid file, logs and temporary paths, one worker), the server in
// the foreground on free loopback ports, stopped by its pid. Every wait is
// bounded.
#ifndef TAGSMITH_TESTS_NGINX_HARNESS_H_
#define TAGSMITH_TESTS_NGINX_HARNESS_H_

#include <sys/types.h>

#include <string>

#include "tests/serve_harness.h"

namespace tagsmith::nginx_testing {

using serve_testing::Exchange;
using serve_testing::FreePort;
using serve_testing::ResidentKilobytes;

// Whether Debian's nginx and the built module are there to test.
bool HaveNginx();

struct NginxOptions {
  bool tls = false;      // also HTTPS with HTTP/2 on tls_port()
  int backend_port = 0;  // nonzero: /proxy/ goes to 127.0.0.1:PORT
  std::string
      filter_line;  // replaces "tagsmith_filter <a copy of the library>;"
  std::string http_extra;  // appended to the http block
};

// The site, under dir():
//   site/  the root: page.html (a captured real page), small.html, image.png,
//          big.html (3 MB), big.bin (8 MB), tagsmith.config (account UA-NX-1);
//          also at /untagged/ with tagsmith off, and at /gz/ with gzip on;
//   blog/  at /blog/, its own application (account UA-BLOG-1).
class NginxServer {
 public:
  explicit NginxServer(const NginxOptions& options = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // Waits (at most 20 s) until the server answers: true; or exits: false.
  bool Started();
  // `nginx -t` on the configuration: its exit status and messages.
  serve_testing::ProgramResult Check() const;

  int port() const { return port_; }
  int tls_port() const { return tls_port_; }
  const std::string& dir() const { return scratch_.path(); }
  std::string site() const { return dir() + "/site"; }
  std::string blog() const { return dir() + "/blog"; }
  std::string Errors() const;
  // The worker process, or -1.
  pid_t Worker() const;

 private:
  serve_testing::ScratchDir scratch_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace tagsmith::nginx_testing

#endif  // TAGSMITH_TESTS_NGINX_HARNESS_H_
