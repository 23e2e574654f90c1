// Where `tagsmith serve` listens, from what the user wrote to a socket
// address: a host name resolved to one numeric address, and the message
// for an address that cannot be listened on.
#ifndef TAGSMITH_COMMANDS_SERVE_LISTEN_ADDRESS_H_
#define TAGSMITH_COMMANDS_SERVE_LISTEN_ADDRESS_H_

#include <string>

#include "commands/serve/http_server.h"

namespace tagsmith::host {

// The address with its host resolved: a numeric address stays as it is; a
// name becomes its first IPv4 address, else its first IPv6 one. `option`
// names the option in the message. Throws UsageError when the name does
// not resolve.
ListenAddress ResolveListenAddress(const ListenAddress& address,
                                   const std::string& option);

// "cannot listen on WHERE: REASON", and for an address that is taken, not
// this machine's, or needs privileges, how to choose another with
// `option`. `error` is the errno value of the failure (0: unknown).
std::string CannotListenMessage(const std::string& where,
                                const std::string& option, int error,
                                const std::string& reason);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_LISTEN_ADDRESS_H_
