// The built program run as a process: start-up on a private data folder, the interface and API on
// loopback, the hand-over of a second start, bad command lines, and the orderly quit on signals.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json_value.h"
#include "core/sha256.h"
#include "core/version.h"
#include "tests/support/temp_folder.h"
#include "tests/support/thread_names.h"
#include "tests/support/wait_until.h"
#include "tray_stand_in.h"
#include "update_signing.h"
#include "update_test_server.h"

extern char** environ;

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::HostCall;
using testing::kPatience;
using testing::ItemRegistration;
using testing::kTestUpdateHost;
using testing::MenuIdOf;
using testing::MenuNode;
using testing::PrivateSessionBus;
using testing::RenderMenu;
using testing::StandInHost;
using testing::StandInWatcher;
using testing::ReadWholeFile;
using testing::ScriptedUpdateServer;
using testing::TempFolder;
using testing::TestCertificateAuthority;
using testing::TestManifest;
using testing::TestSigningKey;
using testing::ThreadNamesOf;
using testing::WaitUntil;

constexpr char kProgram[] = TESSVARK_BINARY_DIR "/app/tessvark";

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// The environment every started program gets: this process's, without anything that would reach
// a real desktop, session bus or instance, with a private data folder, runtime folder (where no
// session bus listens) and PATH entry.
struct ProgramEnvironment {
  std::string data_root;       // LOCALAPPDATA
  std::string runtime_folder;  // XDG_RUNTIME_DIR: the instance lock lives here
  std::string stub_folder;     // first on PATH: the stand-in xdg-open
  std::string display;         // DISPLAY; empty leaves it unset
  std::string only_path;       // when set, the whole PATH
  bool no_browser_variable = false;
  std::vector<std::string> extra;  // further NAME=value entries

  std::vector<std::string> Build() const {
    static const char* const kDropped[] = {
        "LOCALAPPDATA", "XDG_RUNTIME_DIR",     "XDG_DATA_HOME",
        "DISPLAY",      "WAYLAND_DISPLAY",     "TESSVARK_NO_BROWSER",
        "PATH",         "TMPDIR",              "TESSVARK_TEST_UPDATE_CHANNEL",
        "DBUS_SESSION_BUS_ADDRESS"};
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      bool dropped = false;
      for (const char* name : kDropped) {
        dropped = dropped || text.rfind(std::string(name) + "=", 0) == 0;
      }
      if (!dropped) out.push_back(text);
    }
    const char* path = std::getenv("PATH");
    out.push_back("PATH=" + (only_path.empty() ? stub_folder + ":" +
                                                       (path != nullptr ? path : "/usr/bin:/bin")
                                                 : only_path));
    out.push_back("LOCALAPPDATA=" + data_root);
    out.push_back("XDG_RUNTIME_DIR=" + runtime_folder);
    if (!display.empty()) out.push_back("DISPLAY=" + display);
    if (no_browser_variable) out.push_back("TESSVARK_NO_BROWSER=");
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }
};

// One started program with its standard output and error in files.
class Program {
 public:
  Program(const ProgramEnvironment& environment, const std::vector<std::string>& arguments,
          const std::string& output_prefix) {
    std::vector<std::string> argv_text = {kProgram};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argv_text) argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = environment.Build();
    std::vector<char*> envp;
    for (std::string& text : env_text) envp.push_back(text.data());
    envp.push_back(nullptr);

    stdout_path_ = output_prefix + ".out";
    stderr_path_ = output_prefix + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, kProgram, &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~Program() {
    if (pid_ > 0 && !exit_code_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int signal_number) { kill(pid_, signal_number); }

  // The exit code once the program ended within `timeout`; -1 when it was ended by a signal.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
    if (exit_code_) return exit_code_;
    WaitUntil(
        [&] {
          int status = 0;
          if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
          exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
          return true;
        },
        timeout);
    return exit_code_;
  }

  std::string Stdout() const { return ReadWholeFile(stdout_path_); }
  std::string Stderr() const { return ReadWholeFile(stderr_path_); }

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  std::string stdout_path_;
  std::string stderr_path_;
};

