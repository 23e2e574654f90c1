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

// Bytes asked for by the first read: room for a usual snippet, so that it
// is read in one go.
constexpr std::size_t kFirstRead = 4096;

#ifdef _WIN32
// Opened for its size first, so that nothing but a disk file is read.
int OpenPlain(const char* path, bool* judged) {
  const int fd = _open(path, _O_BINARY | _O_RDONLY);
  if (fd < 0) return -1;
  struct _stat64 st;
  if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    _close(fd);
    return -1;
  }
  *judged = true;
  return fd;
}
// Read front to back, so the position is the offset asked for.
long ReadAt(int fd, char* buf, std::size_t n, std::uint64_t) {
  const unsigned ask = n > 0x40000000u ? 0x40000000u : static_cast<unsigned>(n);
  return _read(fd, buf, ask);
}
bool IsPlain(int) { return true; }
void ClosePlain(int fd) { _close(fd); }
#else
// The open does not block; what it is is judged on what was opened, so a
// link counts as what it points at: a FIFO, socket or terminal refuses a
// positioned read, a directory any read, and a device without end fills
// the first read, which is then looked at (IsPlain).
int OpenPlain(const char* path, bool* judged) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
#ifdef O_CLOEXEC
  flags |= O_CLOEXEC;
#endif
  int fd;
  do fd = open(path, flags);
  while (fd < 0 && errno == EINTR);
  *judged = false;
  return fd;
}
long ReadAt(int fd, char* buf, std::size_t n, std::uint64_t at) {
  ssize_t got;
  do got = pread(fd, buf, n, static_cast<off_t>(at));
  while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}
bool IsPlain(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}
void ClosePlain(int fd) { close(fd); }
#endif

}  // namespace

bool ReadPlainFile(const char* path, std::size_t limit, const WorkingHeap& heap,
                   HeapBuffer* out) {
  bool judged = false;
  const int fd = OpenPlain(path, &judged);
  if (fd < 0) return false;
  const std::size_t before = out->length;
  // One byte more than the limit is room for, so that a longer file is
  // found too long.
  const std::size_t first = limit < kFirstRead ? limit + 1 : kFirstRead;
  bool ok = ReserveBuffer(heap, out, first, before + limit + 1);
  std::uint64_t at = 0;
  while (ok) {
    const std::size_t room = out->capacity - out->length;
    const long got = ReadAt(fd, out->bytes + out->length, room, at);
    if (got < 0) ok = false;
    if (got <= 0) break;
    out->length += static_cast<std::size_t>(got);
    at += static_cast<std::uint64_t>(got);
    if (out->length - before > limit) ok = false;
    if (!ok) break;
    if (out->length < out->capacity) {
      // A regular file reads short only at its end.
      if (!judged) break;
      continue;
    }
    if (!judged) {
      judged = true;
      ok = IsPlain(fd);
    }
    if (ok) ok = ReserveBuffer(heap, out, 1, before + limit + 1);
  }
  ClosePlain(fd);
  if (!ok) out->length = before;
  return ok;
}
