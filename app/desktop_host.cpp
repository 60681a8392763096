#include "app/desktop_host.h"

#include <chrono>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "app/paced_opener.h"
#include "app/url_file.h"

namespace tessvark {
namespace {

constexpr std::chrono::milliseconds kOpenSpacing{1000};

}  // namespace

int RunDesktopHost(HostLoop& loop, const HostRun& run, const HostedRuntime& runtime,
                   const HostActions& actions) {
  const std::int32_t port = runtime.port();
  const std::string url = UiUrlForPort(port);
  run.log.Append("listening=" + url);
  WriteUrlFile(run.url_file_path, url);
  WriteInstanceRecord(run.instance_record_path,
                      {url, std::to_string(static_cast<long long>(getpid())), run.data_folder});
  std::fprintf(stderr,
               "Tessvark is running at %s (Ctrl-C or SIGTERM quits, SIGUSR1 opens the interface, "
               "SIGUSR2 checks for updates)\n",
               url.c_str());
  std::fflush(stderr);

  std::unique_ptr<HostLoopSource> icon;
  if (actions.show_icon) {
    icon = actions.show_icon([&loop](HostAction action) { loop.Post(action); },
                             [&run](const std::string& line) { run.log.Append("tray=" + line); });
  }
  if (actions.connect_updater) {
    actions.connect_updater([&loop] { loop.Post(HostAction::kQuit); });
  }
  // Every way of opening goes through one pace, so no caller can start browsers by the hundred.
  PacedOpener opener([&] { actions.open_url(url); }, kOpenSpacing);
  if (run.open_browser && port > 0) opener.Request();

  loop.Run(
      [&](HostAction action) {
        if (action == HostAction::kOpen) {
          opener.Request();
        } else if (action == HostAction::kCheckUpdates && actions.check_updates) {
          actions.check_updates();
        }
      },
      {icon.get(), &opener});

  // The icon goes first: nothing may offer the interface once its address is withdrawn.
  icon.reset();
  RemoveUrlFile(run.url_file_path);
  RemoveUrlFile(run.instance_record_path);
  runtime.stop();
  run.log.Append("stopped");
  return 0;
}

}  // namespace tessvark
