// See test_support.h.
#include "tests/test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace tagsmith::test_support {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScratchDir::ScratchDir() {
  std::string pattern =
      (fs::temp_directory_path() / "tagsmith-test-XXXXXX").string();
  if (mkdtemp(&pattern[0])) path_ = fs::canonical(pattern).string();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::string& err, const std::string& in) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(),
                   environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::size_t> RandomOffsets(std::size_t length, std::mt19937& rng,
                                       int picks) {
  std::vector<std::size_t> offsets;
  std::uniform_int_distribution<std::size_t> at(0, length);
  for (int i = 0; i < picks; ++i) {
    const std::size_t offset = at(rng);
    offsets.push_back(offset);
    if (i % 2 == 0) offsets.push_back(offset);
    if (i % 3 == 0 && offset < length) offsets.push_back(offset + 1);
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

}  // namespace tagsmith::test_support
