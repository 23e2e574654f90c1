// How a server process that hosts the filter keeps its freed heap. A held
// page takes a few times its size from the heap, which glibc gives back to
// the system as soon as the request ends: the heap then shrinks and grows
// again on every page (a system call, a TLB flush and fresh page faults
// each time). A server module calls this once per worker process.
#ifndef TAGSMITH_HOST_SERVER_HEAP_H_
#define TAGSMITH_HOST_SERVER_HEAP_H_

namespace tagsmith::host {

// The free heap each of the process's heaps keeps rather than give back.
inline constexpr int kKeptFreeHeap = 32 * 1024 * 1024;

// Keeps up to kKeptFreeHeap of freed heap for reuse, and takes blocks up
// to that size from the heap rather than mapping each (glibc's trim and
// mmap thresholds); does nothing where the C library has no such setting.
void KeepFreedHeap();

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_SERVER_HEAP_H_
