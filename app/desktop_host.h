#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/app_log.h"
#include "platform/host_loop.h"
#include "platform/status_notifier_item.h"

namespace tessvark {

// What the desktop host needs of the started runtime.
struct HostedRuntime {
  std::function<std::int32_t()> port;  // the bound port
  std::function<void()> stop;          // stops every thread of the runtime and the server
};

// Puts the tray icon up: what its clicks ask for goes to `post`, why it cannot be shown goes to
// `report`. Returns the icon for the host loop to serve, or null when there is none.
using ShowTrayIcon = std::function<std::unique_ptr<HostLoopSource>(
    std::function<void(HostAction)> post, TrayReport report)>;

// What the host does for the interface's actions.
struct HostActions {
  std::function<void(const std::string& url)> open_url;
  std::function<void()> check_updates;  // starts an update check; returns at once
  ShowTrayIcon show_icon;               // null: no tray icon
  // Hands the updater the host's quit, which it may call from any thread until the caller of
  // RunDesktopHost takes it back, and starts its periodic checks.
  std::function<void(std::function<void()> request_quit)> connect_updater;
};

struct HostRun {
  AppLog log;
  std::string url_file_path;         // empty: no URL file
  std::string instance_record_path;  // empty: no instance record
  std::string data_folder;           // named in the instance record
  bool open_browser = true;
};

// The host's part of a run, on the main thread once the runtime has started: publishes the
// interface's address (log line, URL file, instance record, one line on standard error), puts up
// the tray icon (its reports become "tray=" log lines), connects the updater, opens the
// interface in the browser when asked to, and answers the loop's actions until a quit arrives: a
// signal, the tray's "Quit Tessvark" or the updater's quit, which all post the same quit to the
// loop. The interface is opened at most once a second, however often it is asked for; a request
// within that second is carried out once at its end. At the quit it takes the icon down, removes
// the URL file and the instance record, stops the runtime and logs "stopped". Returns 0.
int RunDesktopHost(HostLoop& loop, const HostRun& run, const HostedRuntime& runtime,
                   const HostActions& actions);

}  // namespace tessvark
