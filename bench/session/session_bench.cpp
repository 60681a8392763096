// What a running session costs: the time from a frame published by a receiver to its values on
// the event stream, the CPU time the session uses while it analyses the Example clip, and how long
// the operator's requests take while a 1080p source is analysed.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include <httplib.h>

#include <opencv2/imgproc.hpp>

#include "session/native_session.h"
#include "session_fixture.h"
#include "settings/config_store.h"
#include "tools/example_media/example_scenes.h"

namespace tessvark {
namespace {

using Clock = std::chrono::steady_clock;

// Keeps one event stream open and notes when each event's clock text arrived.
class StreamWatcher {
 public:
  explicit StreamWatcher(int port) : thread_([this, port] { Run(port); }) {}
  ~StreamWatcher() {
    stop_ = true;
    thread_.join();
  }

  // Waits for an event whose clock reads `clock`; the arrival time, or nothing after 5 s.
  std::optional<Clock::time_point> WaitForClock(const std::string& clock) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Clock::time_point> arrival;
    changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      while (!events_.empty()) {
        const auto [time, text] = events_.front();
        events_.pop_front();
        if (text == clock) {
          arrival = time;
          return true;
        }
      }
      return false;
    });
    return arrival;
  }

 private:
  void Run(int port) {
    while (!stop_) {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(std::chrono::milliseconds(300));
      std::string buffer;
      client.Get("/api/ui/state/stream", [&](const char* data, std::size_t length) {
        buffer.append(data, length);
        for (std::size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
          const std::string block = buffer.substr(0, end);
          buffer.erase(0, end + 2);
          const std::size_t at = block.find("data: ");
          if (at == std::string::npos) continue;
          try {
            const JsonValue state = ParseJson(block.substr(at + 6));
            std::lock_guard<std::mutex> lock(mutex_);
            events_.emplace_back(Clock::now(), testing::StateText(state, "clock"));
            changed_.notify_all();
          } catch (const std::exception&) {
          }
        }
        return !stop_.load();
      });
      if (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<Clock::time_point, std::string>> events_;
  std::thread thread_;
};

// Nearest rank: the smallest value that at least `share` of the values did not exceed.
double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

std::string ClockTruth(const ExampleScene& scene) {
  return testing::TruthByStateKey(scene.fields, {"clock"}).at("clock");
}

// A started session on a data folder of its own whose selected source, the NDI sender "Bench
// Board" that the benchmark feeds through its runtime, has the clip's zones and corners.
struct BenchSession {
  explicit BenchSession(const std::string& name) : folder(name) {}

  // False (the benchmark skipped with the reason) when it cannot start.
  bool Start(benchmark::State& state) {
    std::string error;
    if (!testing::StoreSelection(folder.path(), "ndi", "Bench Board", "example-1", error)) {
      state.SkipWithError(error.c_str());
      return false;
    }
    NativeSessionOptions options = testing::TestSessionOptions(folder.path());
    options.ndi_runtime = runtime;
    session = std::make_unique<NativeSession>(std::move(options));
    if (!testing::StartSession(*session)) {
      state.SkipWithError("the session did not start");
      return false;
    }
    return true;
  }

  testing::TempFolder folder;
  std::shared_ptr<testing::FakeNdiRuntime> runtime = std::make_shared<testing::FakeNdiRuntime>();
  std::unique_ptr<NativeSession> session;
};

// A receiver delivers one picture whose clock differs from the last one; the time until the
// event with that clock arrives is one iteration.
void BM_FramePublishedToEvent(benchmark::State& state) {
  BenchSession bench("bench-latency");
  if (!bench.Start(state)) return;
  NativeSession& session = *bench.session;
  testing::FakeNdiRuntime* runtime = bench.runtime.get();
  // Two pictures a few seconds apart in the clip, so their clocks differ.
  const ExampleScene scenes[2] = {RenderHockeyScene(12), RenderHockeyScene(3 * kExampleFps + 12)};
  const std::string clocks[2] = {ClockTruth(scenes[0]), ClockTruth(scenes[1])};
  runtime->Deliver("Bench Board", scenes[1].image);
  testing::WaitForStateEvent(
      session.Server().Port(),
      [&](const JsonValue& event) { return testing::StateText(event, "clock") == clocks[1]; },
      std::chrono::seconds(10));
  StreamWatcher watcher(session.Server().Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<double> latencies;
  int next = 0;
  for (auto _ : state) {
    const auto published = Clock::now();
    runtime->Deliver("Bench Board", scenes[next].image);
    const std::optional<Clock::time_point> arrival = watcher.WaitForClock(clocks[next]);
    if (!arrival) {
      state.SkipWithError("no event with the new clock");
      break;
    }
    const double seconds = std::chrono::duration<double>(*arrival - published).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1000.0);
    next = 1 - next;
  }
  session.Stop();
  if (latencies.empty()) return;
  state.counters["p50_ms"] = Percentile(latencies, 0.50);
  state.counters["p90_ms"] = Percentile(latencies, 0.90);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["worst_ms"] = Percentile(latencies, 1.0);
}
// 200 frames, so that the 99th percentile is not simply the worst one.
BENCHMARK(BM_FramePublishedToEvent)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The whole process while the session plays and analyses the Example clip; the benchmark's own
// thread only sleeps.
void BM_ExampleClipCpuPerSecond(benchmark::State& state) {
  testing::TempFolder folder("bench-clip");
  std::string error;
  if (!testing::StoreSelection(folder.path(), "example", "example-1", "", error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  NativeSession session(testing::TestSessionOptions(folder.path()));
  if (!testing::StartSession(session)) {
    state.SkipWithError("the session did not start");
    return;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double cpu_per_second = 0.0;
  for (auto _ : state) {
    const double cpu_start = ProcessCpuSeconds();
    const auto wall_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
    cpu_per_second = (ProcessCpuSeconds() - cpu_start) / wall;
    state.SetIterationTime(wall);
  }
  session.Stop();
  state.counters["cpu_s_per_s"] = cpu_per_second;
}
BENCHMARK(BM_ExampleClipCpuPerSecond)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The operator's requests while a live 1080p source is analysed at 25 frames a second with the
// clip's corners and 11 zones: a zone nudged (PUT, which saves the configuration) and the status
// read (GET), one after the other. After each pair the same save is made again on its own,
// without a session (three files, each written and committed), so that every PUT has beside it
// what the disk took for its save at that moment; and the frames the feeder analysed meanwhile.
void BM_ApiWhileAnalysing1080p(benchmark::State& state) {
  BenchSession bench("bench-api");
  if (!bench.Start(state)) return;
  NativeSession& session = *bench.session;
  testing::FakeNdiRuntime* runtime = bench.runtime.get();
  const std::filesystem::path folder = bench.folder.path();
  std::string error;
  std::vector<cv::Mat> pictures;
  for (const int frame : {12, 3 * kExampleFps + 12}) {
    cv::Mat picture;
    cv::resize(RenderHockeyScene(frame).image, picture, cv::Size(1920, 1080), 0, 0, cv::INTER_LINEAR);
    pictures.push_back(picture);
  }
  std::atomic<bool> feeding{true};
  std::thread receiver([&] {
    // A receiver's pace: a new picture every 40 ms, each a picture of its own as a decoder makes.
    for (std::size_t next = 0; feeding; ++next) {
      runtime->Deliver("Bench Board", pictures[next % pictures.size()].clone());
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  });
  const int port = session.Server().Port();
  testing::WaitForStateEvent(port, [](const JsonValue& event) { return !testing::StateText(event, "clock").empty(); },
                             std::chrono::seconds(10));

  httplib::Client client("127.0.0.1", port);
  const httplib::Headers headers = {{"Origin", "http://127.0.0.1:" + std::to_string(port)},
                                    {"X-Tessvark-CSRF", testing::ReadCsrfToken(port)}};
  const JsonValue zones = ParseJson(client.Get("/api/zones", headers)->body);
  const JsonValue* clock = nullptr;
  for (const JsonValue& zone : zones.items) {
    if (zone.At("id").text == "clock") clock = &zone;
  }
  if (clock == nullptr) {
    state.SkipWithError("the clip's zones are not stored");
    feeding = false;
    receiver.join();
    return;
  }
  ConfigStore alone(folder / "alone");
  SourceConfiguration configuration;
  ConfigStore(folder).Load(configuration);
  std::vector<double> puts;
  std::vector<double> gets;
  std::vector<double> saves;
  std::vector<double> beyond_save;
  const std::uint64_t frames_before = session.FrameCounters().frames_analysed;
  const auto window = Clock::now();
  int nudge = 0;
  for (auto _ : state) {
    char body[256];
    std::snprintf(body, sizeof body, R"({"x":%.17g,"y":%.17g,"width":%.17g,"height":%.17g})",
                  clock->At("x").number + (nudge++ % 2 == 0 ? 0.002 : 0.0), clock->At("y").number,
                  clock->At("width").number, clock->At("height").number);
    auto start = Clock::now();
    const httplib::Result put = client.Put("/api/zones/clock", headers, body, "application/json");
    puts.push_back(MillisecondsSince(start));
    start = Clock::now();
    const httplib::Result status = client.Get("/api/status", headers);
    gets.push_back(MillisecondsSince(start));
    if (!put || put->status != 200 || !status || status->status != 200) {
      state.SkipWithError("a request failed");
      break;
    }
    state.SetIterationTime((puts.back() + gets.back()) / 1000.0);
    start = Clock::now();
    if (!alone.Save(configuration, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    saves.push_back(MillisecondsSince(start));
    beyond_save.push_back(puts.back() - saves.back());
    // About one change a second from each of a few operators' pages.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - window).count();
  const std::uint64_t frames = session.FrameCounters().frames_analysed - frames_before;
  feeding = false;
  receiver.join();
  session.Stop();
  if (puts.empty() || saves.empty()) return;
  state.counters["put_p50_ms"] = Percentile(puts, 0.50);
  state.counters["put_p99_ms"] = Percentile(puts, 0.99);
  state.counters["put_worst_ms"] = Percentile(puts, 1.0);
  state.counters["status_p50_ms"] = Percentile(gets, 0.50);
  state.counters["status_p99_ms"] = Percentile(gets, 0.99);
  state.counters["status_worst_ms"] = Percentile(gets, 1.0);
  state.counters["save_alone_p50_ms"] = Percentile(saves, 0.50);
  state.counters["save_alone_p99_ms"] = Percentile(saves, 0.99);
  // What a PUT took beyond the save made just after it.
  state.counters["put_beyond_save_p50_ms"] = Percentile(beyond_save, 0.50);
  state.counters["put_beyond_save_p99_ms"] = Percentile(beyond_save, 0.99);
  state.counters["frames_per_s"] = static_cast<double>(frames) / seconds;
}
// 200 of each, so that the 99th percentile is not simply the worst one.
BENCHMARK(BM_ApiWhileAnalysing1080p)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessvark
