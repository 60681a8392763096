#include "platform/process_spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

#include "platform/thread_name.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tessvark {
namespace {

// The descriptor a file started from a descriptor has in its new process.
constexpr int kStartedFileDescriptor = STDERR_FILENO + 1;

// Starts `program` as SpawnDetachedProcess says; when `file` is a descriptor, it becomes
// descriptor 3 of the new process, the one descriptor kept besides the standard ones.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments,
            ProgramLookup lookup, int file) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // dup2 onto another number clears close-on-exec; onto the same number it would not.
  if (file >= 0) posix_spawn_file_actions_adddup2(&actions, file, kStartedFileDescriptor);
  posix_spawn_file_actions_addclosefrom_np(
      &actions, file >= 0 ? kStartedFileDescriptor + 1 : STDERR_FILENO + 1);
  sigset_t empty;
  sigemptyset(&empty);
  // Handlers go back to their defaults on exec by themselves; an ignored signal stays ignored.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  std::vector<std::string> argument_text = arguments;
  std::vector<char*> argv;
  for (std::string& text : argument_text) argv.push_back(text.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int result =
      lookup == ProgramLookup::kSearchPath
          ? posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ)
          : posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

}  // namespace

pid_t SpawnDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                           ProgramLookup lookup) {
  return Spawn(program, arguments, lookup, -1);
}

pid_t SpawnDetachedProcessFromFile(int fd, const std::vector<std::string>& arguments) {
  if (fd < 0) return -1;
  // A copy above the standard descriptors and descriptor 3, so that the dup2 always moves it.
  const UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, kStartedFileDescriptor + 1));
  if (!copy.valid()) return -1;
  return Spawn("/proc/self/fd/" + std::to_string(kStartedFileDescriptor), arguments,
               ProgramLookup::kPath, copy.get());
}

void ReapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      NameThisThread("reaper");
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
  }
}

}  // namespace tessvark
