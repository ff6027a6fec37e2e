#include "Platform/Memory.hpp"

#include <malloc.h>

namespace platform {

void keepLargeBuffersOutOfTheHeap() {
  // A fixed threshold also stops glibc from raising it after the first free.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

}  // namespace platform
