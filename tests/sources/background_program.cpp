#include "background_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/support/wait_until.h"

extern char** environ;

namespace tessvark::testing {

namespace {

pid_t Spawn(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

int RunProgram(const std::vector<std::string>& arguments) {
  const pid_t pid = Spawn(arguments);
  if (pid <= 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& arguments) : pid_(Spawn(arguments)) {}

bool BackgroundProgram::WaitForExit(int timeout_ms) {
  return WaitUntil(
      [this] {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
        return pid_ <= 0;
      },
      std::chrono::milliseconds(timeout_ms));
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  // A grace period before the program is killed, not a condition of any test.
  if (!WaitForExit(2000)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

}  // namespace tessvark::testing
