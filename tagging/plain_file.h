// Reads a small file of a web application, such as its snippet, whole into
// working storage. Only a regular file is read; the open never waits (a
// FIFO or a device reads as unreadable at once). A usual file costs an
// open, one read and a close: elsewhere than on Windows its type is looked
// at only when the first read fills its room (so a device that answers a
// positioned read with fewer bytes is read as a file). The bytes belong to the
// caller's HeapBuffer, which the caller releases.
#ifndef TAGSMITH_TAGGING_PLAIN_FILE_H_
#define TAGSMITH_TAGGING_PLAIN_FILE_H_

#include <cstddef>

#include "tagging/working_heap.h"

// Appends the file's bytes to `out`. False when the file is missing, not a
// regular file, longer than `limit` bytes, cannot be read, or the heap
// refuses the room; `out` then holds no more than before.
bool ReadPlainFile(const char* path, std::size_t limit, const WorkingHeap& heap,
                   HeapBuffer* out);

#endif  // TAGSMITH_TAGGING_PLAIN_FILE_H_
