// The CPU the whole program takes while it reads a board, measured from outside as an operator's
// task manager would: the real `tessvark` program is started on a data folder of its own, fed,
// left to settle, and its process CPU time (all threads, user and system) is read from /proc
// over the measuring window.
//
//   process_bench example [SECONDS] [previews]   the Example clip (1280x720, 25 fps), played by
//                                                the program, with its corners set
//   process_bench srt [SECONDS] [previews]       the Example clip scaled to 1920x1080 at 25 fps,
//                                                sent by the ffmpeg command as an SRT caller on
//                                                loopback, read without corners (the identity
//                                                geometry)
//   process_bench corners [SECONDS] [previews]   the same SRT feed with the board's four corners
//                                                set, as every operator sets them
//
// SECONDS (default 30) is the measuring window; it follows 5 s of warm-up. With "previews" the
// bench also asks for both previews twice a second, as the operator page does while it shows
// them. Every feed carries the ice-hockey board with the clip's 11 factory-default zones (five
// clock-like). With corners they lie on the straightened board as the factory defaults draw them;
// without, each zone is the rectangle around the same field on the picture as sent.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include <opencv2/imgproc.hpp>

#include "background_program.h"
#include "core/json_value.h"
#include "ocr/zone_geometry.h"
#include "session/ocr_zone.h"
#include "session_fixture.h"
#include "settings/config_store.h"

