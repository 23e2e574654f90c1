#include "tagging/small_file_read.h"

#include <cassert>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

#ifdef _WIN32
// Judged once opened, before any read: the stream reads that follow would
// otherwise take a device's bytes.
SmallFileStatus OpenFile(const char* path, std::uint64_t limit, int* fd) {
  *fd = _open(path, _O_BINARY | _O_RDONLY);
  if (*fd < 0) return SmallFileStatus::kAbsent;
  struct _stat64 st;
  SmallFileStatus status = SmallFileStatus::kRead;
  if (_fstat64(*fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    status = SmallFileStatus::kAbsent;
  } else if (static_cast<std::uint64_t>(st.st_size) > limit) {
    status = SmallFileStatus::kTooLarge;
  }
  if (status != SmallFileStatus::kRead) _close(*fd);
  return status;
}
constexpr bool kJudgedAtOpen = true;
// The file is read front to back, so the position is the offset asked for.
long ReadAt(int fd, unsigned char* buf, std::size_t n, std::uint64_t) {
  const unsigned ask = n > 0x40000000u ? 0x40000000u : static_cast<unsigned>(n);
  return _read(fd, buf, ask);
}
SmallFileStatus Judge(int, std::uint64_t) { return SmallFileStatus::kRead; }
void CloseFile(int fd) { _close(fd); }
#else
// Opens the file without blocking, so a FIFO without a writer or a device
// cannot hold the request; what it is is judged on what was opened, so a
// link counts as what it points at. O_NONBLOCK changes nothing for reading
// a regular file.
SmallFileStatus OpenFile(const char* path, std::uint64_t, int* fd) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
#ifdef O_CLOEXEC
  flags |= O_CLOEXEC;  // the worker process may start others
#endif
  do *fd = open(path, flags);
  while (*fd < 0 && errno == EINTR);
  return *fd < 0 ? SmallFileStatus::kAbsent : SmallFileStatus::kRead;
}
constexpr bool kJudgedAtOpen = false;
// Positioned reads: a FIFO, socket or terminal refuses them (ESPIPE) and a
// directory refuses any read (EISDIR), so neither needs a look at its type.
long ReadAt(int fd, unsigned char* buf, std::size_t n, std::uint64_t at) {
  ssize_t got;
  do got = pread(fd, buf, n, static_cast<off_t>(at));
  while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}
// What fills a whole first read: a device that answers positioned reads
// without end (/dev/zero) is caught here; a smaller file never pays for it.
SmallFileStatus Judge(int fd, std::uint64_t limit) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return SmallFileStatus::kAbsent;
  return static_cast<std::uint64_t>(st.st_size) > limit
             ? SmallFileStatus::kTooLarge
             : SmallFileStatus::kRead;
}
void CloseFile(int fd) { close(fd); }
#endif

// Fills buf from offset `at` unless the file ends first, so a short count
// means end of file whatever sizes the system hands out. -1 on a read error.
long Fill(int fd, unsigned char* buf, std::size_t cap, std::uint64_t at) {
  std::size_t got = 0;
  while (got < cap) {
    const long n = ReadAt(fd, buf + got, cap - got, at + got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

}  // namespace

SmallFileStatus OpenSmallFile(const char* path, std::uint64_t limit,
                              SmallFile* file) {
  *file = SmallFile{-1, limit, 0, kJudgedAtOpen, false};
  return OpenFile(path, limit, &file->fd);
}

SmallFileStatus ReadSmallFile(SmallFile* file, void* buf, std::size_t cap,
                              std::size_t* got) {
  assert(file->fd >= 0 && cap > 0);
  *got = 0;
  if (file->ended) return SmallFileStatus::kRead;
  unsigned char* const bytes = static_cast<unsigned char*>(buf);
  const long n = file->at == 0 ? ReadAt(file->fd, bytes, cap, 0)
                               : Fill(file->fd, bytes, cap, file->at);
  if (n < 0) return SmallFileStatus::kAbsent;
  const std::size_t count = static_cast<std::size_t>(n);
  // A file that grew past the limit since it was judged counts as too large.
  if (file->at + count > file->limit) return SmallFileStatus::kTooLarge;
  if (count == cap && !file->judged) {
    const SmallFileStatus status = Judge(file->fd, file->limit);
    if (status != SmallFileStatus::kRead) return status;
    file->judged = true;
  }
  file->at += count;
  file->ended = count < cap;
  *got = count;
  return SmallFileStatus::kRead;
}

void CloseSmallFile(SmallFile* file) {
  CloseFile(file->fd);
  file->fd = -1;
}
