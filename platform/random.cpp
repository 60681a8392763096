#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace tessvark {

bool FillRandomBytes(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < length) {
    // A request may be cut short by a signal; what arrived counts, the rest is asked again.
    const ssize_t got = getrandom(out + filled, length - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace tessvark
