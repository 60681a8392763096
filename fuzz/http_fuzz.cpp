// Requests as any local process may send them, fed to the real server on 127.0.0.1 with a
// runtime that answers every operation alike. In the input "{AUTHORITY}" stands for the
// server's host and port and "{TOKEN}" for its CSRF token, so that requests can get past the
// authorization; a blank line is added when the input has none. Each input goes out on a
// connection of its own. Findings: a crash or sanitizer report, an answer that is not an
// HTTP/1.1 reply, and a server that no longer answers its health route.
//
// The connection stays open for sending (the server answers no client that has half-closed),
// so a request that is still incomplete gets no answer: when none begins within a short quiet
// time the connection is closed, which is not a finding.
//
// libFuzzer's time-out is a SIGALRM: the server's threads block it, so it always lands on the
// fuzzing thread, whose socket calls go on after an interruption; only the time that really
// passed counts as waiting.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/scoreboard_state_store.h"
#include "fuzz/fuzz_files.h"
#include "server/local_http_server.h"
#include "tests/server/fake_runtime.h"
#include "tests/server/http_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// A reply the server has not finished by then is left unread; it is not a finding by itself,
// but the health route must answer afterwards.
constexpr auto kExchangeLimit = std::chrono::seconds(5);
constexpr auto kQuietLimit = std::chrono::milliseconds(50);
constexpr auto kHealthLimit = std::chrono::seconds(20);
constexpr int kHealthEvery = 256;

struct Exchanged {
  std::string received;
  // The server closed the connection, an event stream began, or no answer began in time.
  bool finished = false;
};

// Whether the head received so far opens an event stream, which stays open by design.
bool OpensEventStream(const std::string& received) {
  const std::size_t head_end = received.find("\r\n\r\n");
  return head_end != std::string::npos &&
         received.substr(0, head_end).find("text/event-stream") != std::string::npos;
}

// Whether anything beyond interim (1xx) replies has arrived.
bool FinalAnswerBegan(const std::string& received) {
  std::size_t at = 0;
  while (received.compare(at, 10, "HTTP/1.1 1") == 0) {
    const std::size_t end = received.find("\r\n\r\n", at);
    if (end == std::string::npos) return false;
    at = end + 4;
  }
  return at < received.size();
}

Exchanged Exchange(int port, const std::string& request, Clock::duration quiet_limit) {
  const Clock::time_point deadline = Clock::now() + kExchangeLimit;
  tessvark::testing::RawConnection connection(port);
  if (!connection.connected()) {
    std::fprintf(stderr, "cannot connect to the server\n");
    std::abort();
  }
  // The server may answer and close before it has read everything.
  connection.Send(request);
  Exchanged result;
  // Until a final answer begins (an interim "100 Continue" is none) the quiet limit applies.
  if (connection.ReadUntil(FinalAnswerBegan, std::min(deadline, Clock::now() + quiet_limit))) {
    result.finished = connection.ReadUntil(OpensEventStream, deadline) || connection.closed_by_peer();
  } else {
    result.finished = true;
  }
  result.received = connection.received();
  return result;
}

struct Served {
  tessvark::ScoreboardStateStore store{"fuzz-source", [] { return std::string("2026-01-01T00:00:00Z"); }};
  tessvark::testing::FakeRuntime runtime;
  std::unique_ptr<tessvark::LocalHttpServer> server;
  int port = 0;
  std::string authority;
  std::string token;
};

std::string ReadToken(int port) {
  const Exchanged page =
      Exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n", kExchangeLimit);
  const std::size_t start = page.received.find("content=\"");
  const std::size_t end = start == std::string::npos ? start : page.received.find('"', start + 9);
  if (end == std::string::npos) {
    std::fprintf(stderr, "no token in the index page:\n%s\n", page.received.c_str());
    std::abort();
  }
  return page.received.substr(start + 9, end - start - 9);
}

Served& Server() {
  static Served* served = [] {
    auto* made = new Served;
    const std::filesystem::path ui = tessvark::fuzz::FuzzFolder() / "ui";
    std::filesystem::create_directories(ui / "assets");
    tessvark::fuzz::WriteInputFile("ui/index.html", "<!doctype html><meta content=\"__TESSVARK_CSRF_TOKEN__\">");
    tessvark::fuzz::WriteInputFile("ui/assets/favicon.png", "\x89PNG");
    tessvark::LocalHttpServerOptions options;
    options.ui_root = ui.string();
    options.port = 20000 + static_cast<int>((getpid() * 37) % 40000);
    options.port_attempts = 200;
    // Streams that the fuzzer opens and leaves end at their next heartbeat.
    options.event_heartbeat_seconds = 0.5;
    made->server = std::make_unique<tessvark::LocalHttpServer>(std::move(options));
    made->server->SetStateStore(&made->store);
    made->server->SetRuntime(&made->runtime);
    // Every thread of the server starts from this mask and so never takes libFuzzer's alarm.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    const bool started = made->server->Start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
      std::fprintf(stderr, "the server did not start\n");
      std::abort();
    }
    made->port = made->server->Port();
    made->authority = "127.0.0.1:" + std::to_string(made->port);
    made->token = ReadToken(made->port);
    return made;
  }();
  return *served;
}

void ReplaceAll(std::string& text, std::string_view from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

void CheckHealth(const Served& served) {
  const Clock::time_point deadline = Clock::now() + kHealthLimit;
  const std::string request = "GET /api/health HTTP/1.1\r\nHost: " + served.authority + "\r\n\r\n";
  while (Clock::now() < deadline) {
    if (Exchange(served.port, request, kExchangeLimit).received.rfind("HTTP/1.1 200 ", 0) == 0) return;
  }
  std::fprintf(stderr, "the server no longer answers its health route\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int inputs = 0;
  Served& served = Server();
  std::string request(reinterpret_cast<const char*>(data), size);
  ReplaceAll(request, "{AUTHORITY}", served.authority);
  ReplaceAll(request, "{TOKEN}", served.token);
  if (request.find("\r\n\r\n") == std::string::npos) request += "\r\n\r\n";
  const Exchanged exchanged = Exchange(served.port, request, kQuietLimit);
  if (!exchanged.received.empty() && exchanged.received.rfind("HTTP/1.1 ", 0) != 0) {
    std::fprintf(stderr, "not an HTTP/1.1 reply:\n%s\n", exchanged.received.c_str());
    std::abort();
  }
  if (!exchanged.finished || ++inputs % kHealthEvery == 0) CheckHealth(served);
  return 0;
}
