// Pieces every tagsmith command shares: a bad-command-line error, whole-number
// arguments, and where the filter library is found by default.
#ifndef TAGSMITH_HOST_COMMAND_ARGS_H_
#define TAGSMITH_HOST_COMMAND_ARGS_H_

#include <cstdint>
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

// The filter library beside the running program. Throws FilterLoadError
// when the program's own directory cannot be found.
std::string DefaultFilterPath();

// True when the arguments ask for help ("--help" or "-h" before any "--").
bool AsksForHelp(const std::vector<std::string>& args);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_COMMAND_ARGS_H_
