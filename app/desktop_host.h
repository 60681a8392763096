#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/app_log.h"
#include "platform/host_loop.h"

namespace tessvark {

// What the desktop host needs of the started runtime.
struct HostedRuntime {
  std::function<std::int32_t()> port;  // the bound port
  std::function<void()> stop;          // stops every thread of the runtime and the server
};

// What the host does for the interface's actions.
struct HostActions {
  std::function<void(const std::string& url)> open_url;
  std::function<void()> check_updates;  // starts an update check; returns at once
};

struct HostRun {
  AppLog log;
  std::string url_file_path;  // empty: no URL file
  bool open_browser = true;
};

// The host's part of a run, on the main thread once the runtime has started: publishes the
// interface's address (log line, URL file, one line on standard error), opens it in the browser
// when asked to, answers the loop's actions until a quit arrives (a signal or a post from any
// thread), then removes the URL file, stops the runtime and logs "stopped". Returns 0.
int RunDesktopHost(HostLoop& loop, const HostRun& run, const HostedRuntime& runtime,
                   const HostActions& actions);

}  // namespace tessvark
