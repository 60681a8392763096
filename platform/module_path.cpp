#include "platform/module_path.h"

#include <limits.h>
#include <unistd.h>

namespace tessvark {

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  // A result that fills the buffer may have been cut off: treat it as not obtained.
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(buffer)) return std::string();
  const std::string path(buffer, static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace tessvark
