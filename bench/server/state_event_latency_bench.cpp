// Time from a scoreboard change to its event arriving on every one of 8 open state streams.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/scoreboard_state_store.h"
#include "http_test_client.h"
#include "server/local_http_server.h"

namespace tessvark {
namespace {

StateValue HomeScore(std::int64_t score) {
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("home", StateValue::MakeString(std::to_string(score))));
  return StateValue::MakeObject(std::move(members));
}

void RunLatency(benchmark::State& state, bool wake) {
  LocalHttpServerOptions options;
  options.port = 30000 + static_cast<int>(getpid() % 20000);
  options.port_attempts = 100;
  ScoreboardStateStore store("bench", {});
  LocalHttpServer server(options);
  server.SetStateStore(&store);
  server.SetStateAvailable(true);
  if (!server.Start()) {
    state.SkipWithError("server did not start");
    return;
  }
  const std::string request =
      "GET /api/ui/state/stream HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
      "\r\n\r\n";
  std::vector<std::unique_ptr<testing::RawConnection>> streams;
  for (int i = 0; i < static_cast<int>(state.range(0)); ++i) {
    streams.push_back(std::make_unique<testing::RawConnection>(server.Port()));
    streams.back()->Send(request);
    if (!streams.back()->ReadUntil("}\n\n", std::chrono::seconds(5))) {
      state.SkipWithError("stream did not open");
      return;
    }
  }
  std::int64_t score = 0;
  std::vector<std::size_t> seen(streams.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < streams.size(); ++i) seen[i] = streams[i]->received().size();
    const StateValue published = store.ApplyValues(HomeScore(++score));
    // The session marks the state available after every analysis pass, which wakes the streams.
    if (wake) server.SetStateAvailable(true);
    const std::string id = "id: " + std::to_string(published.Find("sequence")->int_value) + "\n";
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (!streams[i]->ReadUntil(id, std::chrono::seconds(5), seen[i])) {
        state.SkipWithError("event did not arrive");
        return;
      }
    }
  }
  server.Stop();
}

void BM_ChangeToEventWithWake(benchmark::State& state) { RunLatency(state, true); }
void BM_ChangeToEventByPolling(benchmark::State& state) { RunLatency(state, false); }

BENCHMARK(BM_ChangeToEventWithWake)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ChangeToEventByPolling)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);

}  // namespace
}  // namespace tessvark
