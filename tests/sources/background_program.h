#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tessvark::testing {

// Runs a program (looked up in PATH, no shell, its output discarded) and returns its exit
// status, or -1.
int RunProgram(const std::vector<std::string>& arguments);

// A program running in the background, its output discarded; stopped (SIGTERM, then SIGKILL)
// and reaped with the object.
class BackgroundProgram {
 public:
  explicit BackgroundProgram(const std::vector<std::string>& arguments);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;
  bool started() const { return pid_ > 0; }
  // The process id; -1 when it did not start or has been reaped.
  pid_t pid() const { return pid_; }
  // Waits for the program to end by itself for at most `timeout_ms`; true when it ended.
  bool WaitForExit(int timeout_ms);

 private:
  pid_t pid_ = -1;
};

}  // namespace tessvark::testing
