// The small-file read's three outcomes, and the bytes, for each kind of
// path and for limits and buffers on either side of the file's size.
#include "tagging/small_file_read.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

namespace {

// Reads the whole file in reads of `cap` bytes: the outcome and the bytes.
std::pair<SmallFileStatus, std::string> ReadAll(const std::string& path,
                                                std::uint64_t limit,
                                                std::size_t cap) {
  SmallFile file;
  SmallFileStatus status = OpenSmallFile(path.c_str(), limit, &file);
  std::string bytes;
  if (status != SmallFileStatus::kRead) return {status, bytes};
  std::string buf(cap, '\0');
  for (std::size_t got = cap; status == SmallFileStatus::kRead && got == cap;) {
    status = ReadSmallFile(&file, buf.data(), cap, &got);
    bytes.append(buf, 0, got);
  }
  CloseSmallFile(&file);
  return {status, bytes};
}

TEST(SmallFileRead, SaysAbsentTooLargeOrRead) {
  namespace fs = std::filesystem;
  std::string dir =
      (fs::temp_directory_path() / "tagsmith_small_XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string big(10000, 'b');
  big[4096] = 'x';
  std::ofstream(dir + "/big", std::ios::binary) << big;
  std::ofstream(dir + "/five", std::ios::binary) << "12345";
  std::ofstream(dir + "/empty", std::ios::binary);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  using S = SmallFileStatus;
  const struct {
    std::string path;
    std::uint64_t limit;
    std::size_t cap;
    S status;
    std::string bytes;
  } cases[] = {
      {dir + "/missing", 100, 16, S::kAbsent, ""},
      {dir, 100, 16, S::kAbsent, ""},
      {dir + "/fifo", 100, 16, S::kAbsent, ""},
      {"/dev/zero", 100000, 4096, S::kAbsent, ""},
      {dir + "/empty", 100, 16, S::kRead, ""},
      {dir + "/five", 5, 16, S::kRead, "12345"},
      {dir + "/five", 5, 5, S::kRead, "12345"},  // filled, then the end
      {dir + "/five", 4, 5, S::kTooLarge, ""},   // the bytes pass the limit
      {dir + "/five", 4, 16, S::kTooLarge, ""},
      {dir + "/big", 10000, 4096, S::kRead, big},    // in three reads
      {dir + "/big", 9999, 4096, S::kTooLarge, ""},  // judged by its size
      {dir + "/big", 9999, 1 << 16, S::kTooLarge, ""},
  };
  for (const auto& c : cases) {
    const auto [status, bytes] = ReadAll(c.path, c.limit, c.cap);
    EXPECT_EQ(status, c.status) << c.path << " limit " << c.limit;
    if (status == S::kRead) {
      EXPECT_EQ(bytes, c.bytes) << c.path;
    }
  }
  fs::remove_all(dir);
}

}  // namespace
