// `tagsmith run` as a user runs it: the built program, its standard streams
// and exit status, with the built filter library beside it.
#include "commands/run_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "filter/filter_entry.h"
#include "host/chunks.h"
#include "host/filter_module.h"
#include "host/stand_in_server.h"
#include "tests/run_tagsmith.h"
#include "tests/test_support.h"

namespace tagsmith::host {
namespace {

namespace fs = std::filesystem;

const std::string kBinDir = TAGSMITH_BIN_DIR;
const std::string kRealDir = std::string(TAGSMITH_TESTDATA_DIR) + "/real";

using test_support::ReadFile;
using test_support::ScratchDir;

std::string Join(const std::vector<std::size_t>& offsets) {
  std::string text;
  for (std::size_t offset : offsets)
    text += (text.empty() ? "" : ",") + std::to_string(offset);
  return text;
}

// Cut points from 0 to the end, with empty and one-byte chunks.
std::vector<std::size_t> RandomOffsets(std::size_t length, std::mt19937& rng) {
  std::vector<std::size_t> offsets{0};
  for (std::size_t offset : test_support::RandomOffsets(length, rng, 8))
    offsets.push_back(offset);
  offsets.push_back(length);
  return offsets;
}

std::vector<std::string> RealResponses() {
  std::vector<std::string> paths;
  for (const auto& entry : fs::directory_iterator(kRealDir))
    if (entry.path().extension() == ".http") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  return paths;
}

// ---- Responses pass through unchanged
// ----------------------------------------

// With no application directory there is no account, so no page is tagged.
TEST(RunCommand, EveryRealResponsePassesThroughWithoutAnApplication) {
  const std::vector<std::string> responses = RealResponses();
  ASSERT_GE(responses.size(), 30u) << kRealDir;
  std::mt19937 rng(1913);
  for (const std::string& path : responses) {
    const std::string input = ReadFile(path);
    Outcome whole = RunTagsmith({"run", path});
    EXPECT_EQ(whole.status, 0) << path << ": " << whole.err;
    EXPECT_TRUE(whole.out == input) << path << " changed";
    EXPECT_EQ(whole.err, "") << path;

    const std::string split = Join(RandomOffsets(input.size(), rng));
    Outcome cut = RunTagsmith({"run", "--split", split}, path);
    EXPECT_EQ(cut.status, 0) << path << " split " << split << ": " << cut.err;
    EXPECT_TRUE(cut.out == input) << path << " split " << split << " changed";
  }
}

// Responses the filter never tags come back whole, whichever allocation
// fails. The number of allocations is learnt by hosting the same library in
// this process.
TEST(RunCommand, UntaggedResponsesSurviveEveryFailedAllocation) {
  const FilterModule filter = FilterModule::Load(kBinDir + "/libtagsmith.so");
  ScratchDir app_dir;  // an application with no configuration
  const char* files[] = {"x01-404-not-found.http",
                         "x02-304-if-modified-since.http", "a03-py.get.http",
                         "x04-gzip-chunked.http"};
  std::mt19937 rng(77);
  for (const char* file : files) {
    const std::string path = kRealDir + "/" + file;
    const std::string input = ReadFile(path);
    ASSERT_FALSE(input.empty()) << path;
    for (bool with_app : {false, true}) {
      for (bool split : {false, true}) {
        const std::vector<std::size_t> offsets =
            split ? RandomOffsets(input.size(), rng)
                  : std::vector<std::size_t>{};
        RequestSettings settings;
        std::vector<std::string> args{"run", path};
        if (with_app) {
          settings.app_physical_path = app_dir.path();
          settings.secure_port = true;
          args.insert(args.end(), {"--app-dir", app_dir.path(), "--secure"});
        }
        if (split) args.insert(args.end(), {"--split", Join(offsets)});
        StringSink counting;
        const std::uint64_t calls =
            ServeResponse(filter, settings, SplitAt(input, offsets), counting)
                .alloc_calls;
        ASSERT_TRUE(counting.bytes() == input) << path;
        for (std::uint64_t n = 1; n <= calls + 1; ++n) {
          std::vector<std::string> failing = args;
          failing.insert(failing.end(), {"--fail-alloc", std::to_string(n)});
          Outcome outcome = RunTagsmith(failing);
          EXPECT_EQ(outcome.status, 0) << outcome.err;
          EXPECT_TRUE(outcome.out == input)
              << file << (with_app ? " with app" : "") << " split '"
              << Join(offsets) << "' failing allocation " << n << " of "
              << calls;
        }
      }
    }
  }
}

TEST(RunCommand, OptionsAlsoTakeTheirValueAfterAnEqualsSign) {
  ScratchDir app_dir;
  const std::string path = kRealDir + "/x02-304-if-modified-since.http";
  Outcome outcome = RunTagsmith(
      {"run", "--split=3,3,10", "--fail-alloc=2", "--app-dir=" + app_dir.path(),
       "--filter=" + kBinDir + "/libtagsmith.so", "--", path});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(outcome.out == ReadFile(path));
}

TEST(RunCommand, EmptyInputIsOneEmptyChunk) {
  Outcome outcome = RunTagsmith({"run"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
}

// A page with an account configured is changed, so each option that
// decides whether it is tagged, and how, shows in the output.
TEST(RunCommand, ApplicationSecureAndFailAllocReachTheFilter) {
  ScratchDir app_dir;
  std::ofstream(app_dir.path() + "/tagsmith.config")
      << "[ga1]\nAccount=UA-4242-1\n";
  const std::string page = kRealDir + "/p01-index.get.http";
  const std::string input = ReadFile(page);
  struct Case {
    std::vector<std::string> options;
    bool tagged;
  };
  const Case cases[] = {
      {{}, false},
      {{"--app-dir", app_dir.path()}, true},
      {{"--app-dir", app_dir.path(), "--secure"}, true},
      {{"--app-dir", app_dir.path(), "--fail-alloc", "1"}, false},
  };
  std::vector<std::string> outputs;
  for (const Case& c : cases) {
    std::vector<std::string> args{"run", page};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Outcome outcome = RunTagsmith(args);
    std::string shown;
    for (const std::string& option : c.options) shown += " " + option;
    EXPECT_EQ(outcome.status, 0) << shown << ": " << outcome.err;
    EXPECT_EQ(outcome.out != input, c.tagged) << shown;
    EXPECT_EQ(outcome.out.find("UA-4242-1") != std::string::npos, c.tagged)
        << shown;
    outputs.push_back(outcome.out);
  }
  EXPECT_NE(outputs[1], outputs[2]) << "--secure changed nothing";
}

// A 60 MB response in chunks of one data byte is tagged, and the program
// stays within four times its size: the input, the chunk on its way to the
// filter, and at most twice the bytes the filter holds.
TEST(RunCommand, ALargePageInTinyChunksTakesAFewTimesItsSize) {
  ScratchDir scratch;
  std::ofstream(scratch.path() + "/tagsmith.config")
      << "[ga1]\nAccount=UA-4242-1\n";
  std::string in =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: "
      "chunked\r\n\r\n";
  const std::string page = "<body>" + std::string(10000000, 'x') + "</body>";
  for (const char c : page) in.append("1\r\n").append(1, c).append("\r\n");
  in += "0\r\n\r\n";
  test_support::WriteFile(scratch.path() + "/in", in);
  const Outcome outcome =
      RunTagsmith({"run", "--app-dir", scratch.path(), scratch.path() + "/in"},
                  "/dev/null", scratch.path() + "/out");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_GT(fs::file_size(scratch.path() + "/out"), in.size()) << "tagged";
  std::printf("%zu bytes, %.2f times as many resident\n", in.size(),
              outcome.max_rss_kb * 1024.0 / static_cast<double>(in.size()));
#ifndef TAGSMITH_SANITIZED  // a sanitizer's shadow and quarantine count too
  EXPECT_GT(outcome.max_rss_kb, 0) << "no peak reported";
  EXPECT_LT(outcome.max_rss_kb * 1024.0, 4.0 * static_cast<double>(in.size()));
#endif
}

// ---- Reading the command line
// --------------------------------------------------

TEST(RunCommand, ArgumentsBecomeTheRunSettings) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> app_dir;
    bool secure;
    std::vector<std::size_t> offsets;
    std::uint64_t refuse;
    std::optional<std::string> filter;
    std::optional<std::string> input;
  };
  const Case cases[] = {
      {{}, {}, false, {}, 0, {}, {}},
      {{"--app-dir", "/a b/"}, "/a b/", false, {}, 0, {}, {}},
      {{"--app-dir=/x"}, "/x", false, {}, 0, {}, {}},
      {{"--secure"}, {}, true, {}, 0, {}, {}},
      {{"--split", "0,10,10"}, {}, false, {0, 10, 10}, 0, {}, {}},
      {{"--split=7"}, {}, false, {7}, 0, {}, {}},
      {{"--fail-alloc", "3"}, {}, false, {}, 3, {}, {}},
      {{"--fail-alloc=4294967295"}, {}, false, {}, 4294967295u, {}, {}},
      {{"--filter", "lib.so"}, {}, false, {}, 0, "lib.so", {}},
      {{"page.http", "--secure"}, {}, true, {}, 0, {}, "page.http"},
      {{"-"}, {}, false, {}, 0, {}, {}},
      {{"--", "--secure"}, {}, false, {}, 0, {}, "--secure"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += " " + arg;
    const RunOptions options = ParseRunArguments(c.args);
    EXPECT_FALSE(options.help) << shown;
    EXPECT_EQ(options.settings.app_physical_path, c.app_dir) << shown;
    EXPECT_EQ(options.settings.secure_port, c.secure) << shown;
    EXPECT_EQ(options.split_offsets, c.offsets) << shown;
    EXPECT_EQ(options.settings.refuse_alloc_call, c.refuse) << shown;
    EXPECT_EQ(options.filter_path, c.filter) << shown;
    EXPECT_EQ(options.input_path, c.input) << shown;
  }
}

// ---- Notes on runs that change nothing
// ----------------------------------------

TEST(RunCommand, NotesAMissingApplicationDirectoryAndBareLfHeaders) {
  ScratchDir scratch;
  const std::string file = scratch.path() + "/file";
  std::ofstream(file) << "x";
  const std::string crlf = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  const std::string lf = "HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>";
  struct Case {
    std::optional<std::string> app_dir;
    std::string input;
    std::vector<std::string> notes;  // a piece of each note, in order
  } cases[] = {
      {scratch.path(), crlf, {}},
      {std::nullopt, crlf, {}},
      {std::nullopt, "", {}},
      {std::nullopt, "HTTP/1.1 200 OK", {}},
      {std::nullopt, "\r\n", {}},
      {scratch.path() + "/none",
       crlf,
       {"'" + scratch.path() + "/none' does not exist"}},
      {file, crlf, {"is not a directory"}},
      {std::nullopt, lf, {"bare LF"}},
      {std::nullopt, "\n", {"bare LF"}},
      {"", lf, {"does not exist", "bare LF"}},
  };
  for (const Case& c : cases) {
    RunOptions options;
    options.settings.app_physical_path = c.app_dir;
    const std::vector<std::string> notes = RunNotes(options, c.input);
    ASSERT_EQ(notes.size(), c.notes.size()) << c.input;
    for (std::size_t i = 0; i < notes.size(); ++i)
      EXPECT_NE(notes[i].find(c.notes[i]), std::string::npos) << notes[i];
  }
  // The notes go to standard error; the output and status stay as they were.
  const std::string input = scratch.path() + "/lf.http";
  std::ofstream(input, std::ios::binary) << lf;
  Outcome outcome =
      RunTagsmith({"run", "--app-dir", scratch.path() + "/none", input});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, lf);
  EXPECT_EQ(outcome.err.rfind("tagsmith: note: --app-dir", 0), 0u)
      << outcome.err;
  EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2)
      << outcome.err;
}

// ---- Failures
// -----------------------------------------------------------------

TEST(RunCommand, BadUseExitsWithStatusTwoAndOneLineOfError) {
  ScratchDir scratch;
  const std::string not_a_library = scratch.path() + "/libfake.so";
  std::ofstream(not_a_library) << "not a library\n";
  const std::string input = kRealDir + "/x01-404-not-found.http";
  const std::string past_end = std::to_string(ReadFile(input).size() + 1);
  const std::vector<std::vector<std::string>> cases = {
      {"frobnicate"},
      {"--bogus"},
      {"run", "--bogus"},
      {"run", "-x"},
      {"run", "--split"},
      {"run", "--split", "--secure"},
      {"run", "--app-dir"},
      {"run", "--filter"},
      {"run", "--secure=yes"},
      {"run", "--fail-alloc", "abc"},
      {"run", "--fail-alloc", "-3"},
      {"run", "--fail-alloc", "0"},
      {"run", "--fail-alloc", "4294967296"},
      {"run", "--fail-alloc", "99999999999999999999999"},
      {"run", "--fail-alloc", "18446744073709551621"},  // 2^64 + 5
      {"run", "--fail-alloc", "1", "--fail-alloc", "2"},
      {"run", "--split", "10,5"},
      {"run", "--split", "5,,10"},
      {"run", "--split", "1,x"},
      {"run", "--split", "-1"},
      {"run", "--split", "99999999999999999999999"},
      {"run", "--split", "18446744073709551616"},  // 2^64
      {"run", "--split", past_end},
      {"run", "--split", "0," + past_end},
      {"run", input, input},
      {"run", scratch.path() + "/missing.http"},
      {"run", scratch.path()},
      {"run", "--filter", scratch.path() + "/missing.so"},
      {"run", "--filter", not_a_library},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const std::string& arg : args) shown += " " + arg;
    Outcome outcome = RunTagsmith(args, input);
    EXPECT_EQ(outcome.status, 2) << shown;
    EXPECT_EQ(outcome.out, "") << shown;
    EXPECT_EQ(outcome.err.rfind("tagsmith: ", 0), 0u)
        << shown << ": " << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1)
        << shown << ": " << outcome.err;
    EXPECT_TRUE(!outcome.err.empty() && outcome.err.back() == '\n') << shown;
    if (outcome.err.find("unknown") != std::string::npos) {
      EXPECT_NE(outcome.err.find(" --help'"), std::string::npos) << outcome.err;
    }
  }
}

