// See server_heap.h.
#include "host/server_heap.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tagsmith::host {

void KeepFreedHeap() {
#if defined(__GLIBC__)
  mallopt(M_TRIM_THRESHOLD, kKeptFreeHeap);
#endif
}

}  // namespace tagsmith::host
