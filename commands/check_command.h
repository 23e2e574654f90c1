// The command `tagsmith check [DIR] [RESPONSE-FILE]`: reads DIR's
// tagsmith.config with the filter's own profile reader, prints the values
// the filter will use and warns of what it would read otherwise than meant;
// given a raw response, also runs it through the loaded filter and prints
// the word the result header would carry. The command owns every byte it
// reads and the scratch directory it makes, which it removes.
#ifndef TAGSMITH_COMMANDS_CHECK_COMMAND_H_
#define TAGSMITH_COMMANDS_CHECK_COMMAND_H_

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tagsmith::host {

struct CheckOptions {
  bool help = false;
  std::string app_dir = ".";
  std::optional<std::string> response_path;
  std::optional<std::string> filter_path;  // none: the default library
};

// Parses the arguments after "check". Throws UsageError.
CheckOptions ParseCheckArguments(const std::vector<std::string>& args);

// What `tagsmith check --help` prints.
std::string CheckUsage();

// Runs the command: 0 when the file is sound (and the response, when one is
// given, would be tagged), 1 when it warns (or the response would not be
// tagged), 2 for bad arguments, an unreadable response or no loadable
// filter. The report goes to `out`, errors to `err`.
int CheckCommand(const std::vector<std::string>& args, std::FILE* out,
                 std::FILE* err);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_CHECK_COMMAND_H_
