#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/app_log.h"
#include "app/desktop_host.h"
#include "app/session_wiring.h"
#include "app/startup_options.h"
#include "app/system_resource_sampler.h"
#include "app/tray_icon.h"
#include "app/updater.h"
#include "app/url_file.h"
#include "core/version.h"
#include "platform/atomic_file.h"
#include "platform/browser_launch.h"
#include "platform/data_folder.h"
#include "platform/host_loop.h"
#include "platform/module_path.h"
#include "platform/single_instance.h"
#include "platform/status_notifier_item.h"
#include "session/native_session.h"

#ifdef TESSVARK_TEST_HOOKS
#include <fstream>
#include <iterator>

#include "core/json_value.h"
#endif

namespace tessvark {
namespace {

// Exit codes: 0 a normal run or a start handed over to the running instance, 1 the runtime
// could not be started, 2 a bad command line. (3, a processor fault caught during start, has no
// counterpart on Linux: such a fault ends the process.)
constexpr int kExitNormal = 0;
constexpr int kExitStartFailed = 1;
constexpr int kExitBadCommandLine = 2;

// Every failed start says why on standard error, since the log itself may be what failed.
void SayWhyStartFailed(const std::string& reason) {
  std::fprintf(stderr, "Tessvark could not start: %s\n", reason.c_str());
}

// 0 started, 1 Start refused, 4 an exception left it (logged and said).
int StartSession(NativeSession& session, const AppLog& log) {
  std::string reason;
  try {
    return session.Start() ? 0 : 1;
  } catch (const std::exception& error) {
    reason = error.what();
  } catch (...) {
    reason = "unknown";
  }
  log.Append("exception=" + reason);
  SayWhyStartFailed(reason);
  return 4;
}

// The one refusal of a start that throws nothing: the server found no port it could listen on.
std::string NoFreePort(const NativeSessionOptions& options) {
  return "no free port in " + std::to_string(options.port) + "\u2013" +
         std::to_string(options.port + options.port_attempts - 1) + " on " + options.host;
}

#ifdef TESSVARK_TEST_HOOKS
// Test builds only: "TESSVARK_TEST_UPDATE_CHANNEL" names a JSON file that points the updater at
// the tests' own update server on loopback, with their certificate authority and signing key:
// {"host", "port", "connect_address", "ca_file", "public_key", "first_check_ms"}, each optional.
void ApplyTestUpdateChannel(UpdaterSettings& settings) {
  const char* path = ReadProcessEnvironment("TESSVARK_TEST_UPDATE_CHANNEL");
  if (path == nullptr) return;
  std::ifstream file(path, std::ios::binary);
  JsonValue channel;
  try {
    channel = ParseJson(
        std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "Tessvark: test update channel ignored: %s\n", error.what());
    return;
  }
  auto text = [&](const char* key, std::string& value) {
    if (const JsonValue* found = channel.FindMember(key)) value = found->text;
  };
  text("host", settings.channel.host);
  text("connect_address", settings.channel.connect_address);
  text("ca_file", settings.channel.ca_file);
  text("public_key", settings.channel.public_key);
  if (const JsonValue* port = channel.FindMember("port")) {
    settings.channel.port = static_cast<std::int32_t>(port->number);
  }
  if (const JsonValue* delay = channel.FindMember("first_check_ms")) {
    settings.first_check_delay = std::chrono::milliseconds(static_cast<long long>(delay->number));
  }
}
#endif

// The program's updater. It is never destroyed: its detached threads may still check or download
// while the program exits.
Updater& ProgramUpdater() {
  static Updater* const updater = [] {
    UpdaterSettings settings;
#ifdef TESSVARK_TEST_HOOKS
    ApplyTestUpdateChannel(settings);
#endif
    return new Updater(std::move(settings));
  }();
  return *updater;
}

int RunProgram(const std::vector<std::string>& arguments) {
  HostStartup startup = MakeHostStartup(ProgramFolder(), ReadProcessEnvironment);
  if (!ApplyCommandLine(arguments, startup)) {
    std::fprintf(stderr, "%s\n", kUsageLine);
    return kExitBadCommandLine;
  }

  HostRun run;
  run.open_browser = startup.open_browser;
  const std::string data_dir = startup.options.data_dir;
  if (!data_dir.empty()) {
    // Without its data folder the program could neither keep settings nor hand over to a second
    // start: better to say so and end than to run without them.
    if (const std::string problem = PrepareDataFolder(data_dir); !problem.empty()) {
      SayWhyStartFailed("the data folder \"" + data_dir + "\" cannot be used: " + problem);
      return kExitStartFailed;
    }
    CreateFolderWithParents(data_dir + "/logs");
    run.log = AppLog(data_dir + "/logs/tessvark.log");
    run.url_file_path = data_dir + "/tessvark-url";
  }

  run.instance_record_path = InstanceRecordPath(ReadProcessEnvironment);
  run.data_folder = data_dir;
  const SingleInstanceLock instance_lock(InstanceLockPath(ReadProcessEnvironment));
  if (instance_lock.status() == InstanceLockStatus::kHeldElsewhere) {
    const bool found = HandOverToRunningInstance(
        run.instance_record_path, run.url_file_path, [](const RunningInstance& running) {
          std::string which = running.url;
          if (!running.pid.empty()) {
            which += " (process " + running.pid + ", data folder \"" + running.data_folder + "\")";
          }
          std::fprintf(stderr, "Tessvark is already running at %s; opening it\n", which.c_str());
          std::fflush(stderr);
          OpenUrlInBrowser(running.url);
        });
    if (!found) std::fprintf(stderr, "Tessvark is already running; its address was not found\n");
    return kExitNormal;
  }
  // Only the one running instance clears what killed runs left; a running writer's files stay.
  if (!data_dir.empty()) RemoveStaleTemporaryFiles(data_dir);

  // Only the first instance waits for signals; a second one may be interrupted while it waits
  // for the URL file. Blocked before any thread exists, so that every thread inherits the mask.
  BlockHostSignals();
  HostLoop loop;
  if (!loop.valid()) {
    SayWhyStartFailed("cannot wait for signals");
    return kExitStartFailed;
  }
  run.log.Append(kVersionLogLine);

  // Outlive the session: its server calls them until it has stopped.
  SystemResourceSampler sampler;
  ResourceServices resources;
  resources.sample_json = [&sampler] { return SystemResourcesJson(sampler.Sample()); };
  resources.release = [&sampler] { sampler.Release(); };

  Updater& updater = ProgramUpdater();
  startup.options.make_server = [&updater, &resources](const NativeSessionOptions& options) {
    std::unique_ptr<LocalHttpServer> server = MakeLocalHttpServer(options);
    server->SetHostServices(updater.Services(), std::move(resources));
    return server;
  };
  const std::string no_free_port = NoFreePort(startup.options);
  std::unique_ptr<NativeSession> session;
  try {
    session = std::make_unique<NativeSession>(std::move(startup.options));
  } catch (const std::exception& error) {
    // The runtime could not even be built (no CSRF token, for instance).
    run.log.Append(std::string("exception=") + error.what());
    SayWhyStartFailed(error.what());
  }
  if (!session) {
    run.log.Append("start_failed");
    return kExitStartFailed;
  }
  const int started = StartSession(*session, run.log);
  if (started == 1) SayWhyStartFailed(no_free_port);
  if (started != 0) {
    run.log.Append("start_failed");
    return kExitStartFailed;  // the session's destructor stops what did start
  }

  HostedRuntime runtime;
  runtime.port = [&session] { return session->Server().Port(); };
  runtime.stop = [&session] { session->Stop(); };
  HostActions actions;
  actions.open_url = OpenUrlInBrowser;
  actions.check_updates = [&updater] { updater.StartUpdateCheck(); };
  actions.show_icon = [](std::function<void(HostAction)> post, TrayReport report) {
    return ShowStatusNotifierItem(ProgramTrayIcon(), std::move(post), std::move(report));
  };
  // An installer that was started ends the program like the tray's "Quit Tessvark".
  actions.connect_updater = [&updater](std::function<void()> request_quit) {
    updater.SetQuitCallback(std::move(request_quit));
    updater.StartPeriodicUpdateChecks();
  };
  const int exit_code = RunDesktopHost(loop, run, runtime, actions);
  updater.SetQuitCallback(nullptr);  // the loop it posts to goes with this function
  return exit_code;
}

}  // namespace
}  // namespace tessvark

int main(int argc, char** argv) {
  return tessvark::RunProgram(std::vector<std::string>(argv + 1, argv + argc));
}
