#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <cstdio>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/desktop_host.h"
#include "app/update_status.h"
#include "core/version.h"
#include "tests/support/temp_folder.h"

namespace tessvark {
namespace {

using testing::ReadWholeFile;
using testing::TempFolder;

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// A runtime on a fixed port that records what the host saw when it was stopped.
struct RecordingRuntime {
  std::int32_t port = 28790;
  int stops = 0;
  bool url_file_at_stop = true;
  std::string log_at_stop;
};

class DesktopHostTest : public ::testing::Test {
 protected:
  void SetUp() override { BlockHostSignals(); }

  HostRun MakeRun(bool open_browser) {
    HostRun run;
    run.log = AppLog(folder_.Join("tessvark.log"));
    run.url_file_path = folder_.Join("tessvark-url");
    run.open_browser = open_browser;
    return run;
  }

  HostedRuntime Bind(RecordingRuntime& recorded, const HostRun& run) {
    HostedRuntime runtime;
    runtime.port = [&recorded] { return recorded.port; };
    runtime.stop = [&recorded, run] {
      ++recorded.stops;
      recorded.url_file_at_stop = FileExists(run.url_file_path);
      recorded.log_at_stop = ReadWholeFile(run.log.path());
    };
    return runtime;
  }

  TempFolder folder_;
};

// Every way of being asked to quit takes the same orderly path: the URL file goes before the
// runtime stops, the runtime stops once, and "stopped" is the last log line.
TEST_F(DesktopHostTest, EveryQuitSignalStopsInOrder) {
  for (int quit_signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(quit_signal);
    std::remove(folder_.Join("tessvark.log").c_str());
    const HostRun run = MakeRun(false);
    RecordingRuntime recorded;
    HostLoop loop;
    std::string url_file_while_running;
    HostActions actions;
    actions.open_url = [&](const std::string&) {
      url_file_while_running = ReadWholeFile(run.url_file_path);
      kill(getpid(), quit_signal);
    };
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    EXPECT_EQ(RunDesktopHost(loop, run, Bind(recorded, run), actions), 0);

    EXPECT_EQ(url_file_while_running, "http://127.0.0.1:28790/");
    EXPECT_EQ(recorded.stops, 1);
    EXPECT_FALSE(recorded.url_file_at_stop);
    EXPECT_FALSE(FileExists(run.url_file_path));
    EXPECT_EQ(recorded.log_at_stop, "listening=http://127.0.0.1:28790/\r\n");
    EXPECT_EQ(ReadWholeFile(run.log.path()), "listening=http://127.0.0.1:28790/\r\nstopped\r\n");
  }
}

// The record beside the lock names the running instance while it runs and goes before the
// runtime stops, like the URL file.
TEST_F(DesktopHostTest, InstanceRecordNamesTheRunUntilItsQuit) {
  HostRun run = MakeRun(false);
  run.instance_record_path = folder_.Join("runtime-tessvark-url");
  run.data_folder = "/data/of this run";
  RecordingRuntime recorded;
  HostLoop loop;
  std::string record_while_running;
  bool record_at_stop = true;
  HostActions actions;
  actions.open_url = [&](const std::string&) {
    record_while_running = ReadWholeFile(run.instance_record_path);
    loop.Post(HostAction::kQuit);
  };
  HostedRuntime runtime = Bind(recorded, run);
  runtime.stop = [&] { record_at_stop = FileExists(run.instance_record_path); };
  ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
  EXPECT_EQ(RunDesktopHost(loop, run, runtime, actions), 0);
  EXPECT_EQ(record_while_running,
            "http://127.0.0.1:28790/\n" + std::to_string(getpid()) + "\n/data/of this run\n");
  EXPECT_FALSE(record_at_stop);
}

TEST_F(DesktopHostTest, BrowserOpensAtStartOnlyWhenAskedAndListening) {
  struct Case {
    bool open_browser;
    std::int32_t port;
    int expected_opens;
  };
  for (const Case& c : {Case{true, 28790, 1}, Case{false, 28790, 0}, Case{true, 0, 0}}) {
    const HostRun run = MakeRun(c.open_browser);
    RecordingRuntime recorded;
    recorded.port = c.port;
    HostLoop loop;
    std::vector<std::string> opened;
    HostActions actions;
    actions.open_url = [&](const std::string& url) { opened.push_back(url); };
    loop.Post(HostAction::kQuit);
    RunDesktopHost(loop, run, Bind(recorded, run), actions);
    EXPECT_EQ(static_cast<int>(opened.size()), c.expected_opens) << c.open_browser << c.port;
    for (const std::string& url : opened) EXPECT_EQ(url, "http://127.0.0.1:28790/");
  }
}

TEST_F(DesktopHostTest, QuitFromAnotherThreadTakesTheSamePath) {
  const HostRun run = MakeRun(false);
  RecordingRuntime recorded;
  HostLoop loop;
  int update_checks = 0;
  std::thread poster;
  HostActions actions;
  actions.open_url = [](const std::string&) {};
  actions.check_updates = [&] {
    ++update_checks;
    poster = std::thread([&loop] { loop.Post(HostAction::kQuit); });
  };
  ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
  EXPECT_EQ(RunDesktopHost(loop, run, Bind(recorded, run), actions), 0);
  poster.join();  // posts may come only while the loop exists
  EXPECT_EQ(update_checks, 1);
  EXPECT_EQ(recorded.stops, 1);
  EXPECT_FALSE(recorded.url_file_at_stop);
  EXPECT_EQ(ReadWholeFile(run.log.path()), "listening=http://127.0.0.1:28790/\r\nstopped\r\n");
}

// A tray icon that records when it comes and goes and asks the loop to quit when told to.
class StandInIcon : public HostLoopSource {
 public:
  StandInIcon(std::function<void()> on_destroyed, std::function<void()> quit_on_serve)
      : on_destroyed_(std::move(on_destroyed)), quit_on_serve_(std::move(quit_on_serve)) {}
  ~StandInIcon() override { on_destroyed_(); }
  Wait NextWait() override { return {}; }
  void Serve() override {
    if (quit_on_serve_) std::exchange(quit_on_serve_, nullptr)();
  }