std::string TrimmedLine(const std::string& text) {
  const std::size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

std::vector<std::string> LogLines(const std::string& path) {
  const std::string text = ReadWholeFile(path);
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back("<unterminated>" + text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

constexpr char kTokenPlaceholder[] = "__TESSVARK_CSRF_TOKEN__";

// The token the server put in place of the placeholder of the interface's index page: the served
// page is the file with that one replacement.
std::string CsrfTokenOf(const std::string& page) {
  const std::string file = ReadWholeFile(TESSVARK_SOURCE_DIR "/resources/ui/index.html");
  const std::size_t at = file.find(kTokenPlaceholder);
  const std::size_t kept = file.size() - std::strlen(kTokenPlaceholder);
  if (at == std::string::npos || page.size() <= kept) return std::string();
  return page.substr(at, page.size() - kept);
}

// The headers a state-changing request from the interface carries: its Origin and the token.
httplib::Headers StateChangeHeaders(httplib::Client& client, int port) {
  const httplib::Result page = client.Get("/");
  return {{"Origin", "http://127.0.0.1:" + std::to_string(port)},
          {"X-Tessvark-CSRF", page ? CsrfTokenOf(page->body) : std::string()}};
}

int PortOf(const std::string& url) {
  return std::stoi(url.substr(std::strlen("http://127.0.0.1:")));
}

// Chooses a source through the interface's route, as the page does.
httplib::Result ChooseSource(httplib::Client& client, const httplib::Headers& headers,
                             const std::string& type, const std::string& id) {
  return client.Put("/api/source", headers,
                    "{\"type\":\"" + type + "\",\"id\":\"" + id + "\"}", "application/json");
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(kProgram)) << kProgram;
    environment_.data_root = folder_.Join("appdata");
    environment_.runtime_folder = folder_.Join("run");
    environment_.stub_folder = folder_.Join("bin");
    for (const std::string& path :
         {environment_.data_root, environment_.runtime_folder, environment_.stub_folder}) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    }
    // The stand-in browser opener records the one argument it was given.
    const std::string opener = environment_.stub_folder + "/xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << OpenedRecord() << "'\n";
    chmod(opener.c_str(), 0700);
  }

  // The variable that points the program's updater at the tests' update server. The periodic
  // check is an hour away: only checks asked for run.
  std::string UpdateChannelVariable(const ScriptedUpdateServer& updates,
                                    const TestCertificateAuthority& authority,
                                    const TestSigningKey& key) const {
    const std::string channel = folder_.Join("channel.json");
    std::ofstream(channel) << "{\"host\":\"" << kTestUpdateHost << "\",\"port\":"
                           << updates.port() << ",\"connect_address\":\"127.0.0.1\",\"ca_file\":\""
                           << authority.ca_file() << "\",\"public_key\":\""
                           << key.PublicKeyBase64() << "\",\"first_check_ms\":3600000}";
    return "TESSVARK_TEST_UPDATE_CHANNEL=" + channel;
  }

  std::string DataFolder() const { return environment_.data_root + "/Tessvark Unified Native"; }
  std::string UrlFile() const { return DataFolder() + "/tessvark-url"; }
  std::string LogFile() const { return DataFolder() + "/logs/tessvark.log"; }
  std::string OpenedRecord() const { return folder_.Join("opened.txt"); }

  // A first instance, on a port range of its own so that parallel tests rarely meet.
  std::unique_ptr<Program> StartFirst(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"--no-browser"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return StartWith(environment_, arguments);
  }
  std::unique_ptr<Program> StartWith(const ProgramEnvironment& environment,
                                     std::vector<std::string> arguments) {
    arguments.push_back("--preferred");
    // Ten ports of its own per test process, so that parallel tests do not probe the same ones.
    arguments.push_back(std::to_string(30000 + getpid() % 2000 * 10));
    return std::make_unique<Program>(environment, arguments, folder_.Join("first"));
  }

  // The URL the running program wrote, once it listens.
  std::string WaitForUrl(Program& program) {
    std::string url;
    WaitUntil(
        [&] {
          url = ReadWholeFile(UrlFile());
          return !url.empty() || program.WaitForExit(0ms).has_value();
        });
    return url;
  }

  TempFolder folder_;
  ProgramEnvironment environment_;
};

