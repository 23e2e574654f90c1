// An open file descriptor that closes itself: the one owner of a descriptor
// from the open that made it to the close. Move-only; -1 holds nothing.
#ifndef TAGSMITH_COMMANDS_SERVE_FILE_HANDLE_H_
#define TAGSMITH_COMMANDS_SERVE_FILE_HANDLE_H_

#include <unistd.h>

#include <utility>

namespace tagsmith::host {

class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_FILE_HANDLE_H_
