#include "core/descriptor.h"

#include <unistd.h>

namespace tessvark {

// Sockets and files share one descriptor space and one close call here.
int CloseSocketOrFile(int descriptor) {
  if (descriptor < 0) return -1;
  return close(descriptor) == 0 ? 0 : -1;
}

}  // namespace tessvark