// A vMix stand-in on loopback that records the SetText calls it receives.
class SetTextRecorder {
 public:
  SetTextRecorder() {
    server_.Get("/api/", [this](const httplib::Request& req, httplib::Response& res) {
      if (req.get_param_value("Function") == "SetText") {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(req.get_param_value("SelectedName") + "=" + req.get_param_value("Value"));
      }
      res.set_content("Function completed successfully.", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Stopping works only once the server runs.
    while (port_ > 0 && !server_.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~SetTextRecorder() {
    server_.stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

bool Contains(const std::vector<std::string>& items, std::size_t from, const std::string& item) {
  return std::find(items.begin() + static_cast<std::ptrdiff_t>(from), items.end(), item) !=
         items.end();
}

// The vMix output document for `vmix`: one input with two mapped fields and, with `marker`, a
// second input whose one field only shows how far the sender got.
std::string VmixOutputs(const SetTextRecorder& vmix, bool marker) {
  std::string outputs =
      "{\"input_key\":\"k1\",\"mappings\":["
      "{\"source\":\"home_score\",\"field\":\"Home.Text\"},"
      "{\"source\":\"clock\",\"field\":\"Clock.Text\"}]}";
  if (marker) {
    outputs += ",{\"input_key\":\"k2\",\"mappings\":["
               "{\"source\":\"home_score\",\"field\":\"Marker.Text\"}]}";
  }
  return "{\"enabled\":true,\"host\":\"127.0.0.1\",\"port\":" + std::to_string(vmix.port()) +
         ",\"outputs\":[" + outputs + "]}";
}

// Points the program's vMix output at `vmix`, with two mapped fields.
void WriteVmixOutputs(const std::string& data_folder, const SetTextRecorder& vmix) {
  std::filesystem::create_directories(data_folder);
  std::ofstream file(data_folder + "/output_config.json");
  file << "{\"vmix\":" << VmixOutputs(vmix, false) << "}";
  ASSERT_TRUE(file.good());
}

// Adds the marker input through the program's API and waits until its field is written. The
// sender sends one pass after the other, so by then the pass of the start (both fields blank: no
// source yet) has gone out and none is due. The number of calls so far.
std::size_t SettledSetTextCount(SetTextRecorder& vmix, const std::string& url) {
  const int port = PortOf(url);
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(std::chrono::duration_cast<std::chrono::seconds>(kPatience).count(), 0);
  const std::size_t from = vmix.Calls().size();
  const httplib::Result saved = client.Put("/api/v1/outputs/vmix", StateChangeHeaders(client, port),
                                           VmixOutputs(vmix, true), "application/json");
  EXPECT_TRUE(saved && saved->status == 200) << (saved ? saved->body : httplib::to_string(saved.error()));
  EXPECT_TRUE(WaitUntil([&] { return Contains(vmix.Calls(), from, "Marker.Text="); }))
      << "the sender never reached the marker";
  return vmix.Calls().size();
}

// Both mapped fields were blanked after the first `before` calls, as a quit does.
void ExpectFieldsBlankedAfter(SetTextRecorder& vmix, std::size_t before) {
  const std::vector<std::string> calls = vmix.Calls();
  EXPECT_TRUE(Contains(calls, before, "Home.Text=")) << "fields blanked at quit";
  EXPECT_TRUE(Contains(calls, before, "Clock.Text="));
}

// Every way of asking the program to end takes the same orderly path: the server stops, the
// vMix fields are blanked, the URL file goes and "stopped" is the last log line.
TEST_F(ProgramTest, ServesTheInterfaceAndQuitsInOrderOnEverySignal) {
  SetTextRecorder vmix;
  ASSERT_GT(vmix.port(), 0);

  for (int quit_signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(quit_signal));
    std::remove(LogFile().c_str());
    WriteVmixOutputs(DataFolder(), vmix);
    std::unique_ptr<Program> program = StartFirst();
    ASSERT_TRUE(program->started());
    const std::string url = WaitForUrl(*program);
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url << program->Stderr();
    EXPECT_EQ(url.back(), '/');

    httplib::Client client("127.0.0.1", PortOf(url));
    client.set_read_timeout(20, 0);
    const httplib::Result index = client.Get("/");
    ASSERT_TRUE(index) << httplib::to_string(index.error());
    EXPECT_EQ(index->status, 200);
    EXPECT_EQ(index->body.find(kTokenPlaceholder), std::string::npos);
    EXPECT_GE(CsrfTokenOf(index->body).size(), 32u) << "the index page carries the token";
    const httplib::Result status = client.Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200) << status->body;
    EXPECT_EQ(ParseJson(status->body).kind, JsonKind::kObject) << status->body;
    const httplib::Result resources = client.Get("/api/system/resources");
    ASSERT_TRUE(resources);
    EXPECT_EQ(resources->status, 200);
    EXPECT_NE(resources->body.find("\"logical_cpus\":"), std::string::npos) << resources->body;

    EXPECT_NE(program->Stderr().find(url), std::string::npos)
        << "standard error says where the interface is";

    const std::size_t sent_before_quit = SettledSetTextCount(vmix, url);
    program->Signal(quit_signal);
    EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0)) << program->Stderr();
    ExpectFieldsBlankedAfter(vmix, sent_before_quit);
    EXPECT_FALSE(FileExists(UrlFile()));
    // No session bus in the test's runtime folder: the program runs without its tray icon.
    EXPECT_EQ(LogLines(LogFile()),
              (std::vector<std::string>{
                  kVersionLogLine, "listening=" + url,
                  "tray=unavailable: no session bus (No such file or directory)", "stopped"}));
    EXPECT_FALSE(client.Get("/api/health")) << "the server has stopped";
  }
}

// The running program against the tests' own update server, with a temporary folder of its own:
// the check that SIGUSR2 asks for and the download through the routes, up to a verified
// installer, which records how it was started.
class ProgramUpdateTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    const std::string installer = "#!/bin/sh\nprintf '%s\\n' \"$0\" > '" + Record() + "'\n";
    TestManifest manifest;
    manifest.version = kProgramVersion;
    manifest.build = kProgramBuild + 1;
    manifest.size = installer.size();
    manifest.sha256 = Sha256Hex(installer);
    const std::string installer_path =
        "/updates/Tessvark-update-" + std::to_string(manifest.build) + ".run";
    manifest.url = std::string("https://") + kTestUpdateHost + installer_path;
    updates_.Serve("/updates/linux-update.json", {200, manifest.Signed(key_)});
    updates_.Serve(installer_path, {200, installer});

    ASSERT_EQ(mkdir(Temporary().c_str(), 0700), 0);
    ProgramEnvironment environment = environment_;
    environment.extra = {UpdateChannelVariable(updates_, authority_, key_), "TMPDIR=" + Temporary()};
    program_ = StartWith(environment, {"--no-browser"});
    const std::string url = WaitForUrl(*program_);
    ASSERT_FALSE(url.empty()) << program_->Stderr();
    port_ = PortOf(url);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(30, 0);
  }

  std::string Temporary() const { return folder_.Join("tmp"); }
  std::string Record() const { return folder_.Join("installer-ran"); }
  std::string State() {
    const httplib::Result status = client_->Get("/api/updates");
    return status && status->status == 200 ? ParseJson(status->body).At("state").text
                                           : std::string();
  }

  // Checks and downloads; the headers of the page, for a further request.
  httplib::Headers DownloadInstaller() {
    EXPECT_EQ(State(), "unknown");
    program_->Signal(SIGUSR2);
    EXPECT_TRUE(WaitUntil([&] { return State() == "update_available"; })) << State();
    const httplib::Headers headers = StateChangeHeaders(*client_, port_);
    const httplib::Result download =
        client_->Post("/api/updates/download", headers, "", "application/json");
    EXPECT_TRUE(download && download->status == 200);
    EXPECT_TRUE(WaitUntil([&] { return State() == "ready_to_install"; })) << State();
    return headers;
  }

  TestCertificateAuthority authority_{folder_.path(), "updates", {kTestUpdateHost}};
  ScriptedUpdateServer updates_{authority_};
  const TestSigningKey key_;
  std::unique_ptr<Program> program_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
};

// The installer is started from the descriptor it was verified through, after which the program
// ends as after a quit, leaving no installer behind.
TEST_F(ProgramUpdateTest, UpdateFoundDownloadedAndInstalledEndsTheProgram) {
  const httplib::Headers headers = DownloadInstaller();
  const httplib::Result install =
      client_->Post("/api/updates/install", headers, "", "application/json");
  ASSERT_TRUE(install);
  EXPECT_EQ(install->status, 200) << install->body;
  EXPECT_EQ(ParseJson(install->body).At("state").text, "installing");
  EXPECT_EQ(program_->WaitForExit(kPatience), std::optional<int>(0)) << program_->Stderr();
  EXPECT_EQ(LogLines(LogFile()).back(), "stopped");
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(TrimmedLine(ReadWholeFile(Record())), "/proc/self/fd/3");
  EXPECT_TRUE(std::filesystem::is_empty(Temporary()));
  EXPECT_EQ(updates_.Hits("/updates/linux-update.json"), 1);
}

// A downloaded installer that was never started goes when the program ends.
TEST_F(ProgramUpdateTest, AnInstallerNotStartedGoesWhenTheProgramEnds) {
  DownloadInstaller();
  EXPECT_FALSE(std::filesystem::is_empty(Temporary())) << "the installer waits in its folder";
  program_->Signal(SIGTERM);
  EXPECT_EQ(program_->WaitForExit(kPatience), std::optional<int>(0)) << program_->Stderr();
  EXPECT_TRUE(std::filesystem::is_empty(Temporary()));
  EXPECT_TRUE(ReadWholeFile(Record()).empty()) << "nothing installed";
}

TEST_F(ProgramTest, ExampleSourceDeliversValuesOnTheEventStream) {
  std::unique_ptr<Program> program = StartFirst();
  const std::string url = WaitForUrl(*program);
  ASSERT_FALSE(url.empty()) << program->Stderr();
  const int port = PortOf(url);
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);

