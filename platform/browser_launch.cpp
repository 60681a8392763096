#include "platform/browser_launch.h"

#include <cstdio>

#include "platform/process_spawn.h"

namespace tessvark {
namespace {

bool IsSetAndNotEmpty(const EnvironmentLookup& lookup, const char* name) {
  const char* value = lookup(name);
  return value != nullptr && value[0] != '\0';
}

}  // namespace

bool HasGraphicalDisplay(const EnvironmentLookup& lookup) {
  return IsSetAndNotEmpty(lookup, "DISPLAY") || IsSetAndNotEmpty(lookup, "WAYLAND_DISPLAY");
}

void OpenUrlInBrowser(const std::string& url) {
  const pid_t pid = HasGraphicalDisplay(ReadProcessEnvironment)
                        ? SpawnDetachedProcess("xdg-open", {"xdg-open", url},
                                               ProgramLookup::kSearchPath)
                        : -1;
  if (pid < 0) {
    // No desktop, or no xdg-open on it: the user opens the address by hand.
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);
    return;
  }
  // xdg-open hands the URL to the browser and ends.
  ReapInBackground(pid);
}

}  // namespace tessvark
