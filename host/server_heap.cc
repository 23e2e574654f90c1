// See server_heap.h.
#include "host/server_heap.h"

// Any C library header says which C library this is: without one,
// __GLIBC__ is never defined here and the settings below are never made.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tagsmith::host {

void KeepFreedHeap() {
#if defined(__GLIBC__)
  // Setting either fixes the other, which glibc would otherwise raise as
  // blocks are freed: a block of a page over 128 KiB would then be a
  // mapping of its own, unmapped again with the page.
  mallopt(M_TRIM_THRESHOLD, kKeptFreeHeap);
  mallopt(M_MMAP_THRESHOLD, kKeptFreeHeap);
#endif
}

}  // namespace tagsmith::host