  const httplib::Result selected =
      ChooseSource(client, StateChangeHeaders(client, port), "example", "example-1");
  ASSERT_TRUE(selected);
  ASSERT_EQ(selected->status, 200) << selected->body;

  // The Example clip shows home 2 or 3 and guest 1 or 2 throughout.
  std::string received;
  bool found = false;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  const auto follow = [&](const char* data, std::size_t length) {
    received.append(data, length);
    std::size_t end = 0;
    while ((end = received.find("\n\n")) != std::string::npos) {
      const std::string event = received.substr(0, end);
      received.erase(0, end + 2);
      const std::size_t data_at = event.find("data: ");
      if (data_at == std::string::npos) continue;
      const JsonValue state = ParseJson(event.substr(data_at + 6));
      const JsonValue* home = state.Find("home");
      const JsonValue* guest = state.Find("guest");
      if (home != nullptr && guest != nullptr && (home->text == "2" || home->text == "3") &&
          (guest->text == "1" || guest->text == "2")) {
        found = true;
      }
    }
    return !found && std::chrono::steady_clock::now() < deadline;
  };
  // The stream refuses while no state is available yet; open it again until values arrive.
  while (!found && std::chrono::steady_clock::now() < deadline) {
    received.clear();
    client.Get("/api/ui/state/stream", follow);
    if (!found) std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(found) << "no Example values arrived";
  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0));
}

// A UDP port on loopback that was free a moment ago.
int FreeUdpPort() {
  const int socket_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(socket_fd);
  return port;
}

// Whether a thread name is a server pool worker's: "http-" and its number.
bool IsPoolWorkerName(const std::string& name) {
  return name.size() > 5 && name.rfind("http-", 0) == 0 &&
         std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Waits until some thread of the process carries each expected name ("http-N": any pool worker)
// and none carries an unwanted one; the names seen last, for the failure message.
bool WaitForThreadNames(pid_t pid, const std::vector<std::string>& expected,
                        const std::vector<std::string>& unwanted, std::string& seen) {
  return WaitUntil(
      [&] {
        const std::vector<std::string> names = ThreadNamesOf(pid);
        seen.clear();
        for (const std::string& name : names) seen += name + " ";
        const auto shown = [&names](const std::string& wanted) {
          return std::any_of(names.begin(), names.end(), [&wanted](const std::string& name) {
            return wanted == "http-N" ? IsPoolWorkerName(name) : name == wanted;
          });
        };
        return std::all_of(expected.begin(), expected.end(), shown) &&
               std::none_of(unwanted.begin(), unwanted.end(), shown);
      },
      kPatience);
}

// `top -H` and a stack dump tell the running program's threads apart by name. Every thread the
// program starts names itself, so only the main thread keeps the program's name.
TEST_F(ProgramTest, RunningThreadsCarryTheirNames) {
  SetTextRecorder vmix;
  ASSERT_GT(vmix.port(), 0);
  WriteVmixOutputs(DataFolder(), vmix);
  std::unique_ptr<Program> program = StartFirst();
  const std::string url = WaitForUrl(*program);
  ASSERT_FALSE(url.empty()) << program->Stderr();
  const int port = PortOf(url);
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  const httplib::Headers headers = StateChangeHeaders(client, port);
  const httplib::Result example = ChooseSource(client, headers, "example", "example-1");
  ASSERT_TRUE(example);
  ASSERT_EQ(example->status, 200) << example->body;
  std::string seen;
  EXPECT_TRUE(WaitForThreadNames(program->pid(),
                                 {"tessvark", "intake", "http-N", "worker", "preview", "feeder",
                                  "vmix", "updater", "example"},
                                 {"srt"}, seen))
      << seen;
  const std::vector<std::string> names = ThreadNamesOf(program->pid());
  EXPECT_EQ(std::count(names.begin(), names.end(), "tessvark"), 1) << seen;

  // The SRT listener on loopback takes the Example's place.
  const int srt_port = FreeUdpPort();
  ASSERT_GT(srt_port, 0);
  const httplib::Result srt = ChooseSource(client, headers, "srt", "srt");
  ASSERT_TRUE(srt);
  ASSERT_EQ(srt->status, 200) << srt->body;
  const httplib::Result settings = client.Put(
      "/api/source/srt", headers,
      "{\"bind_address\":\"127.0.0.1\",\"port\":" + std::to_string(srt_port) + "}", "application/json");
  ASSERT_TRUE(settings);
  ASSERT_EQ(settings->status, 200) << settings->body;
  const httplib::Result listening =
      client.Post("/api/source/srt/listening", headers, "{\"listening\":true}", "application/json");
  ASSERT_TRUE(listening);
  ASSERT_EQ(listening->status, 200) << listening->body;
  EXPECT_TRUE(WaitForThreadNames(program->pid(), {"srt"}, {"example"}, seen)) << seen;

  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitForExit(30s), std::optional<int>(0)) << program->Stderr();
}