 private:
  std::function<void()> on_destroyed_;
  std::function<void()> quit_on_serve_;
};

// The icon comes up once the URL file is written and before the updater and the browser, and
// goes before the URL file does; its quit and the updater's quit take the signals' path, and its
// reports become "tray=" lines of the log.
TEST_F(DesktopHostTest, TrayIconComesAfterTheUrlFileAndGoesBeforeIt) {
  for (const bool icon_quits : {true, false}) {
    SCOPED_TRACE(icon_quits ? "the icon's Quit" : "the updater's quit");
    std::remove(folder_.Join("tessvark.log").c_str());
    const HostRun run = MakeRun(true);
    HostLoop loop;
    std::vector<std::string> steps;
    auto url_file = [&run] {
      return std::string(FileExists(run.url_file_path) ? "URL file" : "no URL file");
    };
    std::function<void()> updater_quit;
    HostActions actions;
    actions.show_icon = [&](std::function<void(HostAction)> post, TrayReport report) {
      steps.push_back("icon up, " + url_file());
      report("unavailable: no watcher in this test");
      std::function<void()> quit;
      if (icon_quits) quit = [post] { post(HostAction::kQuit); };
      return std::make_unique<StandInIcon>([&] { steps.push_back("icon down, " + url_file()); },
                                           quit);
    };
    actions.connect_updater = [&](std::function<void()> request_quit) {
      steps.push_back("updater connected");
      updater_quit = std::move(request_quit);
    };
    actions.open_url = [&](const std::string& url) {
      steps.push_back("browser " + url);
      if (!icon_quits) updater_quit();
    };
    HostedRuntime runtime;
    runtime.port = [] { return 28790; };
    runtime.stop = [&] { steps.push_back("runtime stopped, " + url_file()); };

    EXPECT_EQ(RunDesktopHost(loop, run, runtime, actions), 0);
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "icon up, URL file", "updater connected",
                         "browser http://127.0.0.1:28790/", "icon down, URL file",
                         "runtime stopped, no URL file"}));
    EXPECT_EQ(ReadWholeFile(run.log.path()),
              "listening=http://127.0.0.1:28790/\r\ntray=unavailable: no watcher in this test\r\n"
              "stopped\r\n");
  }
}

TEST(UpdateStatusTest, DocumentBeforeAndAfterAnUpdateIsAnnounced) {
  const std::string current = std::string("\"current_version\":\"") + kProgramVersion +
                              "\",\"current_build\":" + std::to_string(kProgramBuild);
  EXPECT_EQ(WriteUpdateStatusJson(UpdateState{}),
            "{\"state\":\"unknown\",\"update_available\":false,\"presentation\":\"linux\","
            "\"installable\":false,\"version\":\"\",\"build\":0," + current +
            ",\"notes\":\"\",\"download_url\":\"\",\"bytes_total\":0,\"bytes_downloaded\":0,"
            "\"phase\":\"idle\",\"error\":null,\"size\":0}");
  UpdateState ready;
  ready.state = "ready_to_install";
  ready.update_pending = true;
  ready.manifest = {"0.9.0", 40, "beta", "tab\tline\n\"quoted\"\x01", "https://h/updates/a.run",
                    std::string(64, 'a'), 1234};
  ready.phase = "ready";
  ready.bytes_downloaded = 1234;
  ready.error = "network";
  EXPECT_EQ(WriteUpdateStatusJson(ready),
            "{\"state\":\"ready_to_install\",\"update_available\":true,\"presentation\":\"linux\","
            "\"installable\":true,\"version\":\"0.9.0\",\"build\":40," + current +
            ",\"notes\":\"tab\\tline\\n\\\"quoted\\\"\\u0001\","
            "\"download_url\":\"https://h/updates/a.run\",\"bytes_total\":1234,"
            "\"bytes_downloaded\":1234,\"phase\":\"ready\",\"error\":\"network\",\"size\":1234}");
}

}  // namespace
}  // namespace tessvark
