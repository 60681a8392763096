#include "platform/file_trust.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace tessvark {
namespace {

// The parts of an absolute path; false when it is not absolute or holds "." or "..".
bool SplitAbsolutePath(const std::string& path, std::vector<std::string>& parts) {
  if (path.empty() || path[0] != '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + start, end - start);
    if (part == "." || part == "..") return false;
    if (!part.empty()) parts.emplace_back(part);
    start = end + 1;
  }
  return true;
}

OpenFileFailure FailureOf(int error) {
  switch (error) {
    case ENOENT:
      return OpenFileFailure::kMissing;
    case ELOOP:
    case ENOTDIR:
      return OpenFileFailure::kLink;
    default:
      return OpenFileFailure::kUnreadable;
  }
}

// Enters `parts` folder by folder from "/", without following links, and notes each folder's
// status as it was entered. Returns the last folder, or an invalid descriptor with `failure`.
UniqueFd EnterFolders(const std::vector<std::string>& parts, std::vector<FolderStatus>& folders,
                      OpenFileFailure& failure) {
  UniqueFd folder(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string path;
  for (std::size_t i = 0;; ++i) {
    struct stat status {};
    if (!folder.valid() || fstat(folder.get(), &status) != 0) {
      failure = OpenFileFailure::kUnreadable;
      return UniqueFd();
    }
    folders.push_back({path.empty() ? std::string("/") : path, status.st_uid, status.st_mode});
    if (i == parts.size()) return folder;
    path += "/" + parts[i];
    UniqueFd next(openat(folder.get(), parts[i].c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      failure = FailureOf(errno);
      return UniqueFd();
    }
    folder = std::move(next);
  }
}

TrustVerdict VerdictOnFolders(const std::vector<FolderStatus>& folders, uid_t running_user) {
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    const FileTrust trust = FolderTrustOf(it->owner, it->mode, running_user);
    if (trust != FileTrust::kTrusted) return {trust, it->path, true, it->owner, it->mode};
  }
  return {FileTrust::kTrusted, std::string(), true, 0, 0};
}

}  // namespace

FileTrust FileTrustOf(uid_t owner, mode_t mode, uid_t running_user) {
  if (!S_ISREG(mode)) return FileTrust::kUnreadable;
  if (owner != 0 && owner != running_user) return FileTrust::kForeignOwner;
  if ((mode & (S_IWGRP | S_IWOTH)) != 0) return FileTrust::kWritableByOthers;
  return FileTrust::kTrusted;
}

FileTrust FolderTrustOf(uid_t owner, mode_t mode, uid_t running_user) {
  if (!S_ISDIR(mode)) return FileTrust::kUnreadable;
  if (owner != 0 && owner != running_user) return FileTrust::kForeignOwner;
  if ((mode & (S_IWGRP | S_IWOTH)) != 0 && (mode & S_ISVTX) == 0) {
    return FileTrust::kWritableByOthers;
  }
  return FileTrust::kTrusted;
}

OpenedFile OpenFileWithoutLinks(const std::string& path) {
  OpenedFile file;
  file.path = path;
  std::vector<std::string> parts;
  if (!SplitAbsolutePath(path, parts) || parts.empty()) {
    file.failure = OpenFileFailure::kLink;
    return file;
  }
  const std::string name = parts.back();
  parts.pop_back();
  const UniqueFd folder = EnterFolders(parts, file.folders, file.failure);
  if (!folder.valid()) return file;
  // Not blocking: opening a named pipe placed at the name must not wait for a writer.
  file.fd.Reset(openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.fd.valid()) {
    file.failure = FailureOf(errno);
    return file;
  }
  if (fstat(file.fd.get(), &file.status) != 0) {
    file.fd.Reset();
    file.failure = OpenFileFailure::kUnreadable;
    return file;
  }
  if (!S_ISREG(file.status.st_mode)) {
    file.fd.Reset();
    file.failure = OpenFileFailure::kNotRegular;
    return file;
  }
  fcntl(file.fd.get(), F_SETFL, fcntl(file.fd.get(), F_GETFL) & ~O_NONBLOCK);
  file.failure = OpenFileFailure::kNone;
  return file;
}

TrustVerdict JudgeOpenedFile(const OpenedFile& file, uid_t running_user) {
  if (!file.fd.valid()) return {FileTrust::kUnreadable, file.path, false, 0, 0};
  const FileTrust trust = FileTrustOf(file.status.st_uid, file.status.st_mode, running_user);
  if (trust != FileTrust::kTrusted) {
    return {trust, file.path, false, file.status.st_uid, file.status.st_mode};
  }
  return VerdictOnFolders(file.folders, running_user);
}

TrustVerdict JudgeFolderAndAbove(const std::string& path, uid_t running_user) {
  const std::string canonical = CanonicalFilePath(path);
  std::vector<std::string> parts;
  std::vector<FolderStatus> folders;
  OpenFileFailure failure = OpenFileFailure::kNone;
  if (canonical.empty() || !SplitAbsolutePath(canonical, parts) ||
      !EnterFolders(parts, folders, failure).valid()) {
    return {FileTrust::kUnreadable, path, true, 0, 0};
  }
  return VerdictOnFolders(folders, running_user);
}

std::string UserName(uid_t user) {
  passwd entry {};
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0') {
    return found->pw_name;
  }
  return std::to_string(user);
}

std::string ModeDigits(mode_t mode) {
  std::string digits;
  for (const int shift : {6, 3, 0}) digits += static_cast<char>('0' + ((mode >> shift) & 7));
  return digits;
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