TEST_F(ProgramTest, SecondStartHandsOverToTheRunningInstance) {
  std::unique_ptr<Program> first = StartFirst();
  const std::string url = WaitForUrl(*first);
  ASSERT_FALSE(url.empty()) << first->Stderr();
  EXPECT_FALSE(FileExists(OpenedRecord())) << "--no-browser opens nothing";
  // The first instance's own lines: version, address, and why it has no tray icon.
  ASSERT_TRUE(WaitUntil([&] { return LogLines(LogFile()).size() == 3; }))
      << ReadWholeFile(LogFile());

  // The second start opens the browser even when told not to: it hands over, it does not start.
  ProgramEnvironment with_display = environment_;
  with_display.display = ":97";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"--no-browser"}}) {
    Program second(with_display, arguments, folder_.Join("second"));
    EXPECT_EQ(second.WaitForExit(kPatience), std::optional<int>(0)) << second.Stderr();
  }
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(OpenedRecord()) == url + "\n" + url + "\n"; }))
      << ReadWholeFile(OpenedRecord());
  EXPECT_EQ(LogLines(LogFile()).size(), 3u) << "a second instance writes nothing to the log";

  // Without a display, or without xdg-open, the URL is printed instead.
  Program headless(environment_, {}, folder_.Join("headless"));
  EXPECT_EQ(headless.WaitForExit(kPatience), std::optional<int>(0));
  EXPECT_EQ(headless.Stdout(), url + "\n");
  ProgramEnvironment without_opener = with_display;
  without_opener.only_path = folder_.path();
  Program unopened(without_opener, {}, folder_.Join("unopened"));
  EXPECT_EQ(unopened.WaitForExit(kPatience), std::optional<int>(0));
  EXPECT_EQ(unopened.Stdout(), url + "\n");

  // The running instance still answers, and SIGUSR1 opens its interface.
  first->Signal(SIGUSR1);
  EXPECT_TRUE(WaitUntil([&] { return first->Stdout() == url + "\n"; })) << first->Stdout();
  first->Signal(SIGTERM);
  EXPECT_EQ(first->WaitForExit(kPatience), std::optional<int>(0));
}

// The lock finds the running instance whatever its data folder, and so does the second start:
// it reads the record the first left beside the lock, opens that instance's interface and says
// on standard error which instance runs. The record goes with the first instance.
TEST_F(ProgramTest, SecondStartWithAnotherDataFolderHandsOverToTheFirst) {
  const std::string config = folder_.Join("config");
  std::unique_ptr<Program> first = StartFirst({"--config", config});
  const std::string record = environment_.runtime_folder + "/tessvark-url";
  std::string url;
  ASSERT_TRUE(WaitUntil([&] {
    url = ReadWholeFile(config + "/tessvark-url");
    return !url.empty() && !ReadWholeFile(record).empty();
  })) << first->Stderr();
  EXPECT_EQ(ReadWholeFile(record),
            url + "\n" + std::to_string(first->pid()) + "\n" + config + "\n");

  ProgramEnvironment with_display = environment_;
  with_display.display = ":97";
  Program second(with_display, {}, folder_.Join("second"));
  EXPECT_EQ(second.WaitForExit(kPatience), std::optional<int>(0));
  EXPECT_EQ(second.Stderr(), "Tessvark is already running at " + url + " (process " +
                                 std::to_string(first->pid()) + ", data folder \"" + config +
                                 "\"); opening it\n");
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(OpenedRecord()) == url + "\n"; }))
      << ReadWholeFile(OpenedRecord());
  EXPECT_FALSE(FileExists(UrlFile())) << "the second start's own data folder stays unused";

  first->Signal(SIGTERM);
  EXPECT_EQ(first->WaitForExit(kPatience), std::optional<int>(0));
  EXPECT_FALSE(FileExists(record));
}

// Listening sockets on ten ports in a row, the first returned in `first_port`; none when no such
// range was free.
std::vector<int> TakeTenPorts(int& first_port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    first_port = 20000 + (getpid() + attempt * 7919) % 4000 * 10;
    std::vector<int> taken;
    for (int port = first_port; port < first_port + 10; ++port) {
      const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
          listen(socket_fd, 1) != 0) {
        close(socket_fd);
        break;
      }
      taken.push_back(socket_fd);
    }
    if (taken.size() == 10) return taken;
    for (int fd : taken) close(fd);
  }
  return {};
}

// With every port of its range taken the start fails, and standard error says why.
TEST_F(ProgramTest, WithEveryPortTakenStandardErrorSaysWhy) {
  int first_port = 0;
  const std::vector<int> taken = TakeTenPorts(first_port);
  ASSERT_EQ(taken.size(), 10u);
  Program refused(environment_, {"--no-browser", "--preferred", std::to_string(first_port)},
                  folder_.Join("refused"));
  EXPECT_EQ(refused.WaitForExit(kPatience), std::optional<int>(1));
  const std::string expected = "Tessvark could not start: no free port in " +
                               std::to_string(first_port) + "\u2013" +
                               std::to_string(first_port + 9) + " on 127.0.0.1\n";
  EXPECT_NE(refused.Stderr().find(expected), std::string::npos) << refused.Stderr();
  EXPECT_EQ(LogLines(LogFile()).back(), "start_failed");
  for (int fd : taken) close(fd);
}

