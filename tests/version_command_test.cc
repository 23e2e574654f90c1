// `tagsmith --version` as a user runs it: the built program beside the
// filter library it would load, and the program as installed.
#include "commands/version_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "filter/filter_entry.h"
#include "tests/run_tagsmith.h"
#include "tests/test_support.h"

namespace tagsmith::host {
namespace {

namespace fs = std::filesystem;

const std::string kBinDir = TAGSMITH_BIN_DIR;

using test_support::ReadFile;
using test_support::ScratchDir;

TEST(VersionCommand, ShowsTheProgramAndTheLibraryItWouldLoad) {
  ScratchDir scratch;
  const std::string copy = scratch.path() + "/libother.so";
  fs::copy_file(kBinDir + "/libtagsmith.so", copy);
  const std::string fake = scratch.path() + "/libfake.so";  // not a library
  std::ofstream(fake) << "not a library\n";
  const std::string program = std::string("tagsmith ") + ProgramVersion() +
                              " (the version of this release)\n";
  auto listed = [&program](const std::string& path) {
    return program + "filter library: " + path +
           "\nfilter description: " + kFilterDescription +
           " (a fixed text, the same in every release)\n";
  };
  const std::string lib = kBinDir + "/libtagsmith.so";
  const std::string missing = scratch.path() + "/missing.so";
  const std::string cannot = "tagsmith: cannot load filter library '";
  const std::string needs = "tagsmith: option --filter needs a value";
  const std::string twice = "tagsmith: option --filter given more than once";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // the start of the one line on standard error
  };
  const Case cases[] = {
      {{"--version"}, 0, listed(lib), ""},
      {{"version"}, 0, listed(lib), ""},
      {{"--version", "--filter", copy}, 0, listed(copy), ""},
      {{"--version", "--filter=" + copy}, 0, listed(copy), ""},
      // The program's own line stands; the library's failure follows.
      {{"--version", "--filter", missing}, 2, program, cannot + missing + "'"},
      {{"--version", "--filter", fake}, 2, program, cannot + fake + "'"},
      {{"--version", "--bogus"}, 2, "", "tagsmith: unknown option '--bogus'"},
      {{"--version", "extra"}, 2, "", "tagsmith: --version takes no argument"},
      {{"--version", "--filter"}, 2, "", needs},
      {{"--version", "--filter="}, 2, "", needs},
      {{"--version", "--filter", copy, "--filter", copy}, 2, "", twice},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += " " + arg;
    const Outcome outcome = RunTagsmith(c.args);
    EXPECT_EQ(outcome.status, c.status) << shown << ": " << outcome.err;
    EXPECT_EQ(outcome.out, c.out) << shown;
    EXPECT_EQ(outcome.err.rfind(c.err, 0), 0u) << shown << ": " << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'),
              c.err.empty() ? 0 : 1)
        << shown << ": " << outcome.err;
  }
  const Outcome help = RunTagsmith({"--version", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: tagsmith --version [--filter PATH]\n", 0),
            0u);
}

// An installed program has no library beside it: it takes the one in the
// library directory it was installed with, by the same relative path
// wherever the tree's root is, and names both places when neither has one.
TEST(VersionCommand, AnInstalledProgramFindsItsLibraryInTheLibraryDirectory) {
  ScratchDir root;
  const fs::path bin = fs::path(root.path()) / "usr" / "bin";
  const fs::path lib = (bin / TAGSMITH_LIBDIR_FROM_BINDIR).lexically_normal();
  fs::create_directories(bin);
  fs::copy_file(kBinDir + "/tagsmith", bin / "tagsmith");
  const std::string program = (bin / "tagsmith").string();

  Outcome outcome = RunTagsmith({"--version"}, "/dev/null", "", program);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.err, "tagsmith: no filter library: neither '" +
                             (bin / "libtagsmith.so").string() + "' nor '" +
                             (lib / "libtagsmith.so").string() +
                             "' exists (--filter PATH names one)\n");

  fs::create_directories(lib);
  fs::copy_file(kBinDir + "/libtagsmith.so", lib / "libtagsmith.so");
  outcome = RunTagsmith({"--version"}, "/dev/null", "", program);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find(
                "filter library: " + (lib / "libtagsmith.so").string() + "\n"),
            std::string::npos)
      << outcome.out;
}

}  // namespace
}  // namespace tagsmith::host
