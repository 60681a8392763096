#pragma once

#include <string>
#include <string_view>

namespace tessvark {

// The application log "logs/tessvark.log" of the data folder: one line per event, each ending
// with CR LF, always appended, never rotated or truncated. Each line is one append-mode write, so
// lines of concurrent writers never interleave; a line that cannot be written is dropped.
class AppLog {
 public:
  AppLog() = default;  // no log: every line is dropped
  explicit AppLog(std::string path) : path_(std::move(path)) {}

  void Append(std::string_view line) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tessvark
