#include "tagging/plain_file.h"

#include <cstdint>

#include "tagging/small_file_read.h"

namespace {

// Bytes asked for by the first read: room for a usual snippet, so that it
// is read in one go.
constexpr std::size_t kFirstRead = 4096;

}  // namespace

bool ReadPlainFile(const char* path, std::size_t limit, const WorkingHeap& heap,
                   HeapBuffer* out) {
  // A missing file, one that is not a regular file and one over the limit
  // are all refused alike; an empty file reads as no bytes.
  SmallFile file;
  if (OpenSmallFile(path, limit, &file) != SmallFileStatus::kRead) return false;
  const std::size_t before = out->length;
  // One byte more than the limit is room for, so that a longer file is
  // found too long.
  const std::size_t first = limit < kFirstRead ? limit + 1 : kFirstRead;
  bool ok = ReserveBuffer(heap, out, first, before + limit + 1);
  while (ok) {
    const std::size_t room = out->capacity - out->length;
    std::size_t got = 0;
    ok = ReadSmallFile(&file, out->bytes + out->length, room, &got) ==
         SmallFileStatus::kRead;
    out->length += got;
    if (!ok || got < room) break;  // refused, or the file has ended
    ok = ReserveBuffer(heap, out, 1, before + limit + 1);
  }
  CloseSmallFile(&file);
  if (!ok) out->length = before;
  return ok;
}
