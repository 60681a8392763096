#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tessvark {

// How the program to start is found.
enum class ProgramLookup {
  kPath = 0,        // `program` is a path to the file
  kSearchPath = 1,  // `program` is a name looked up on PATH
};

// Starts `program` with `arguments` (argv[0] included) and the program's environment, as a
// process of its own that keeps nothing of this one but standard output and error: standard
// input reads /dev/null, every other descriptor is closed, no signal is blocked and SIGPIPE has
// its default action again (the host blocks some signals and ignores SIGPIPE), and it leads a
// new session, so that it outlives this program and its terminal. Returns its process id, or -1.
pid_t SpawnDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                           ProgramLookup lookup);

// As SpawnDetachedProcess, but starts the file open at `fd` (for reading) itself, whatever has
// been renamed over its path since it was opened: the bytes that were checked through `fd` are
// the bytes that run. The new process keeps that file open as descriptor 3 and starts it as
// "/proc/self/fd/3", so that a script's interpreter can read it there (a shell installer that
// reads itself through "$0" included); no other descriptor of this program reaches it.
pid_t SpawnDetachedProcessFromFile(int fd, const std::vector<std::string>& arguments);

// Waits for the child on a background thread ("reaper"), so that no zombie stays behind while this
// program runs on. A waiter that cannot be started leaves only a zombie until the program ends.
void ReapInBackground(pid_t pid);

}  // namespace tessvark
