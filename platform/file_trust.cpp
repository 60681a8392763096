#include "platform/file_trust.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace tessvark {

FileTrust FileTrustOf(uid_t owner, mode_t mode, uid_t running_user) {
  if (!S_ISREG(mode)) return FileTrust::kUnreadable;
  if (owner != 0 && owner != running_user) return FileTrust::kForeignOwner;
  if ((mode & (S_IWGRP | S_IWOTH)) != 0) return FileTrust::kWritableByOthers;
  return FileTrust::kTrusted;
}

FileTrust CheckFileTrust(const std::string& path) {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) return FileTrust::kUnreadable;
  return FileTrustOf(status.st_uid, status.st_mode, geteuid());
}

bool IsRegularFile(const std::string& path) {
  struct stat status {};
  return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string CanonicalFilePath(const std::string& path) {
  if (path.empty()) return {};
  const std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace tessvark
