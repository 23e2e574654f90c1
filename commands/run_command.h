// The command `tagsmith run`: reads one raw HTTP response, hosts the filter
// library for it through the stand-in server and writes what reaches the
// client to standard output. The command owns the input bytes and the loaded
// filter for the length of the run.
#ifndef TAGSMITH_COMMANDS_RUN_COMMAND_H_
#define TAGSMITH_COMMANDS_RUN_COMMAND_H_

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_args.h"
#include "host/stand_in_server.h"

namespace tagsmith::host {

struct RunOptions {
  bool help = false;
  RequestSettings settings;
  std::vector<std::size_t> split_offsets;  // empty: one chunk
  std::optional<std::string> filter_path;  // none: the default library
  std::optional<std::string> input_path;   // none: standard input
};

// Parses the arguments after "run". Throws UsageError.
RunOptions ParseRunArguments(const std::vector<std::string>& args);

// Notes on what would otherwise pass unremarked, one line each without the
// "tagsmith: " prefix: an --app-dir that is not a directory (no
// tagsmith.config can be read there), and an input whose first line ends in
// a bare LF (the filter reads only CR LF header lines, so it leaves such a
// response as it is). They change neither the output nor the exit status.
std::vector<std::string> RunNotes(const RunOptions& options,
                                  std::string_view input);

// What `tagsmith run --help` prints.
std::string RunUsage();

// Runs the command and returns the exit status: 0 done, 1 the output could
// not be written, 2 bad arguments, unreadable input or no loadable filter
// (with nothing written to `out`). Messages go to `err`, one line each.
int RunCommand(const std::vector<std::string>& args, std::FILE* in,
               std::FILE* out, std::FILE* err);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_RUN_COMMAND_H_
