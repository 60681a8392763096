#include "app/app_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tessvark {
namespace {

constexpr char kCutMark[] = "...";

int OpenLog(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
}

// The line, cut to kMaxLineBytes with the cut marked; never inside a UTF-8 character.
std::string CutLine(std::string_view line) {
  if (line.size() <= AppLog::kMaxLineBytes) return std::string(line);
  std::size_t keep = AppLog::kMaxLineBytes - (sizeof(kCutMark) - 1);
  while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xc0) == 0x80) --keep;
  return std::string(line.substr(0, keep)) + kCutMark;
}

}  // namespace

void AppLog::Append(std::string_view line) const {
  if (path_.empty()) return;
  UniqueFd file(OpenLog(path_));
  if (!file.valid()) return;
  const std::string record = CutLine(line) + "\r\n";
  struct stat info {};
  if (fstat(file.get(), &info) == 0 && info.st_size > 0 &&
      static_cast<std::uint64_t>(info.st_size) + record.size() > kMaxFileBytes) {
    // The full log becomes the one older file, replacing the one before it.
    rename(path_.c_str(), (path_ + ".1").c_str());
    file.Reset(OpenLog(path_));
    if (!file.valid()) return;
  }
  std::size_t written = 0;
  while (written < record.size()) {
    const ssize_t result = write(file.get(), record.data() + written, record.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    written += static_cast<std::size_t>(result);
  }
}

}  // namespace tessvark
