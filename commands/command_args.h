// Pieces every tagsmith command shares: a bad-command-line error, whole-number
// arguments, and where the filter library is found by default.
#ifndef TAGSMITH_COMMANDS_COMMAND_ARGS_H_
#define TAGSMITH_COMMANDS_COMMAND_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tagsmith::host {

// A bad command line; what() is the message without the "tagsmith: " prefix.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A whole number in [minimum, maximum], digits only; `what` names the
// argument in the message. Throws UsageError.
std::uint64_t ParseNumber(const std::string& text, const std::string& what,
                          std::uint64_t minimum, std::uint64_t maximum);

// The filter library beside the running program, else (on Linux) the one
// in the library directory the program was installed with. Throws
// FilterLoadError when the program's own directory cannot be found or
// neither library exists.
std::string DefaultFilterPath();

// An option as given: "--name=value" carries its value, "--name" alone not.
struct OptionArgument {
  std::string name;
  std::optional<std::string> value;
};
OptionArgument SplitOption(const std::string& arg);

// The value of `option` at args[*i]: its own "=value", else the next
// argument (and *i moves past it). Throws UsageError when there is none or
// the next argument is another option.
std::string OptionValue(const OptionArgument& option,
                        const std::vector<std::string>& args, std::size_t* i);

// True when the arguments ask for help ("--help" or "-h" before any "--").
bool AsksForHelp(const std::vector<std::string>& args);

// Sets options->help when the arguments ask for help; then true, and the
// rest is not to be parsed.
template <class Options>
bool TakeHelp(const std::vector<std::string>& args, Options* options) {
  options->help = AsksForHelp(args);
  return options->help;
}

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_COMMAND_ARGS_H_
