// The command `tagsmith --version`: the program's own version and the
// description that the filter library it would load reports through
// GetFilterVersion, so that a program and a library of different builds
// show as such. The command owns the library it loads for the length of the
// call.
#ifndef TAGSMITH_COMMANDS_VERSION_COMMAND_H_
#define TAGSMITH_COMMANDS_VERSION_COMMAND_H_

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tagsmith::host {

struct VersionOptions {
  bool help = false;
  std::optional<std::string> filter_path;  // none: the default library
};

// The program's version, from the build (e.g. "1.14.0").
const char* ProgramVersion();

// Parses the arguments after "--version". Throws UsageError.
VersionOptions ParseVersionArguments(const std::vector<std::string>& args);

// What `tagsmith --version --help` prints.
std::string VersionUsage();

// Writes "tagsmith VERSION" and then the filter's description with the path
// it was loaded from. Exit status: 0 done; 1 the output could not be
// written; 2 bad arguments or a filter that cannot be loaded (the program's
// own line is written, the reason goes to `err`).
int VersionCommand(const std::vector<std::string>& args, std::FILE* out,
                   std::FILE* err);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_VERSION_COMMAND_H_
