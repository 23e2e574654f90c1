// One table of a command's options, from which both its parsing and its
// usage text come: the name, whether it takes a value, its help text and
// where its value goes. The table and what its callbacks write belong to the
// caller; nothing here keeps state between calls.
#ifndef TAGSMITH_COMMANDS_OPTION_TABLE_H_
#define TAGSMITH_COMMANDS_OPTION_TABLE_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tagsmith::host {

struct CommandOption {
  std::string name;         // "--listen"
  std::string value_name;   // "ADDR:PORT"; empty: a flag, which takes no value
  std::string help;         // one paragraph, wrapped when shown
  bool repeatable = false;  // else a second use is refused
  bool needs_text = false;  // an empty value is refused
  // In the synopsis, inside the previous option's brackets (options that
  // only make sense together).
  bool with_previous = false;
  // Takes the value ("" for a flag); may throw UsageError.
  std::function<void(const std::string& value)> apply;
};

struct OptionTable {
  std::string command;       // "serve": named in "see 'tagsmith serve --help'"
  std::string operand;       // "ROOT": the one argument that is no option
  std::string operand_help;  // empty: the operand is shown in the synopsis only
  std::size_t help_column = 0;  // where help texts start in the list
  std::vector<CommandOption> options;
  // Takes each operand in turn; may throw UsageError.
  std::function<void(const std::string& operand)> take_operand;
};

// The --filter row of the commands that load the filter library: its path
// goes to *path.
CommandOption FilterLibraryOption(std::optional<std::string>* path);

// Parses `args` against the table: "--name VALUE" and "--name=VALUE", flags
// alone, "--" ends the options, anything else not starting with '-' (and
// "-" itself) is an operand. Throws UsageError; does not look for --help.
void ParseOptions(const OptionTable& table,
                  const std::vector<std::string>& args);

// "Usage: tagsmith COMMAND [--a A] [--b]...\n" wrapped to lines of at most 79
// characters, with the continuation lines under the first option.
std::string OptionSynopsis(const OptionTable& table);

// The list of the operand (when it has help) and the options in table
// order, then "-h, --help", each help text wrapped to lines of at most 79
// characters from help_column.
std::string OptionList(const OptionTable& table);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_OPTION_TABLE_H_