TEST_F(ProgramTest, BrowserOpensAtStartUnlessTurnedOff) {
  ProgramEnvironment with_display = environment_;
  with_display.display = ":97";
  std::unique_ptr<Program> opening = StartWith(with_display, {});
  const std::string url = WaitForUrl(*opening);
  ASSERT_FALSE(url.empty()) << opening->Stderr();
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(OpenedRecord()) == url + "\n"; }));
  opening->Signal(SIGTERM);
  ASSERT_EQ(opening->WaitForExit(kPatience), std::optional<int>(0));

  with_display.no_browser_variable = true;
  std::unique_ptr<Program> quiet = StartWith(with_display, {});
  ASSERT_FALSE(WaitForUrl(*quiet).empty()) << quiet->Stderr();
  quiet->Signal(SIGUSR1);  // an explicit request still opens it
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(OpenedRecord()) == url + "\n" + url + "\n"; }))
      << ReadWholeFile(OpenedRecord());
  quiet->Signal(SIGTERM);
  EXPECT_EQ(quiet->WaitForExit(kPatience), std::optional<int>(0));
}

// The lock goes with the process: after a crash the next start is a first instance again and
// replaces the stale URL file once it listens.
TEST_F(ProgramTest, CrashedInstanceLeavesNoLockBehind) {
  std::unique_ptr<Program> crashed = StartFirst();
  ASSERT_FALSE(WaitForUrl(*crashed).empty()) << crashed->Stderr();
  crashed->Signal(SIGKILL);
  crashed->WaitForExit(kPatience);
  ASSERT_TRUE(FileExists(UrlFile()));
  std::ofstream(UrlFile(), std::ios::trunc) << "http://127.0.0.1:1/";

  std::unique_ptr<Program> next = StartFirst();
  ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(UrlFile()) != "http://127.0.0.1:1/"; }))
      << next->Stderr();
  EXPECT_FALSE(next->WaitForExit(0ms).has_value()) << "it runs as the first instance";
  next->Signal(SIGTERM);
  EXPECT_EQ(next->WaitForExit(kPatience), std::optional<int>(0));
  EXPECT_EQ(LogLines(LogFile()).back(), "stopped");
}

TEST_F(ProgramTest, BadCommandLinesEndWithExitCodeTwo) {
  const std::vector<std::string> cases[] = {
      {"--ui"}, {"--preferred"}, {"--config"}, {"--no-browser", "--config"},
      {"--verbose"}, {"extra"}, {"--preferred", "none"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    Program program(environment_, arguments, folder_.Join("bad"));
    EXPECT_EQ(program.WaitForExit(kPatience), std::optional<int>(2))
        << ::testing::PrintToString(arguments);
    EXPECT_EQ(program.Stderr(),
              "usage: tessvark [--no-browser] [--ui FOLDER] [--preferred PORT] [--config FOLDER]\n");
  }
  EXPECT_FALSE(FileExists(DataFolder())) << "a bad command line creates nothing";
}

TEST_F(ProgramTest, ConfigFolderAndUnusablePortRange) {
  const std::string config = folder_.Join("config");
  std::unique_ptr<Program> program = StartFirst({"--config", config});
  std::string url;
  ASSERT_TRUE(WaitUntil([&] {
    url = ReadWholeFile(config + "/tessvark-url");
    return !url.empty();
  })) << program->Stderr();
  EXPECT_FALSE(FileExists(DataFolder())) << "--config replaces the data folder";
  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0));
  EXPECT_EQ(LogLines(config + "/logs/tessvark.log").back(), "stopped");

  // A first port below 1 cannot be served: start fails with exit code 1.
  Program refused(environment_, {"--no-browser", "--preferred", "0"}, folder_.Join("refused"));
  EXPECT_EQ(refused.WaitForExit(kPatience), std::optional<int>(1));
  const std::vector<std::string> lines = LogLines(LogFile());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "start_failed");
  EXPECT_FALSE(FileExists(UrlFile()));
}

// A data folder the program cannot use ends the start with exit code 1 and one line on standard
// error naming the folder and the system's reason; nothing is served.
TEST_F(ProgramTest, UnusableDataFolderIsNamedOnStandardError) {
  const std::string file = folder_.Join("plain-file");
  std::ofstream(file) << "not a folder";
  struct Case {
    const char* name;
    ProgramEnvironment environment;
    std::vector<std::string> arguments;
    std::string folder;
    std::string reason;
  };
  std::vector<Case> cases;
  cases.push_back({"--config names a file", environment_, {"--config", file}, file,
                   "Not a directory"});
  ProgramEnvironment under_file = environment_;
  under_file.data_root = file;
  cases.push_back({"application data is a file", under_file, {}, file + "/Tessvark Unified Native",
                   "Not a directory"});
  if (geteuid() != 0) {  // permission bits do not hold root back
    const std::string locked = folder_.Join("locked");
    mkdir(locked.c_str(), 0500);
    cases.push_back({"folder without write permission", environment_, {"--config", locked},
                     locked, "Permission denied"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back("--no-browser");
    std::unique_ptr<Program> program = StartWith(c.environment, arguments);
    EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(1));
    EXPECT_EQ(program->Stderr(), "Tessvark could not start: the data folder \"" + c.folder +
                                     "\" cannot be used: " + c.reason + "\n");
  }
  EXPECT_EQ(ReadWholeFile(file), "not a folder");

  // A folder that can be used, holding a settings file whose status cannot be had: the start
  // fails, and the reason is said where it can be read even when the log cannot be written.
  const std::string looped = folder_.Join("looped");
  ASSERT_EQ(mkdir(looped.c_str(), 0700), 0);
  ASSERT_EQ(symlink("source_config.json", (looped + "/source_config.json").c_str()), 0);
  std::unique_ptr<Program> program = StartWith(environment_, {"--no-browser", "--config", looped});
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(1));
  EXPECT_EQ(program->Stderr(),
            "Tessvark could not start: filesystem error: status: Too many levels of symbolic links "
            "[" + looped + "/source_config.json]\n");
}

