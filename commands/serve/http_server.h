// `tagsmith serve`'s web server: accepts HTTP and HTTPS connections, reads
// requests with bounded size and time, serves static files of a StaticSite,
// and sends every response through the filter the way the platform's
// server does. The caller owns the filter and the site; they must outlive
// RunServer.
#ifndef TAGSMITH_COMMANDS_SERVE_HTTP_SERVER_H_
#define TAGSMITH_COMMANDS_SERVE_HTTP_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "commands/serve/response_coding.h"
#include "commands/serve/static_site.h"
#include "host/filter_module.h"

namespace tagsmith::host {

// The server could not start (address in use, unreadable certificate...);
// what() is one line fit for a user.
class ServeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ListenAddress {
  std::string host;        // a numeric IPv4 or IPv6 address, without brackets
  std::uint16_t port = 0;  // 0: any free port
};

struct ServerOptions {
  ListenAddress listen{"127.0.0.1", 8080};
  std::optional<ListenAddress> tls_listen;  // with tls_cert and tls_key
  std::string tls_cert;                     // PEM certificate chain
  std::string tls_key;                      // PEM private key
  std::size_t chunk_size = 16384;      // body bytes per raw-data notification
  unsigned idle_timeout_seconds = 30;  // to read a request or write a send
  unsigned threads = 0;                // 0: one per core, at least two
  CodingOptions coding;                // bodies coded before the filter
  // Connections held at once; one more is answered 503 (over HTTPS, just
  // closed) and closed. 0: as many as the descriptor limit allows.
  unsigned max_connections = 0;
  // The most bytes held for all responses at once: the filter's AllocMem
  // blocks and the pages read whole to compress. None: DefaultHeldLimit of
  // the machine's memory.
  std::optional<std::uint64_t> max_held_bytes;
  // After SIGTERM or SIGINT: how long the process takes at most to end,
  // requests in flight finishing first.
  unsigned stop_grace_seconds = 5;
};

// Listens, prints one line per address ("listening on http://ADDR:PORT/")
// and then one line per request to `log`, until SIGINT or SIGTERM; then
// accepts no more, closes connections that wait for a request, and returns
// once every request in flight has ended. When one has not ended half a
// second before `stop_grace_seconds` have passed (a filter
// call that does not return, a client that does not read), it ends the
// process with status 0 instead, so that the process is gone within the
// grace. Throws ServeError when it cannot start.
void RunServer(const ServerOptions& options, const FilterModule& filter,
               const StaticSite& site, std::FILE* log);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_HTTP_SERVER_H_
