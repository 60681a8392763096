#pragma once

#include <string>

#include "platform/data_folder.h"
#include "platform/unique_fd.h"

namespace tessvark {

// The per-user lock file that marks a running instance: "tessvark.lock" in "XDG_RUNTIME_DIR"
// when that is set and not empty, else "/tmp/tessvark-<uid>.lock".
std::string InstanceLockPath(const EnvironmentLookup& lookup);

// Where the running instance leaves its address for any later start of the same user, beside
// the lock: "tessvark-url" in "XDG_RUNTIME_DIR", else "/tmp/tessvark-<uid>-url".
std::string InstanceRecordPath(const EnvironmentLookup& lookup);

enum class InstanceLockStatus {
  kAcquired = 0,     // this process is the first instance and holds the lock
  kHeldElsewhere = 1,  // another process holds it: an instance is running
  kUnavailable = 2,  // the lock file could not be used; go on without it
};

// An exclusive advisory lock (flock) on the lock file, held until the object is destroyed or
// the process ends; the system drops it with the process, so a crashed instance leaves no stale
// lock behind. The file is opened without following a symbolic link, is made readable and
// writable by its owner only, and must belong to the running user.
class SingleInstanceLock {
 public:
  explicit SingleInstanceLock(const std::string& path);
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  InstanceLockStatus status() const { return status_; }

 private:
  UniqueFd fd_;  // holds the lock while open
  InstanceLockStatus status_ = InstanceLockStatus::kUnavailable;
};

}  // namespace tessvark
