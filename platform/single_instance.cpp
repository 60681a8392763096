#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tessvark {

namespace {

// `name` in "XDG_RUNTIME_DIR", else in /tmp after "tessvark-<uid>".
std::string PerUserPath(const EnvironmentLookup& lookup, const std::string& name,
                        const std::string& shared_suffix) {
  const char* runtime_dir = lookup("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] != '\0') return std::string(runtime_dir) + "/" + name;
  return "/tmp/tessvark-" + std::to_string(geteuid()) + shared_suffix;
}

}  // namespace

std::string InstanceLockPath(const EnvironmentLookup& lookup) {
  return PerUserPath(lookup, "tessvark.lock", ".lock");
}

std::string InstanceRecordPath(const EnvironmentLookup& lookup) {
  return PerUserPath(lookup, "tessvark-url", "-url");
}

SingleInstanceLock::SingleInstanceLock(const std::string& path) {
  UniqueFd file(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return;
  const int fd = file.get();
  struct stat info {};
  // A file planted by another user (for instance in the shared /tmp) must not decide whether
  // this user's program runs.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) return;
  int result = 0;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    fd_ = std::move(file);
    status_ = InstanceLockStatus::kAcquired;
    return;
  }
  status_ = errno == EWOULDBLOCK ? InstanceLockStatus::kHeldElsewhere
                                 : InstanceLockStatus::kUnavailable;
}

}  // namespace tessvark
