#include "platform/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/steady_clock.h"
#include "platform/unique_fd.h"

namespace tessvark {
namespace {

int OpenForWriting(const std::filesystem::path& path, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// Every byte or nothing: a write that reports zero or fewer bytes ends the loop as a failure,
// so a full disk can never leave a silently shortened file behind.
bool WriteAll(int descriptor, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

bool SyncDescriptor(int descriptor) {
  int result;
  do {
    result = ::fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void RemoveQuietly(const std::filesystem::path& path) { ::unlink(path.c_str()); }

// A rename or a new name is durable only once the folder entry itself reached the disk.
// Folders that cannot be opened or synced are ignored: the file data is already safe.
void SyncFolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  const UniqueFd descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (descriptor.valid()) SyncDescriptor(descriptor.get());
}

constexpr std::string_view kTemporaryMark = ".tmp.";

bool IsDecimal(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The writer's process id in a name that UniqueTemporaryPath made: "<target>.tmp.<pid>.<ns>",
// the reading possibly negative. Nothing for any other name.
std::optional<pid_t> TemporaryFileWriter(std::string_view name) {
  const std::size_t reading_dot = name.rfind('.');
  if (reading_dot == std::string_view::npos) return std::nullopt;
  std::string_view reading = name.substr(reading_dot + 1);
  if (!reading.empty() && reading.front() == '-') reading.remove_prefix(1);
  const std::string_view head = name.substr(0, reading_dot);
  const std::size_t mark = head.rfind(kTemporaryMark);
  if (!IsDecimal(reading) || mark == std::string_view::npos || mark == 0) return std::nullopt;
  const std::string_view pid_text = head.substr(mark + kTemporaryMark.size());
  if (!IsDecimal(pid_text) || pid_text.size() > 10) return std::nullopt;
  const long long pid = std::stoll(std::string(pid_text));
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return std::nullopt;
  return static_cast<pid_t>(pid);
}

// Only "no such process" counts as gone: a process of another user answers EPERM and lives.
bool ProcessIsGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

bool CreateFolderWithParents(const std::filesystem::path& folder) {
  if (folder.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error);
}

std::filesystem::path UniqueTemporaryPath(const std::filesystem::path& target) {
  std::string name = target.filename().string();
  name += kTemporaryMark;
  name += std::to_string(static_cast<long long>(::getpid()));
  name += ".";
  name += std::to_string(SteadyClockNanoseconds());
  return target.parent_path() / name;
}

ReplaceFileStatus ReplaceFileWithText(const std::filesystem::path& target, std::string_view text,
                                      mode_t mode) {
  if (!CreateFolderWithParents(target.parent_path())) return ReplaceFileStatus::kFolderFailed;
  const std::filesystem::path temporary = UniqueTemporaryPath(target);
  // A name planted in the folder, a link above all, makes the call fail rather than be written.
  UniqueFd descriptor(OpenForWriting(temporary, O_EXCL | O_NOFOLLOW, mode));
  if (!descriptor.valid()) return ReplaceFileStatus::kCreateFailed;
  ReplaceFileStatus failure = ReplaceFileStatus::kReplaced;
  if (!WriteAll(descriptor.get(), text)) {
    failure = ReplaceFileStatus::kWriteFailed;
  } else if (!SyncDescriptor(descriptor.get())) {
    failure = ReplaceFileStatus::kFlushFailed;
  }
  descriptor.Reset();  // closed before the rename, and before a failed file is removed
  if (failure != ReplaceFileStatus::kReplaced) {
    RemoveQuietly(temporary);
    return failure;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    RemoveQuietly(temporary);
    return ReplaceFileStatus::kReplaceFailed;
  }
  SyncFolderOf(target);
  return ReplaceFileStatus::kReplaced;
}

std::int32_t RemoveStaleTemporaryFiles(const std::filesystem::path& folder) {
  const int opened = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) return 0;
  DIR* listing = ::fdopendir(opened);
  if (listing == nullptr) {
    ::close(opened);
    return 0;
  }
  const int descriptor = ::dirfd(listing);
  const uid_t user = ::geteuid();
  std::int32_t removed = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::optional<pid_t> writer = TemporaryFileWriter(entry->d_name);
    if (!writer) continue;
    struct stat info {};
    if (::fstatat(descriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || info.st_uid != user || !ProcessIsGone(*writer)) {
      continue;
    }
    // unlinkat removes the name itself: whatever the entry has become since, nothing is followed.
    if (::unlinkat(descriptor, entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(listing);
  return removed;
}

bool WriteNewFileDurably(const std::filesystem::path& path, std::string_view text, mode_t mode) {
  UniqueFd descriptor(OpenForWriting(path, O_EXCL | O_NOFOLLOW, mode));
  if (!descriptor.valid()) return false;
  const bool written = WriteAll(descriptor.get(), text) && SyncDescriptor(descriptor.get());
  descriptor.Reset();
  if (!written) {
    RemoveQuietly(path);
    return false;
  }
  SyncFolderOf(path);
  return true;
}

bool ReadFileExact(const std::filesystem::path& path, std::uint64_t length, std::string& out) {
  constexpr std::size_t kMaxRead = 1048576;
  out.clear();
  if (length == 0) return false;
  int opened;
  do {
    opened = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return false;
  const UniqueFd file(opened);
  const int descriptor = file.get();
  struct stat info {};
  bool ok = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::uint64_t>(info.st_size) == length;
  if (ok) out.resize(length);
  std::size_t done = 0;
  while (ok && done < length) {
    const std::size_t wanted = std::min<std::uint64_t>(kMaxRead, length - done);
    const ssize_t got = ::read(descriptor, out.data() + done, wanted);
    if (got < 0 && errno == EINTR) continue;
    ok = got > 0;
    if (ok) done += static_cast<std::size_t>(got);
  }
  // A file that grew since it was measured is not the file that was measured.
  char extra = 0;
  ssize_t beyond;
  do {
    beyond = ok ? ::read(descriptor, &extra, 1) : 0;
  } while (beyond < 0 && errno == EINTR);
  ok = ok && beyond == 0;
  if (!ok) out.clear();
  return ok;
}

bool LinkFileDurably(const std::filesystem::path& existing, const std::filesystem::path& added) {
  if (::link(existing.c_str(), added.c_str()) != 0) return false;
  SyncFolderOf(added);
  return true;
}

}  // namespace tessvark
