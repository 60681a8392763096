#include "app/app_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tessvark {

void AppLog::Append(std::string_view line) const {
  if (path_.empty()) return;
  const UniqueFd file(open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!file.valid()) return;
  std::string record(line);
  record += "\r\n";
  std::size_t written = 0;
  while (written < record.size()) {
    const ssize_t result = write(file.get(), record.data() + written, record.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    written += static_cast<std::size_t>(result);
  }
}

}  // namespace tessvark
