// `tagsmith --version`; see version_command.h.
#include "host/version_command.h"

#include "host/command_args.h"
#include "host/filter_module.h"
#include "host/platform.h"

#ifndef TAGSMITH_VERSION
#error "TAGSMITH_VERSION must be defined by the build"
#endif

namespace tagsmith::host {

namespace {

bool Flushed(std::FILE* out) { return std::fflush(out) == 0 && !std::ferror(out); }

}  // namespace

const char* ProgramVersion() { return TAGSMITH_VERSION; }

VersionOptions ParseVersionArguments(const std::vector<std::string>& args) {
  VersionOptions options;
  if (AsksForHelp(args)) {
    options.help = true;
    return options;
  }
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
             "Prints the version of the tagsmith program, then the "
             "description the filter\n"
             "library gives when it is loaded (from GetFilterVersion) and "
             "where it was loaded\n"
             "from.\n"
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
  std::fprintf(out, "tagsmith %s\n", ProgramVersion());
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
  std::fprintf(out, "filter: %s (%s)\n", description.c_str(), path.c_str());
  return Flushed(out) ? 0 : 1;
}

}  // namespace tagsmith::host