namespace tessvark {
namespace {

using Clock = std::chrono::steady_clock;

using testing::BackgroundProgram;

bool Running(BackgroundProgram& program) { return !program.WaitForExit(0); }

// User plus system CPU seconds of every thread of the process so far; negative when unreadable.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name may hold spaces; the fields after it are plain numbers.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1.0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) {
      stime = std::stoull(field);
      return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return -1.0;
}

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// The port the program bound, from the URL file it writes once it listens; 0 after 20 s.
int WaitForProgramPort(const std::filesystem::path& url_file, BackgroundProgram& program) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline && Running(program)) {
    std::ifstream file(url_file);
    std::string url;
    if (std::getline(file, url)) {
      const std::size_t colon = url.rfind(':');
      if (colon != std::string::npos) return std::atoi(url.c_str() + colon + 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

// The state the event stream sends first: the one published now.
std::optional<JsonValue> CurrentState(int port) {
  return testing::WaitForStateEvent(port, [](const JsonValue&) { return true; }, std::chrono::seconds(5));
}

double StateNumber(const std::optional<JsonValue>& state, const char* key) {
  if (!state) return 0.0;
  const JsonValue* value = state->FindMember(key);
  return value != nullptr && value->kind == JsonKind::kNumber ? std::atof(value->text.c_str()) : 0.0;
}

// Calls one changing route the way the operator page does.
bool Send(int port, const std::string& method, const std::string& path, const std::string& body) {
  httplib::Client client("127.0.0.1", port);
  const httplib::Headers headers = {{"Origin", "http://127.0.0.1:" + std::to_string(port)},
                                    {"X-Tessvark-CSRF", testing::ReadCsrfToken(port)}};
  const httplib::Result reply = method == "PUT" ? client.Put(path, headers, body, "application/json")
                                                : client.Post(path, headers, body, "application/json");
  if (!reply || reply->status != 200) {
    std::fprintf(stderr, "%s %s: %s\n", method.c_str(), path.c_str(),
                 reply ? reply->body.c_str() : "no answer");
    return false;
  }
  return true;
}

std::vector<std::string> SrtCallerCommand(int port) {
  return {"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
          "-i", testing::ExampleFolder() + "/3.mp4", "-an", "-vf", "scale=1920:1080", "-r", "25",
          "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0", "-g", "25",
          "-pix_fmt", "yuv420p", "-f", "mpegts",
          "srt://127.0.0.1:" + std::to_string(port) + "?mode=caller&transtype=live&latency=120000"};
}

// Asks for the source and working previews every 500 ms until stopped.
class PreviewWatcher {
 public:
  explicit PreviewWatcher(int port) : thread_([this, port] {
      httplib::Client client("127.0.0.1", port);
      while (!stop_) {
        client.Get("/preview");
        client.Get("/preview/working");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
    }) {}
  ~PreviewWatcher() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The source profile's zones moved from the straightened board onto the picture as sent, each the
// rectangle around its field, and its geometry set back to the whole picture.
bool DropCorners(const std::filesystem::path& folder, const std::string& key, std::string& error) {
  ConfigStore store(folder);
  SourceConfiguration configuration;
  store.Load(configuration);
  ZoneProfile* profile = configuration.FindProfile(key);
  if (profile == nullptr || !profile->has_geometry) {
    error = "no geometry stored for the bench source";
    return false;
  }
  const ProfileCorners& c = profile->corners;
  SourceGeometry geometry;
  geometry.top_left = {c.top_left.x, c.top_left.y};
  geometry.top_right = {c.top_right.x, c.top_right.y};
  geometry.bottom_right = {c.bottom_right.x, c.bottom_right.y};
  geometry.bottom_left = {c.bottom_left.x, c.bottom_left.y};
  const cv::Size picture(1920, 1080);
  const SourceWarpPlan plan = PlanSourceWarp(picture.width, picture.height, geometry);
  cv::Point2f board_corners[4];
  cv::Point2f picture_corners[4];
  for (int i = 0; i < 4; ++i) {
    board_corners[i] = cv::Point2f(static_cast<float>(plan.destination_corners[i].x),
                                   static_cast<float>(plan.destination_corners[i].y));
    picture_corners[i] = cv::Point2f(static_cast<float>(plan.source_corners[i].x),
                                     static_cast<float>(plan.source_corners[i].y));
  }
  const cv::Mat to_picture = cv::getPerspectiveTransform(board_corners, picture_corners);
  std::vector<OcrZone> zones = ParseOcrZoneList(profile->zones);
  for (OcrZone& zone : zones) {
    const std::vector<cv::Point2d> on_board = {
        {zone.x * plan.output_width, zone.y * plan.output_height},
        {(zone.x + zone.width) * plan.output_width, zone.y * plan.output_height},
        {(zone.x + zone.width) * plan.output_width, (zone.y + zone.height) * plan.output_height},
        {zone.x * plan.output_width, (zone.y + zone.height) * plan.output_height}};
    std::vector<cv::Point2d> on_picture;
    cv::perspectiveTransform(on_board, on_picture, to_picture);
    const cv::Rect2d box = cv::boundingRect(std::vector<cv::Point2f>(on_picture.begin(), on_picture.end()));
    zone.x = box.x / picture.width;
    zone.y = box.y / picture.height;
    zone.width = box.width / picture.width;
    zone.height = box.height / picture.height;
  }
  profile->zones = OcrZoneListJson(zones);
  profile->corners = IdentityCorners();
  return store.Save(configuration, error);
}

int Run(const std::string& feed, double seconds, bool previews) {
  if (feed != "example" && feed != "srt" && feed != "corners") {
    std::fprintf(stderr, "usage: process_bench example|srt|corners [SECONDS] [previews]\n");
    return 2;
  }
  testing::TempFolder folder("process-bench-" + feed);
  std::string error;
  const bool stored =
      feed == "example"
          ? testing::StoreSelection(folder.path(), "example", "example-1", "", error)
          : testing::StoreSelection(folder.path(), "srt", "bench", "example-1", error) &&
                (feed == "corners" || DropCorners(folder.path(), ProfileKey("srt", "bench"), error));
  if (!stored) {
    std::fprintf(stderr, "cannot store the configuration: %s\n", error.c_str());
    return 1;
  }
  // A lock and URL file of its own, so that another instance on this machine does not take over.
  const std::filesystem::path runtime_dir = folder / "run";
  std::filesystem::create_directories(runtime_dir);
  setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
  setenv("TESSVARK_NO_BROWSER", "1", 1);

  BackgroundProgram program({TESSVARK_PROGRAM, "--no-browser", "--config", folder.path(), "--preferred",
                 std::to_string(20000 + (getpid() * 37) % 40000)});
  const int port = WaitForProgramPort(folder / "tessvark-url", program);
  if (port == 0) {
    std::fprintf(stderr, "the program did not start\n");
    return 1;
  }
  std::optional<BackgroundProgram> caller;
  if (feed != "example") {
    const int srt_port = FreeUdpPort();
    if (!Send(port, "PUT", "/api/source/srt",
              "{\"bind_address\":\"127.0.0.1\",\"port\":" + std::to_string(srt_port) + "}") ||
        !Send(port, "POST", "/api/source/srt/listening", "{\"listening\":true}")) {
      return 1;
    }
    caller.emplace(SrtCallerCommand(srt_port));
  }

  std::optional<PreviewWatcher> watcher;
  if (previews) watcher.emplace(port);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const std::optional<JsonValue> before = CurrentState(port);
  const double cpu_start = ProcessCpuSeconds(program.pid());
  const auto wall_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu_end = ProcessCpuSeconds(program.pid());
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const std::optional<JsonValue> after = CurrentState(port);
  if (cpu_start < 0.0 || cpu_end < 0.0 || !Running(program)) {
    std::fprintf(stderr, "the program ended during the measurement\n");
    return 1;
  }
  // The state's sequence rises with every change of a value: a program that reads nothing
  // would show no rise, and its CPU figure would mean nothing.
  const double changes = StateNumber(after, "sequence") - StateNumber(before, "sequence");
  std::printf("%s%s: %.1f s, process CPU %.2f s = %.3f cores; %.0f state changes, clock now %s\n",
              feed.c_str(), previews ? " with previews" : "", wall, cpu_end - cpu_start, (cpu_end - cpu_start) / wall, changes,
              after ? testing::StateText(*after, "clock").c_str() : "(no state)");
  return changes > 0 ? 0 : 1;
}

}  // namespace
}  // namespace tessvark

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: process_bench example|srt|corners [SECONDS] [previews]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  return tessvark::Run(argv[1], argc > 2 ? std::atof(argv[2]) : 30.0, argc > 3 && std::string(argv[3]) == "previews");
}
