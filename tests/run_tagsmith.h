// Runs the built `tagsmith` program as a user would, under the peak_rss
// wrapper beside it, and collects its exit status, its standard streams
// and the largest resident size it reached. The files it writes are a
// scratch directory's, removed when the run is collected.
#ifndef TAGSMITH_TESTS_RUN_TAGSMITH_H_
#define TAGSMITH_TESTS_RUN_TAGSMITH_H_

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace tagsmith::host {

struct Outcome {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out;
  std::string err;
  long max_rss_kb = 0;  // the largest resident size it reached
};

// Runs the tagsmith program with `args`, standard input from `stdin_path`;
// standard output goes to `stdout_path` when given, else it is captured.
inline Outcome RunTagsmith(
    const std::vector<std::string>& args,
    const std::string& stdin_path = "/dev/null",
    const std::string& stdout_path = "",
    const std::string& program = std::string(TAGSMITH_BIN_DIR) + "/tagsmith") {
  test_support::ScratchDir scratch;
  const std::string out_path =
      stdout_path.empty() ? scratch.path() + "/out" : stdout_path;
  const std::string err_path = scratch.path() + "/err";
  const std::string peak_path = scratch.path() + "/peak";
  std::vector<std::string> argv{std::string(TAGSMITH_BIN_DIR) + "/peak_rss",
                                peak_path, program};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome outcome;
  const pid_t pid = test_support::Spawn(argv, out_path, err_path, stdin_path);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    outcome.status = WEXITSTATUS(status);
  const std::string peak = test_support::ReadFile(peak_path);
  outcome.max_rss_kb = peak.empty() ? -1 : std::stol(peak);
  if (stdout_path.empty()) outcome.out = test_support::ReadFile(out_path);
  outcome.err = test_support::ReadFile(err_path);
  return outcome;
}

}  // namespace tagsmith::host

#endif  // TAGSMITH_TESTS_RUN_TAGSMITH_H_
