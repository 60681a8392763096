#include "platform/picture_buffers.h"

#include <malloc.h>

namespace tessvark {

void KeepPictureBuffersForReuse() {
  // Buffers below 32 MiB (the allocator's largest allowed threshold; a 4K frame is 25 MB) come
  // from the heap, and free memory is handed back only once 256 MiB of it lie at a heap's top.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
}

}  // namespace tessvark