TEST(RunCommand, NoCommandPrintsTwoLinesOfUsageToStandardError) {
  Outcome outcome = RunTagsmith({});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err.rfind("Usage: tagsmith run|", 0), 0u) << outcome.err;
  EXPECT_NE(outcome.err.find("'tagsmith --help'"), std::string::npos);
  EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2)
      << outcome.err;
}

TEST(RunCommand, HelpExplainsEveryOption) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"},
      {"-h"},
      {"help"},
      {"run", "--help"},
      {"run", "--split", "1", "--help"}};
  for (const auto& args : cases) {
    Outcome outcome = RunTagsmith(args);
    EXPECT_EQ(outcome.status, 0) << args.back();
    EXPECT_EQ(outcome.err, "") << args.back();
    for (const char* option : {"--app-dir", "--secure", "--split",
                               "--fail-alloc", "--filter", "FILE"})
      EXPECT_NE(outcome.out.find(option), std::string::npos)
          << option << " missing from help for " << args.front();
  }
}

TEST(RunCommand, FailedWriteToStandardOutputExitsWithStatusOne) {
  Outcome outcome = RunTagsmith({"run", kRealDir + "/x01-404-not-found.http"},
                                "/dev/null", "/dev/full");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err.rfind("tagsmith: error writing to standard output", 0),
            0u)
      << outcome.err;
}

}  // namespace
}  // namespace tagsmith::host
