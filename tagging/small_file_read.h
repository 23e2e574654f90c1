// Reads a small regular file front to back into buffers the caller owns.
// The open never waits (a FIFO without a writer or a device cannot hold the
// request), and a usual file costs an open, one read and a close: elsewhere
// than on Windows the file's type and size are looked at only when the first
// read fills the caller's buffer, so a device that answers a positioned read
// with fewer bytes is read as a file. The caller owns every buffer and the
// SmallFile record; the unit keeps nothing between calls but the open file.
#ifndef TAGSMITH_TAGGING_SMALL_FILE_READ_H_
#define TAGSMITH_TAGGING_SMALL_FILE_READ_H_

#include <cstddef>
#include <cstdint>

// What a file came to. Each caller decides what absent and too large mean
// to it.
enum class SmallFileStatus {
  kRead,      // bytes were read (possibly none: the file has ended)
  kAbsent,    // missing, unreadable, or not a regular file
  kTooLarge,  // a regular file of more than the caller's limit
};

// An open file. Plain record; the owner calls CloseSmallFile after an open
// that gave kRead.
struct SmallFile {
  int fd;
  std::uint64_t limit;  // the most bytes the caller takes
  std::uint64_t at;     // bytes read so far
  bool judged;          // known to be a regular file
  bool ended;           // a read came short: nothing follows
};

// Opens `path` for a read of at most `limit` bytes. Anything but kRead
// leaves nothing open. On Windows the type and size are judged here; other
// systems judge them at the first read that fills its buffer.
SmallFileStatus OpenSmallFile(const char* path, std::uint64_t limit,
                              SmallFile* file);

// Reads the file's next bytes into buf[0..cap) and sets *got to their count;
// fewer than cap means the file has ended, and later reads give 0 without
// asking the system. The first read is one system read (a regular file reads
// short only at its end); later ones fill buf unless the file ends first.
// kAbsent when a read fails or what fills the first read is not a regular
// file; kTooLarge when its size, or the bytes read so far, pass the limit.
// *got is then 0, and the bytes in buf are not to be used.
// REQUIRES: the file was opened with kRead and not closed; cap > 0.
SmallFileStatus ReadSmallFile(SmallFile* file, void* buf, std::size_t cap,
                              std::size_t* got);

void CloseSmallFile(SmallFile* file);

#endif  // TAGSMITH_TAGGING_SMALL_FILE_READ_H_
