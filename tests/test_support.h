// Helpers that many test files share: whole files in and out, a scratch
// directory, starting a program, random cut points. Plain functions without
// GoogleTest, so every test program can link them; the caller owns the files
// and processes they make.
#ifndef TAGSMITH_TESTS_TEST_SUPPORT_H_
#define TAGSMITH_TESTS_TEST_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tagsmith::test_support {

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// A directory for one test, removed with everything in it. Its path is
// canonical (empty when it could not be made).
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Spawns argv (argv[0] a path, or a name found on PATH) with standard input
// from `in` and its output and errors to the files `out` and `err`; -1 when
// it cannot start.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::string& err, const std::string& in = "/dev/null");
// Waits for `pid` until `limit`; its wait status, or nothing on timeout.
std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds limit);

// `picks` random offsets in [0, length], sorted, with repeats and
// neighbours, so that cutting there gives empty and one-byte pieces.
std::vector<std::size_t> RandomOffsets(std::size_t length, std::mt19937& rng,
                                       int picks);

}  // namespace tagsmith::test_support

#endif  // TAGSMITH_TESTS_TEST_SUPPORT_H_
