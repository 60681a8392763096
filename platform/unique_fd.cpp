#include "platform/unique_fd.h"

#include "core/descriptor.h"

namespace tessvark {

void UniqueFd::Reset(int fd) {
  CloseSocketOrFile(fd_);
  fd_ = fd;
}

}  // namespace tessvark
