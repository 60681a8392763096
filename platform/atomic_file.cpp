#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

}  // namespace

bool CreateFolderWithParents(const std::filesystem::path& folder) {
  if (folder.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error);
}

std::filesystem::path UniqueTemporaryPath(const std::filesystem::path& target) {
  std::string name = target.filename().string();
  name += ".tmp.";
  name += std::to_string(static_cast<long long>(::getpid()));
  name += ".";
  name += std::to_string(SteadyClockNanoseconds());
  return target.parent_path() / name;
}

ReplaceFileStatus ReplaceFileWithText(const std::filesystem::path& target,
                                      const std::filesystem::path& temporary,
                                      std::string_view text, TemporaryFileMode mode) {
  if (!CreateFolderWithParents(target.parent_path())) return ReplaceFileStatus::kFolderFailed;
  const int flags = mode == TemporaryFileMode::kExclusive ? O_EXCL : O_TRUNC;
  UniqueFd descriptor(OpenForWriting(temporary, flags, 0666));
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
