// Parsing and usage text from an option table; see option_table.h.
#include "commands/option_table.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "commands/command_args.h"
#include "host/platform.h"

namespace tagsmith::host {

namespace {

constexpr std::size_t kWidth =
    79;  // the longest line, for an 80-column terminal

// Appends `text` word by word to `out`, whose current line is `column`
// characters long, starting new lines at `indent` before `kWidth`.
void Wrap(const std::string& text, std::size_t indent, std::size_t column,
          std::string* out) {
  std::istringstream words(text);
  std::string word;
  bool first = true;
  while (words >> word) {
    if (!first && column + 1 + word.size() > kWidth) {
      *out += '\n';
      out->append(indent, ' ');
      column = indent;
    } else if (!first) {
      *out += ' ';
      ++column;
    }
    *out += word;
    column += word.size();
    first = false;
  }
  *out += '\n';
}

std::string Label(const CommandOption& option) {
  return option.value_name.empty() ? option.name
                                   : option.name + " " + option.value_name;
}

// "  LABEL   help..." with the help text from `column`, or after two spaces
// when the label reaches it.
void ListEntry(const std::string& label, const std::string& help,
               std::size_t column, std::string* out) {
  std::string line = "  " + label;
  line.append(line.size() + 2 <= column ? column - line.size() : 2, ' ');
  *out += line;
  Wrap(help, column, line.size(), out);
}

}  // namespace

void ParseOptions(const OptionTable& table,
                  const std::vector<std::string>& args) {
  std::set<std::string> seen;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      table.take_operand(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    const OptionArgument given = SplitOption(arg);
    const std::string& name = given.name;
    const auto option = std::find_if(
        table.options.begin(), table.options.end(),
        [&name](const CommandOption& o) { return o.name == name; });
    if (option == table.options.end())
      throw UsageError("unknown option '" + name + "'; see 'tagsmith " +
                       table.command + " --help'");
    std::string value;
    if (option->value_name.empty()) {
      if (given.value) throw UsageError("option " + name + " takes no value");
    } else {
      value = OptionValue(given, args, &i);
    }
    if (!option->repeatable && !seen.insert(name).second)
      throw UsageError("option " + name + " given more than once");
    if (option->needs_text && value.empty())
      throw UsageError("option " + name + " needs a value");
    option->apply(value);
  }
}

std::string OptionSynopsis(const OptionTable& table) {
  const std::string start = "Usage: tagsmith " + table.command + " ";
  std::vector<std::string> items;
  for (std::size_t i = 0; i < table.options.size(); ++i) {
    const CommandOption& option = table.options[i];
    if (option.with_previous && !items.empty()) {
      items.back().insert(items.back().rfind(']'), " " + Label(option));
      continue;
    }
    items.push_back("[" + Label(option) + "]");
    // "..." marks an option that may be given again; set after the group.
    if (option.repeatable && !option.value_name.empty()) items.back() += "...";
  }
  if (!table.operand.empty()) items.push_back("[" + table.operand + "]");
  std::string out = start;
  std::size_t column = start.size();
  bool first = true;
  for (const std::string& item : items) {
    if (!first && column + 1 + item.size() > kWidth) {
      out += '\n';
      out.append(start.size(), ' ');
      column = start.size();
    } else if (!first) {
      out += ' ';
      ++column;
    }
    out += item;
    column += item.size();
    first = false;
  }
  return out + '\n';
}

std::string OptionList(const OptionTable& table) {
  std::string out;
  if (!table.operand_help.empty())
    ListEntry(table.operand, table.operand_help, table.help_column, &out);
  for (const CommandOption& option : table.options)
    ListEntry(Label(option), option.help, table.help_column, &out);
  ListEntry("-h, --help", "show this text", table.help_column, &out);
  return out;
}

CommandOption FilterLibraryOption(std::optional<std::string>* path) {
  return {"--filter",
          "PATH",
          std::string("the filter library to load (default: ") +
              platform::FilterLibraryFileName() + " beside this program)",
          false,
          true,
          false,
          [path](const std::string& value) { *path = value; }};
}

}  // namespace tagsmith::host
