// See listen_address.h.
#include "commands/serve/listen_address.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cerrno>

#include "commands/command_args.h"

namespace tagsmith::host {

ListenAddress ResolveListenAddress(const ListenAddress& address,
                                   const std::string& option) {
  namespace net = boost::asio;
  using tcp = net::ip::tcp;
  boost::system::error_code error;
  net::ip::make_address(address.host, error);
  if (!error) return address;
  net::io_context io;
  tcp::resolver resolver(io);
  const tcp::resolver::results_type results =
      resolver.resolve(address.host, std::to_string(address.port),
                       tcp::resolver::numeric_service, error);
  if (error || results.empty())
    throw UsageError("cannot resolve the host of " + option + ", '" +
                     address.host +
                     "': " + (error ? error.message() : "no address"));
  tcp::endpoint chosen = results.begin()->endpoint();
  for (const auto& result : results)
    if (result.endpoint().address().is_v4()) {
      chosen = result.endpoint();
      break;
    }
  return {chosen.address().to_string(), address.port};
}

std::string CannotListenMessage(const std::string& where,
                                const std::string& option, int error,
                                const std::string& reason) {
  std::string message = "cannot listen on " + where + ": " + reason;
  const std::string choose = "choose another with " + option +
                             " ADDR:PORT (port 0 takes any free one)";
  if (error == EADDRINUSE)
    message += "; another program holds that port: " + choose;
  else if (error == EADDRNOTAVAIL)
    message += "; that is not an address of this machine: " + choose;
  else if (error == EACCES)
    message += "; ports below 1024 need root: " + choose;
  return message;
}

}  // namespace tagsmith::host
