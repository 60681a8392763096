#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessvark {

// The application log "logs/tessvark.log" of the data folder: one line per event, each ending
// with CR LF, always appended. Each line is one append-mode write, so lines of concurrent writers
// never interleave; a line that cannot be written is dropped. Lines carry text from outside (a
// watcher's error, an exception's message), so the log is bounded: a line longer than 1 KiB is
// cut to 1 KiB ending in "...", and a line that would take the file past 1 MiB first renames it
// to "tessvark.log.1" (replacing the older one) and starts a new file.
class AppLog {
 public:
  static constexpr std::size_t kMaxLineBytes = 1024;
  static constexpr std::uint64_t kMaxFileBytes = 1 << 20;

  AppLog() = default;  // no log: every line is dropped
  explicit AppLog(std::string path) : path_(std::move(path)) {}

  void Append(std::string_view line) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tessvark
