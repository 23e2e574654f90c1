// The tagsmith program: picks a command from the table below and runs it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/run_command.h"
#if TAGSMITH_HAS_CHECK
#include "commands/check_command.h"
#endif
#include "commands/version_command.h"
#if TAGSMITH_HAS_SERVE
#include "commands/serve_command.h"
#endif

namespace {

using tagsmith::host::RunCommand;
using tagsmith::host::RunUsage;

struct Command {
  const char* name;
  const char* summary;
  int (*main)(const std::vector<std::string>& args);
};

int RunMain(const std::vector<std::string>& args) {
  return RunCommand(args, stdin, stdout, stderr);
}

#if TAGSMITH_HAS_SERVE
int ServeMain(const std::vector<std::string>& args) {
  return tagsmith::host::ServeCommand(args, stdout, stderr);
}
#endif

#if TAGSMITH_HAS_CHECK
int CheckMain(const std::vector<std::string>& args) {
  return tagsmith::host::CheckCommand(args, stdout, stderr);
}
#endif

int VersionMain(const std::vector<std::string>& args) {
  return tagsmith::host::VersionCommand(args, stdout, stderr);
}

int HelpMain(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"run", "pass one raw HTTP response through the filter", RunMain},
#if TAGSMITH_HAS_SERVE
    {"serve", "serve web applications over HTTP(S), filtering every response",
     ServeMain},
#endif
#if TAGSMITH_HAS_CHECK
    {"check", "show what the filter reads in a tagsmith.config, with warnings",
     CheckMain},
#endif
    {"version", "show the versions of tagsmith and of its filter library",
     VersionMain},
    {"help", "show this text", HelpMain},
};

std::string Usage() {
  std::string text =
      "Usage: tagsmith COMMAND [OPTIONS]\n"
      "\n"
      "Tagsmith hosts its filter library outside the web server.\n"
      "\n"
      "Commands:\n";
  for (const Command& command : kCommands)
    text += std::string("  ") + command.name +
            std::string(8 - std::strlen(command.name), ' ') + command.summary +
            "\n";
  text += "\n" + RunUsage();
#if TAGSMITH_HAS_CHECK
  text += "\n" + tagsmith::host::CheckUsage();
#endif
#if TAGSMITH_HAS_SERVE
  text += "\n" + tagsmith::host::ServeUsage();
#endif
  return text;
}

// What a bare `tagsmith` prints: the commands and where the rest is.
std::string ShortUsage() {
  std::string names;
  for (const Command& command : kCommands)
    names += std::string(names.empty() ? "" : "|") + command.name;
  return "Usage: tagsmith " + names +
         " [OPTIONS]\n"
         "See 'tagsmith --help' for the commands and their options.\n";
}

int HelpMain(const std::vector<std::string>&) {
  std::fputs(Usage().c_str(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(ShortUsage().c_str(), stderr);
    return 2;
  }
  const std::string name = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (name == "--help" || name == "-h") return HelpMain(args);
  if (name == "--version") return VersionMain(args);
  for (const Command& command : kCommands)
    if (name == command.name) return command.main(args);
  std::fprintf(stderr, "tagsmith: unknown %s '%s'; see 'tagsmith --help'\n",
               name.compare(0, 1, "-") == 0 ? "option" : "command",
               name.c_str());
  return 2;
}