// A run killed while saving leaves its temporary files behind; the next start removes those whose
// writer is gone, and nothing else: not a running process's, not a link, not its target.
TEST_F(ProgramTest, LeftoversOfKilledRunsAreRemovedAtStart) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  const std::string ended = std::to_string(child);
  ASSERT_EQ(mkdir(DataFolder().c_str(), 0700), 0);
  const std::string victim = folder_.Join("victim");
  std::ofstream(victim) << "precious";
  const std::string stale = DataFolder() + "/zone_store.json.tmp." + ended + ".123";
  const std::string stale_sport = DataFolder() + "/sport_zones.json.tmp." + ended + ".456";
  const std::string running = DataFolder() + "/zone_store.json.tmp." + std::to_string(getpid()) + ".1";
  const std::string link = DataFolder() + "/output_config.json.tmp." + ended + ".789";
  for (const std::string& path : {stale, stale_sport, running}) std::ofstream(path) << "partial";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);

  std::unique_ptr<Program> program = StartFirst();
  ASSERT_FALSE(WaitForUrl(*program).empty()) << program->Stderr();
  EXPECT_FALSE(FileExists(stale));
  EXPECT_FALSE(FileExists(stale_sport));
  EXPECT_EQ(ReadWholeFile(running), "partial");
  struct stat info {};
  EXPECT_EQ(lstat(link.c_str(), &info), 0) << "a link is left alone";
  EXPECT_EQ(ReadWholeFile(victim), "precious");
  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0));
}

// --- The tray icon, shown to the tests' stand-in host on a private session bus ---

constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kNoWatcherLine[] = "tray=unavailable: no StatusNotifierWatcher on the session bus";

// Clicks one entry of the item's menu, found by its label, as a host does.
HostCall ClickMenu(StandInHost& host, const std::string& service, const std::string& label) {
  const std::string menu =
      host.TextProperty(service, kItemPath, kItemInterface, "Menu", "o").value_or("");
  const std::optional<MenuNode> layout = host.Layout(service, menu);
  const std::int32_t id = layout ? MenuIdOf(*layout, label) : -1;
  if (id < 0) return {"no menu entry " + label, ""};
  return host.MenuEvent(service, menu, id, "clicked");
}

// The real program's icon and menu: a left click and "Open Tessvark" open the interface, "Check
// for Updates" starts a check, "Quit Tessvark" ends the program as a quit signal does.
TEST_F(ProgramTest, TrayMenuOpensTheInterfaceChecksForUpdatesAndQuits) {
  PrivateSessionBus bus(folder_.path());
  ASSERT_FALSE(bus.address().empty()) << bus.problem();
  SetTextRecorder vmix;
  ASSERT_GT(vmix.port(), 0);
  WriteVmixOutputs(DataFolder(), vmix);
  TestCertificateAuthority authority(folder_.path(), "updates", {kTestUpdateHost});
  ScriptedUpdateServer updates(authority);  // no manifest: a check fails after one request
  const TestSigningKey key;
  std::atomic<bool> url_file_at_registration{false};
  StandInWatcher watcher(bus.address(), {}, [&](const ItemRegistration&) {
    url_file_at_registration = FileExists(UrlFile());
  });
  ASSERT_TRUE(watcher.ready());

  ProgramEnvironment environment = environment_;
  environment.display = ":97";
  environment.extra = {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                       UpdateChannelVariable(updates, authority, key)};
  std::unique_ptr<Program> program = StartWith(environment, {"--no-browser"});
  const std::string url = WaitForUrl(*program);
  ASSERT_FALSE(url.empty()) << program->Stderr();
  ASSERT_TRUE(watcher.WaitForRegistrations(1)) << program->Stderr();
  EXPECT_TRUE(url_file_at_registration.load()) << "the icon comes after the URL file";
  const std::string service = watcher.Registrations()[0].service;

  StandInHost host(bus.address());
  ASSERT_TRUE(host.connected());
  const std::string title = std::string("Tessvark ") + kProgramVersion + " Beta \u2014 Linux";
  EXPECT_EQ(host.TextProperty(service, kItemPath, kItemInterface, "Id"), "tessvark");
  EXPECT_EQ(host.TextProperty(service, kItemPath, kItemInterface, "Title"), title);
  const std::optional<testing::HostToolTip> tip = host.ToolTip(service);
  EXPECT_EQ(tip ? tip->title : std::string(), title);
  EXPECT_EQ(host.BoolProperty(service, kItemPath, kItemInterface, "ItemIsMenu"), false);
  const std::optional<std::vector<testing::HostPixmap>> icon = host.IconPixmap(service);
  ASSERT_TRUE(icon.has_value() && !icon->empty());
  EXPECT_EQ(icon->front().width, 32);
  const std::string menu =
      host.TextProperty(service, kItemPath, kItemInterface, "Menu", "o").value_or("");
  const std::optional<MenuNode> layout = host.Layout(service, menu);
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(RenderMenu(*layout),
            "0{children-display=\"submenu\"}[1{label=\"Open Tessvark\"},"
            "2{label=\"Check for Updates\"},3{type=\"separator\"},4{label=\"Quit Tessvark\"}]");

  EXPECT_EQ(host.Activate(service).error, "");
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(OpenedRecord()) == url + "\n"; }))
      << ReadWholeFile(OpenedRecord());
  EXPECT_EQ(ClickMenu(host, service, "Open Tessvark").error, "");
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(OpenedRecord()) == url + "\n" + url + "\n"; }))
      << ReadWholeFile(OpenedRecord());
  EXPECT_EQ(updates.Hits("/updates/linux-update.json"), 0);
  EXPECT_EQ(ClickMenu(host, service, "Check for Updates").error, "");
  EXPECT_TRUE(updates.WaitForHits("/updates/linux-update.json", 1, kPatience));

  const std::size_t sent_before_quit = SettledSetTextCount(vmix, url);
  EXPECT_EQ(ClickMenu(host, service, "Quit Tessvark").error, "");
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0)) << program->Stderr();
  ExpectFieldsBlankedAfter(vmix, sent_before_quit);
  EXPECT_FALSE(FileExists(UrlFile()));
  EXPECT_EQ(LogLines(LogFile()),
            (std::vector<std::string>{kVersionLogLine, "listening=" + url, "stopped"}))
      << "an icon shown at once adds no line";
  EXPECT_TRUE(WaitUntil([&] { return host.NameOwner(service).empty(); }))
      << "the item is gone from the bus";
}

