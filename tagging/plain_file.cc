#include "tagging/plain_file.h"

#include <cstdint>

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
// Opened for its size first, so that nothing but a disk file is read.
int OpenPlain(const char* path, std::uint64_t* size) {
  const int fd = _open(path, _O_BINARY | _O_RDONLY);
  if (fd < 0) return -1;
  struct _stat64 st;
  if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    _close(fd);
    return -1;
  }
  *size = static_cast<std::uint64_t>(st.st_size);
  return fd;
}
long ReadSome(int fd, char* buf, std::size_t n) {
  const unsigned ask = n > 0x40000000u ? 0x40000000u : static_cast<unsigned>(n);
  return _read(fd, buf, ask);
}
void ClosePlain(int fd) { _close(fd); }
#else
// The open does not block; the descriptor itself is judged, so a link is
// judged by what it points at.
int OpenPlain(const char* path, std::uint64_t* size) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
#ifdef O_CLOEXEC
  flags |= O_CLOEXEC;
#endif
  int fd;
  do fd = open(path, flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  *size = static_cast<std::uint64_t>(st.st_size);
  return fd;
}
long ReadSome(int fd, char* buf, std::size_t n) {
  ssize_t got;
  do got = read(fd, buf, n);
  while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}
void ClosePlain(int fd) { close(fd); }
#endif

}  // namespace

bool ReadPlainFile(const char* path, std::size_t limit, const WorkingHeap& heap,
                   HeapBuffer* out) {
  std::uint64_t size = 0;
  const int fd = OpenPlain(path, &size);
  if (fd < 0) return false;
  const std::size_t before = out->length;
  // One byte more than the limit is asked for, so that a file grown since
  // its size was taken is still found too long.
  bool ok = size <= limit &&
            ReserveBuffer(heap, out, static_cast<std::size_t>(size) + 1,
                          before + limit + 1);
  while (ok) {
    const std::size_t room = out->capacity - out->length;
    const long got = ReadSome(fd, out->bytes + out->length, room);
    if (got < 0) ok = false;
    if (got <= 0) break;
    out->length += static_cast<std::size_t>(got);
    if (out->length - before > limit) ok = false;
    if (ok && out->length == out->capacity) {
      ok = ReserveBuffer(heap, out, 1, before + limit + 1);
    }
  }
  ClosePlain(fd);
  if (!ok) out->length = before;
  return ok;
}
