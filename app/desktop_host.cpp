#include "app/desktop_host.h"

#include <cstdio>

#include "app/url_file.h"

namespace tessvark {

int RunDesktopHost(HostLoop& loop, const HostRun& run, const HostedRuntime& runtime,
                   const HostActions& actions) {
  const std::int32_t port = runtime.port();
  const std::string url = UiUrlForPort(port);
  run.log.Append("listening=" + url);
  WriteUrlFile(run.url_file_path, url);
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
  if (run.open_browser && port > 0) actions.open_url(url);

  loop.Run(
      [&](HostAction action) {
        if (action == HostAction::kOpen) {
          actions.open_url(url);
        } else if (action == HostAction::kCheckUpdates && actions.check_updates) {
          actions.check_updates();
        }
      },
      icon.get());

  // The icon goes first: nothing may offer the interface once its address is withdrawn.
  icon.reset();
  RemoveUrlFile(run.url_file_path);
  runtime.stop();
  run.log.Append("stopped");
  return 0;
}

}  // namespace tessvark
