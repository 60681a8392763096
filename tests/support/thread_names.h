#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tessvark::testing {

// The names of a process's threads as the system shows them to `top -H` and to stack dumps
// (/proc/<pid>/task/<tid>/comm), in no particular order. A thread that ends while they are read
// is left out.
inline std::vector<std::string> ThreadNamesOf(pid_t pid) {
  std::vector<std::string> names;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  return names;
}

// How many of the process's threads carry `name`.
inline int ThreadsNamed(pid_t pid, const std::string& name) {
  const std::vector<std::string> names = ThreadNamesOf(pid);
  return static_cast<int>(std::count(names.begin(), names.end(), name));
}

// The calling thread's name as the system shows it.
inline std::string OwnThreadName() {
  std::ifstream comm("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace tessvark::testing
