#include "platform/private_temp_folder.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "core/mutex.h"
#include "platform/file_trust.h"

namespace tessvark {
namespace {

// The process id in a name MakePrivateFolder made with `prefix`: prefix, digits, "-", six
// characters. Nothing for any other name.
pid_t MakerOf(std::string_view name, std::string_view prefix) {
  if (name.substr(0, prefix.size()) != prefix) return 0;
  name.remove_prefix(prefix.size());
  const std::size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 10 || name.size() - dash - 1 != 6) {
    return 0;
  }
  long long pid = 0;
  for (const char c : name.substr(0, dash)) {
    if (c < '0' || c > '9') return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid > 0 && pid <= 0x7fffffff ? static_cast<pid_t>(pid) : 0;
}

// Only "no such process" counts as gone: a process of another user answers EPERM and lives.
bool ProcessIsGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

struct ExitRemovals {
  Mutex mutex;
  std::vector<std::string> folders GUARDED_BY(mutex);
  bool registered GUARDED_BY(mutex) = false;
};

ExitRemovals& Removals() {
  // Never destroyed: the exit handler reads it after static objects may have gone.
  static ExitRemovals* const removals = new ExitRemovals;
  return *removals;
}

void RemoveRegisteredFolders() {
  ExitRemovals& removals = Removals();
  MutexLock lock(removals.mutex);
  for (const std::string& folder : removals.folders) RemovePrivateFolder(folder);
  removals.folders.clear();
}

}  // namespace

std::string SystemTempFolder(const EnvironmentLookup& lookup) {
  const char* folder = lookup("TMPDIR");
  return folder != nullptr && folder[0] == '/' ? std::string(folder) : std::string("/tmp");
}

std::string MakePrivateFolder(const std::string& parent, const std::string& prefix) {
  if (parent.empty() || JudgeFolderAndAbove(parent, geteuid()).trust != FileTrust::kTrusted) {
    return std::string();
  }
  std::string path = CanonicalFilePath(parent);
  if (path.empty()) return std::string();
  if (path.back() != '/') path += '/';
  path += prefix + std::to_string(static_cast<long long>(getpid())) + "-XXXXXX";
  // mkdtemp creates the folder with mode 0700 and fails when the name exists in any form.
  return mkdtemp(path.data()) != nullptr ? path : std::string();
}

int RemoveLeftoverPrivateFolders(const std::string& parent, const std::string& prefix) {
  // In a folder that others may rename entries in, a folder of this user under a leftover's name
  // may be one an attacker renamed there to have it deleted: such a folder is never cleaned,
  // as MakePrivateFolder never makes one there.
  if (parent.empty() || JudgeFolderAndAbove(parent, geteuid()).trust != FileTrust::kTrusted) {
    return 0;
  }
  std::error_code error;
  std::filesystem::directory_iterator listing(parent, error);
  if (error) return 0;
  const uid_t user = geteuid();
  int removed = 0;
  for (const auto& entry : listing) {
    const std::string name = entry.path().filename().string();
    const pid_t maker = MakerOf(name, prefix);
    struct stat status {};
    if (maker == 0 || maker == getpid() || lstat(entry.path().c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != user || !ProcessIsGone(maker)) {
      continue;
    }
    RemovePrivateFolder(entry.path().string());
    ++removed;
  }
  return removed;
}

void RemovePrivateFolder(const std::string& folder) {
  if (folder.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

void RemovePrivateFolderAtExit(const std::string& folder) {
  ExitRemovals& removals = Removals();
  MutexLock lock(removals.mutex);
  removals.folders.push_back(folder);
  if (!removals.registered) removals.registered = std::atexit(RemoveRegisteredFolders) == 0;
}

}  // namespace tessvark
