#pragma once

// The real program started by a bench, on folders of its own, and what a bench reads of it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tessvark::bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The process's resident memory in MiB, from /proc; negative when unreadable.
inline double ResidentMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return -1.0;
}

// The program on a data folder and runtime folder of its own, without a browser, with
// `extra` environment entries ("NAME=value").
class Program {
 public:
  Program(const std::string& path, const std::filesystem::path& root,
          const std::vector<std::string>& extra = {})
      : data_(root / "data") {
    std::filesystem::create_directories(data_);
    std::filesystem::create_directories(root / "run");
    std::vector<std::string> env_text;
    // An entry of `extra` takes the place of the inherited one of its name.
    const auto replaced = [&extra](const std::string& text) {
      for (const std::string& entry : extra) {
        if (text.rfind(entry.substr(0, entry.find('=') + 1), 0) == 0) return true;
      }
      return false;
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (text.rfind("LOCALAPPDATA=", 0) != 0 && text.rfind("XDG_RUNTIME_DIR=", 0) != 0 &&
          text.rfind("DISPLAY=", 0) != 0 && text.rfind("WAYLAND_DISPLAY=", 0) != 0 &&
          !replaced(text)) {
        env_text.push_back(text);
      }
    }
    env_text.push_back("LOCALAPPDATA=" + (root / "local").string());
    env_text.push_back("XDG_RUNTIME_DIR=" + (root / "run").string());
    env_text.push_back("TESSVARK_NO_BROWSER=");
    env_text.insert(env_text.end(), extra.begin(), extra.end());
    std::vector<std::string> argv_text = {path, "--no-browser", "--config", data_.string()};
    std::vector<char*> argv;
    for (std::string& text : argv_text) argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& text : env_text) envp.push_back(text.data());
    envp.push_back(nullptr);
    const std::string log = (root / "program.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  ~Program() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  // The port of the URL file once the server listens; 0 when it does not within 30 s.
  int WaitForPort() const {
    const auto end = Clock::now() + std::chrono::seconds(30);
    const std::string prefix = "http://127.0.0.1:";
    while (Clock::now() < end) {
      std::ifstream file(data_ / "tessvark-url");
      std::string url;
      std::getline(file, url);
      if (url.rfind(prefix, 0) == 0) return std::atoi(url.c_str() + prefix.size());
      std::this_thread::sleep_for(milliseconds(20));
    }
    return 0;
  }

  // Milliseconds until the process ended, or nothing within `limit`.
  std::optional<double> WaitForExit(milliseconds limit) {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        ended_ = true;
        return MillisecondsSince(start);
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    return std::nullopt;
  }

 private:
  std::filesystem::path data_;
  pid_t pid_ = -1;
  bool ended_ = false;
};

}  // namespace tessvark::bench