// A bus that is not there, or one without a watcher: the program serves its page and quits as
// always; one log line says why it has no icon. (Without any bus address the program looks in
// its runtime folder, which the test keeps empty; the signal test above shows that line.)
TEST_F(ProgramTest, RunsWithoutATrayIconWhenTheBusOrTheWatcherIsMissing) {
  PrivateSessionBus bus(folder_.path());
  ASSERT_FALSE(bus.address().empty()) << bus.problem();
  struct Case {
    const char* what;
    std::string address;
    std::string line;
  };
  const Case cases[] = {
      {"an address where no bus listens", "unix:path=" + folder_.Join("no-bus-here"),
       "tray=unavailable: no session bus (No such file or directory)"},
      {"a bus without a watcher", bus.address(), kNoWatcherLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(LogFile().c_str());
    ProgramEnvironment environment = environment_;
    environment.extra = {"DBUS_SESSION_BUS_ADDRESS=" + c.address};
    std::unique_ptr<Program> program = StartWith(environment, {"--no-browser"});
    const std::string url = WaitForUrl(*program);
    ASSERT_FALSE(url.empty()) << program->Stderr();
    httplib::Client client("127.0.0.1", PortOf(url));
    client.set_read_timeout(20, 0);
    const httplib::Result index = client.Get("/");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 200);
    EXPECT_TRUE(WaitUntil([&] { return LogLines(LogFile()).size() == 3; }))
        << ReadWholeFile(LogFile());
    program->Signal(SIGTERM);
    EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0)) << program->Stderr();
    EXPECT_EQ(LogLines(LogFile()),
              (std::vector<std::string>{kVersionLogLine, "listening=" + url, c.line, "stopped"}));
  }
}

// Any process on the session bus may call the menu: a call that asks for a hundred thousand ids
// and a million property names (8.4 MB) neither keeps the program from its signals nor costs it
// its bus.
TEST_F(ProgramTest, AFloodOfTheMenuDoesNotHoldOffAQuit) {
  PrivateSessionBus bus(folder_.path());
  ASSERT_FALSE(bus.address().empty()) << bus.problem();
  ProgramEnvironment environment = environment_;
  environment.extra = {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
  std::unique_ptr<Program> program = StartWith(environment, {"--no-browser"});
  ASSERT_FALSE(WaitForUrl(*program).empty()) << program->Stderr();
  const std::string service =
      "org.kde.StatusNotifierItem-" + std::to_string(program->pid()) + "-1";
  StandInHost host(bus.address());
  ASSERT_TRUE(WaitUntil([&] { return !host.NameOwner(service).empty(); }));

  std::vector<std::int32_t> ids(100000);
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<std::int32_t>(i % 5);
  // Names of no property: a menu that looked each one up for each id would be busy for hours.
  ASSERT_TRUE(host.SendGroupProperties(service, "/MenuBar", ids,
                                       std::vector<std::string>(1000000, "x")));
  EXPECT_EQ(host.MenuProperty(service, "/MenuBar", 1, "label").text, "\"Open Tessvark\"")
      << "the item still answers after the flood";
  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0)) << program->Stderr();
}

// A panel that starts after the program: the item registers then, and its menu works.
TEST_F(ProgramTest, TrayIconRegistersWithAWatcherThatStartsLater) {
  PrivateSessionBus bus(folder_.path());
  ASSERT_FALSE(bus.address().empty()) << bus.problem();
  ProgramEnvironment environment = environment_;
  environment.extra = {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
  std::unique_ptr<Program> program = StartWith(environment, {"--no-browser"});
  const std::string url = WaitForUrl(*program);
  ASSERT_FALSE(url.empty()) << program->Stderr();
  ASSERT_TRUE(WaitUntil([&] { return LogLines(LogFile()).size() == 3; }))
      << ReadWholeFile(LogFile());
  EXPECT_EQ(LogLines(LogFile())[2], kNoWatcherLine);

  StandInWatcher watcher(bus.address());
  ASSERT_TRUE(watcher.WaitForRegistrations(1)) << program->Stderr();
  const std::string service = watcher.Registrations()[0].service;
  EXPECT_TRUE(WaitUntil([&] { return LogLines(LogFile()).size() == 4; }));
  StandInHost host(bus.address());
  EXPECT_EQ(host.TextProperty(service, kItemPath, kItemInterface, "Id"), "tessvark");
  EXPECT_EQ(ClickMenu(host, service, "Quit Tessvark").error, "");
  EXPECT_EQ(program->WaitForExit(kPatience), std::optional<int>(0)) << program->Stderr();
  EXPECT_EQ(LogLines(LogFile()),
            (std::vector<std::string>{kVersionLogLine, "listening=" + url, kNoWatcherLine,
                                      "tray=shown", "stopped"}));
}

}  // namespace
}  // namespace tessvark
