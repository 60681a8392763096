// What a running session costs: the time from a frame published by a receiver to its values on
// the event stream, and the CPU time the session uses while it analyses the Example clip.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "session/native_session.h"
#include "session_fixture.h"
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

std::string ClockTruth(const ExampleScene& scene) {
  return testing::TruthByStateKey(scene.fields, {"clock"}).at("clock");
}

// A receiver delivers one picture whose clock differs from the last one; the time until the
// event with that clock arrives is one iteration.
void BM_FramePublishedToEvent(benchmark::State& state) {
  testing::TempFolder folder("bench-latency");
  std::string error;
  if (!testing::StoreSelection(folder.path(), "ndi", "Bench Board", "example-1", error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  auto runtime = std::make_shared<testing::FakeNdiRuntime>();
  NativeSessionOptions options = testing::TestSessionOptions(folder.path());
  options.ndi_runtime = runtime;
  NativeSession session(std::move(options));
  if (!testing::StartSession(session)) {
    state.SkipWithError("the session did not start");
    return;
  }
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
  std::sort(latencies.begin(), latencies.end());
  // Nearest rank: the smallest latency that at least `share` of the frames did not exceed.
  auto percentile = [&](double share) {
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(latencies.size())));
    return latencies[std::clamp<std::size_t>(rank, 1, latencies.size()) - 1];
  };
  state.counters["p50_ms"] = percentile(0.50);
  state.counters["p90_ms"] = percentile(0.90);
  state.counters["p99_ms"] = percentile(0.99);
  state.counters["worst_ms"] = latencies.back();
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

}  // namespace
}  // namespace tessvark
