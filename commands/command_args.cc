// See command_args.h.
#include "commands/command_args.h"

#include <filesystem>
#include <system_error>

#include "host/filter_module.h"
#include "host/platform.h"

namespace tagsmith::host {

std::uint64_t ParseNumber(const std::string& text, const std::string& what,
                          std::uint64_t minimum, std::uint64_t maximum) {
  if (text.empty()) throw UsageError(what + " is empty");
  if (text[0] == '-')
    throw UsageError(what + " must not be negative: '" + text + "'");
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      throw UsageError(what + " is not a whole number: '" + text + "'");
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (maximum - digit) / 10)
      throw UsageError(what + " is out of range: '" + text + "'");
    value = value * 10 + digit;
  }
  if (value < minimum || value > maximum)
    throw UsageError(what + " is out of range: '" + text + "' (from " +
                     std::to_string(minimum) + " to " +
                     std::to_string(maximum) + ")");
  return value;
}

std::string DefaultFilterPath() {
  std::string directory;
  std::string error;
  if (!platform::ExecutableDirectory(&directory, &error))
    throw FilterLoadError(error);
  const std::string beside =
      platform::JoinPath(directory, platform::FilterLibraryFileName());
#ifdef TAGSMITH_LIBDIR_FROM_BINDIR
  // An installed program has its library in the library directory it was
  // installed with, found by the same relative path wherever the tree's
  // root is. A library beside the program (a build tree) comes first.
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (!fs::exists(beside, ignored)) {
    const fs::path installed =
        (fs::path(directory) / TAGSMITH_LIBDIR_FROM_BINDIR /
         platform::FilterLibraryFileName())
            .lexically_normal();
    if (fs::exists(installed, ignored)) return installed.string();
    throw FilterLoadError("no filter library: neither '" + beside + "' nor '" +
                          installed.string() +
                          "' exists (--filter PATH names one)");
  }
#endif
  return beside;
}

bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

OptionArgument SplitOption(const std::string& arg) {
  const std::string::size_type equals = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos)
    return {arg.substr(0, equals), arg.substr(equals + 1)};
  return {arg, std::nullopt};
}

std::string OptionValue(const OptionArgument& option,
                        const std::vector<std::string>& args, std::size_t* i) {
  if (option.value) return *option.value;
  if (*i + 1 >= args.size() || args[*i + 1].compare(0, 2, "--") == 0)
    throw UsageError("option " + option.name + " needs a value");
  return args[++*i];
}

}  // namespace tagsmith::host
