// The command `tagsmith serve`: parses its options, mounts the web
// applications, loads the filter and runs the web server until it is told
// to stop.
#ifndef TAGSMITH_COMMANDS_SERVE_COMMAND_H_
#define TAGSMITH_COMMANDS_SERVE_COMMAND_H_

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_args.h"
#include "commands/serve/http_server.h"
#include "commands/serve/static_site.h"

namespace tagsmith::host {

struct ServeOptions {
  bool help = false;
  std::optional<std::string> root;  // none: the bundled example site
  std::vector<Mount> apps;          // from --app, in the order given
  ServerOptions server;
  std::optional<std::string> filter_path;  // none: the default library
};

// Parses the arguments after "serve". Throws UsageError.
ServeOptions ParseServeArguments(const std::vector<std::string>& args);

// "127.0.0.1:8080" or "[::1]:8080" (port 0: any free one). Throws
// UsageError.
ListenAddress ParseListenAddress(const std::string& text,
                                 const std::string& option);

// The bundled example site: example/site of the source tree, looked for
// two levels above the program's directory (a build directory inside the
// tree), else at the source path the program was built from.
std::string DefaultSiteDirectory();

// What `tagsmith serve --help` prints.
std::string ServeUsage();

// Runs the command; returns the exit status: 0 after a clean stop, 1 when
// the server could not start, 2 for bad arguments, a bad application or a
// filter that cannot be loaded. Messages go to `err`, one line each.
int ServeCommand(const std::vector<std::string>& args, std::FILE* out,
                 std::FILE* err);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_COMMAND_H_
