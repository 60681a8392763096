#include "platform/browser_launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <system_error>
#include <thread>

extern char** environ;

namespace tessvark {
namespace {

bool IsSetAndNotEmpty(const EnvironmentLookup& lookup, const char* name) {
  const char* value = lookup(name);
  return value != nullptr && value[0] != '\0';
}

// Starts xdg-open with a clean signal state: the child would otherwise inherit the host's
// blocked signals and ignored SIGPIPE, and so would the browser it starts.
pid_t SpawnXdgOpen(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = -1;
  const int result = posix_spawnp(&pid, "xdg-open", &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

}  // namespace

bool HasGraphicalDisplay(const EnvironmentLookup& lookup) {
  return IsSetAndNotEmpty(lookup, "DISPLAY") || IsSetAndNotEmpty(lookup, "WAYLAND_DISPLAY");
}

void OpenUrlInBrowser(const std::string& url) {
  const pid_t pid = HasGraphicalDisplay(ReadProcessEnvironment) ? SpawnXdgOpen(url) : -1;
  if (pid < 0) {
    // No desktop, or no xdg-open on it: the user opens the address by hand.
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);
    return;
  }
  // xdg-open hands the URL to the browser and ends; reap it so that no zombie stays behind. A
  // reaper that cannot be started leaves only a zombie until the program ends.
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
  }
}

}  // namespace tessvark
