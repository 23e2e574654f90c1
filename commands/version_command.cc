// `tagsmith --version`; see version_command.h.
#include "commands/version_command.h"

#include "commands/command_args.h"
#include "host/filter_module.h"
#include "host/platform.h"

#ifndef TAGSMITH_VERSION
#error "TAGSMITH_VERSION must be defined by the build"
#endif

namespace tagsmith::host {

namespace {

bool Flushed(std::FILE* out) {
  return std::fflush(out) == 0 && !std::ferror(out);
}

}  // namespace

const char* ProgramVersion() { return TAGSMITH_VERSION; }

VersionOptions ParseVersionArguments(const std::vector<std::string>& args) {
  VersionOptions options;
  if (TakeHelp(args, &options)) return options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const OptionArgument option = SplitOption(args[i]);
    if (option.name != "--filter")
      throw UsageError(option.name.compare(0, 1, "-") == 0
                           ? "unknown option '" + option.name + "'"
                           : "--version takes no argument '" + args[i] + "'");
    if (options.filter_path)
      throw UsageError("option --filter given more than once");
    const std::string value = OptionValue(option, args, &i);
    if (value.empty()) throw UsageError("option --filter needs a value");
    options.filter_path = value;
  }
  return options;
}

std::string VersionUsage() {
  return std::string(
             "Usage: tagsmith --version [--filter PATH]\n"
             "\n"
             "Prints the version of this release of tagsmith, then where the "
             "filter library\n"
             "was loaded from and the description it gives the server when "
             "loaded (from\n"
             "GetFilterVersion): a fixed text, the same in every release, "
             "not a version.\n"
             "\n"
             "  --filter PATH    the filter library to ask (default: the one "
             "'tagsmith run'\n"
             "                   loads, ") +
         platform::FilterLibraryFileName() +
         " beside this program or in the\n"
         "                   library directory it was installed with)\n"
         "  -h, --help       show this text\n"
         "\n"
         "Exit status: 0 done; 1 standard output could not be written; 2 bad "
         "arguments or\n"
         "a filter that cannot be loaded.\n";
}

int VersionCommand(const std::vector<std::string>& args, std::FILE* out,
                   std::FILE* err) {
  VersionOptions options;
  try {
    options = ParseVersionArguments(args);
  } catch (const UsageError& error) {
    std::fprintf(err, "tagsmith: %s\n", error.what());
    return 2;
  }
  if (options.help) {
    std::fputs(VersionUsage().c_str(), out);
    return Flushed(out) ? 0 : 1;
  }
  // The program's own version stands even when no filter can be loaded.
  std::fprintf(out, "tagsmith %s (the version of this release)\n",
               ProgramVersion());
  if (!Flushed(out)) return 1;
  std::string description;
  std::string path;
  try {
    path = options.filter_path ? *options.filter_path : DefaultFilterPath();
    description = FilterModule::Load(path).description();
  } catch (const std::exception& error) {
    std::fprintf(err, "tagsmith: %s\n", error.what());
    return 2;
  }
  // The description is the filter's fixed text for the server, not a
  // version of this release: say so, or it reads as a mismatch.
  std::fprintf(out,
               "filter library: %s\n"
               "filter description: %s (a fixed text, the same in every "
               "release)\n",
               path.c_str(), description.c_str());
  return Flushed(out) ? 0 : 1;
}

}  // namespace tagsmith::host
