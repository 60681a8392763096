#include "app/app_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tessvark {

void AppLog::Append(std::string_view line) const {
  if (path_.empty()) return;
  const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return;
  std::string record(line);
  record += "\r\n";
  std::size_t written = 0;
  while (written < record.size()) {
    const ssize_t result = write(fd, record.data() + written, record.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    written += static_cast<std::size_t>(result);
  }
  close(fd);
}

}  // namespace tessvark
