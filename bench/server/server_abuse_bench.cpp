// Hostile local clients against the real program, measured from outside: the program is started
// on a private data folder, then header floods, slow (header-dripping) connections, slow
// authorized bodies and authorized bodies without a length are thrown at its server while the
// interface's own requests are timed; then event streams whose clients never read hold the
// stream slots while a new page asks for its stream; finally the time from SIGTERM to the end of
// the process is taken.
//
//   server_abuse_bench PROGRAM [N drippers] [M slow bodies] [K floods] [L lines per flood]
//                      [U bodies without a length] [S stuck streams]
//
// Defaults: 300 drippers, 20 slow bodies, 16 floods of 1,000,000 header lines, 200 bodies without
// a length, 8 stuck streams. Drippers send a header line, slow bodies and bodies without a length
// one byte every 2 s from the moment they are open, as long as the program runs. Interface
// requests wait at most 20 s each.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_program.h"
#include "http_test_client.h"
#include "tests/support/temp_folder.h"

namespace {

using tessvark::bench::Clock;
using tessvark::bench::MillisecondsSince;
using tessvark::bench::Program;
using tessvark::bench::ResidentMiB;
using std::chrono::milliseconds;
using tessvark::testing::Exchange;
using tessvark::testing::ParseReply;
using tessvark::testing::RawConnection;

// Connections that each get one more piece every 2 s from a thread of their own, from the moment
// they are added. A connection added with an opening is opened again with it once the program
// closes it, so that the load lasts as long as the bench runs.
class Drip {
 public:
  explicit Drip(int port) : port_(port) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          for (Client& client : clients_) {
            if (client.connection->Send(client.piece) || client.opening.empty()) continue;
            client.connection = std::make_unique<RawConnection>(port_);
            client.connection->Send(client.opening);
            ++reopened_;
          }
        }
        for (int i = 0; i < 200 && !stop_.load(); ++i) {
          std::this_thread::sleep_for(milliseconds(10));
        }
      }
    });
  }
  ~Drip() {
    stop_.store(true);
    thread_.join();
  }
  void Add(std::unique_ptr<RawConnection> connection, std::string piece,
           std::string opening = std::string()) {
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.push_back({std::move(connection), std::move(piece), std::move(opening)});
  }
  long reopened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reopened_;
  }

 private:
  struct Client {
    std::unique_ptr<RawConnection> connection;
    std::string piece;
    std::string opening;
  };
  const int port_;
  std::mutex mutex_;
  std::vector<Client> clients_;
  long reopened_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One request of `lines` header lines on its own connection; the reply's status, 0 for none.
int Flood(int port, const std::string& host, long lines) {
  RawConnection connection(port);
  if (!connection.Send("GET /api/health HTTP/1.1\r\n" + host)) return 0;
  std::string block;
  for (long i = 0; i < lines; ++i) {
    block += "X-Flood-" + std::to_string(i % 1000) + ": value\r\n";
    if (block.size() >= 65536 || i + 1 == lines) {
      if (!connection.Send(block)) break;
      block.clear();
    }
  }
  connection.Send("\r\n");
  connection.ReadUntil("\r\n\r\n", std::chrono::seconds(60));
  return ParseReply(connection.received()).status;
}

std::string Token(int port, const std::string& host) {
  const std::string page = ParseReply(Exchange(port, "GET / HTTP/1.1\r\n" + host + "\r\n")).body;
  const std::string marker = "const CSRF_TOKEN = '";
  const std::size_t at = page.find(marker);
  return at == std::string::npos ? std::string() : page.substr(at + marker.size(), 43);
}

long Argument(int argc, char** argv, int index, long fallback) {
  return argc > index ? std::atol(argv[index]) : fallback;
}

// The time until a new stream's first event while `stuck` streams hold the slots, their clients
// having read their first event and nothing since (small receive buffers, so that the program's
// writes to them stall soon). A refused stream is asked for again every 250 ms, for at most 30 s.
void MeasureStreamBesideStuckOnes(int port, const std::string& host, long stuck) {
  const std::string request = "GET /api/ui/state/stream HTTP/1.1\r\n" + host + "\r\n";
  // The state streams once the source delivers its first picture.
  for (const auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until;) {
    RawConnection probe(port);
    probe.Send(request);
    if (probe.ReadUntil("}\n\n", std::chrono::seconds(2))) break;
    std::this_thread::sleep_for(milliseconds(250));
  }
  // Until all are open: the probe's slot is free only once the program has noticed its close.
  std::vector<std::unique_ptr<RawConnection>> stuck_streams;
  long opened = 0;
  for (const auto until = Clock::now() + std::chrono::seconds(30);
       opened < stuck && Clock::now() < until;) {
    auto connection = std::make_unique<RawConnection>(port, 4096);
    connection->Send(request);
    if (connection->ReadUntil("}\n\n", std::chrono::seconds(10))) {
      ++opened;
      stuck_streams.push_back(std::move(connection));
    } else {
      std::this_thread::sleep_for(milliseconds(250));
    }
  }
  // Let the state change a while, so that the stuck streams fall behind.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const auto start = Clock::now();
  int refusals = 0;
  int last_status = 0;
  while (Clock::now() - start < std::chrono::seconds(30)) {
    RawConnection page(port);
    page.Send(request);
    page.ReadUntil([](const std::string& text) {
      return text.find("}\n\n") != std::string::npos ||
             (text.find("\r\n\r\n") != std::string::npos && text.rfind("HTTP/1.1 200", 0) != 0);
    }, Clock::now() + std::chrono::seconds(10));
    last_status = ParseReply(page.received()).status;
    if (last_status == 200 && page.received().find("}\n\n") != std::string::npos) {
      std::printf("new stream beside %ld stuck ones (%ld opened): first event after %.0f ms, "
                  "%d refusals before\n", stuck, opened, MillisecondsSince(start), refusals);
      return;
    }
    ++refusals;
    std::this_thread::sleep_for(milliseconds(250));
  }
  std::printf("new stream beside %ld stuck ones (%ld opened): none within 30 s (%d refusals, last "
              "status %d)\n", stuck, opened, refusals, last_status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: server_abuse_bench PROGRAM [drippers] [slow-bodies] [floods] "
                         "[lines-per-flood] [bodies-without-length] [stuck-streams]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const long drippers = Argument(argc, argv, 2, 300);
  const long slow_bodies = Argument(argc, argv, 3, 20);
  const long floods = Argument(argc, argv, 4, 16);
  const long flood_lines = Argument(argc, argv, 5, 1000000);
  const long unframed_bodies = Argument(argc, argv, 6, 200);
  const long stuck_streams = Argument(argc, argv, 7, 8);

  const tessvark::testing::TempFolder folder("abuse");
  const std::filesystem::path root = folder.path();
  int result = 0;
  {
    Program program(argv[1], root);
    const int port = program.pid() > 0 ? program.WaitForPort() : 0;
    if (port == 0) {
      std::fprintf(stderr, "the program did not start; see %s/program.log\n", root.c_str());
      return 1;
    }
    const std::string authority = "127.0.0.1:" + std::to_string(port);
    const std::string host = "Host: " + authority + "\r\n";
    const std::string token = Token(port, host);
    std::printf("program pid %d on port %d (token %s)\n", program.pid(), port,
                token.size() == 43 ? "read" : "missing");
    std::printf("rss at start: %.1f MiB\n", ResidentMiB(program.pid()));

    const auto flood_start = Clock::now();
    std::vector<int> statuses;
    for (long i = 0; i < floods; ++i) statuses.push_back(Flood(port, host, flood_lines));
    std::string status_text;
    for (const int status : statuses) status_text += " " + std::to_string(status);
    std::printf("%ld floods of %ld header lines: %.0f ms, statuses:%s\n", floods, flood_lines,
                MillisecondsSince(flood_start), status_text.c_str());
    std::printf("rss after floods: %.1f MiB\n", ResidentMiB(program.pid()));

    {
      Drip drip(port);
      const auto open_start = Clock::now();
      for (long i = 0; i < drippers; ++i) {
        auto connection = std::make_unique<RawConnection>(port);
        connection->Send("GET /api/health HTTP/1.1\r\n" + host);
        drip.Add(std::move(connection), "X-Slow: 1\r\n");
      }
      const std::string body_head =
          "PUT /api/display-format HTTP/1.1\r\n" + host + "Origin: http://" + authority +
          "\r\nX-Tessvark-CSRF: " + token +
          "\r\nContent-Type: application/json\r\nContent-Length: 200000\r\n\r\n{";
      for (long i = 0; i < slow_bodies; ++i) {
        auto connection = std::make_unique<RawConnection>(port);
        connection->Send(body_head);
        drip.Add(std::move(connection), " ");
      }
      // The same authorized head with neither Content-Length nor Transfer-Encoding.
      const std::string unframed_head = "PUT /api/display-format HTTP/1.1\r\n" + host +
                                        "Origin: http://" + authority + "\r\nX-Tessvark-CSRF: " +
                                        token + "\r\nContent-Type: application/json\r\n\r\n{";
      for (long i = 0; i < unframed_bodies; ++i) {
        auto connection = std::make_unique<RawConnection>(port);
        connection->Send(unframed_head);
        drip.Add(std::move(connection), " ", unframed_head);
      }
      std::printf("opened %ld drippers, %ld slow bodies and %ld bodies without a length in "
                  "%.0f ms\n",
                  drippers, slow_bodies, unframed_bodies, MillisecondsSince(open_start));
      std::this_thread::sleep_for(milliseconds(500));

      // One interface request every 500 ms for 20 s, as a page polls, while the clients go on.
      std::vector<double> latencies;
      int timed_out = 0;
      for (int i = 0; i < 40; ++i) {
        const auto start = Clock::now();
        const auto reply = ParseReply(
            Exchange(port, "GET /api/health HTTP/1.1\r\n" + host + "\r\n", milliseconds(20000)));
        if (reply.status == 200) {
          latencies.push_back(MillisecondsSince(start));
        } else {
          ++timed_out;
        }
        std::this_thread::sleep_until(start + milliseconds(500));
      }
      std::sort(latencies.begin(), latencies.end());
      if (latencies.empty()) {
        std::printf("interface requests: all 40 timed out (20 s each)\n");
      } else {
        std::printf("interface requests (40, one each 500 ms): median %.1f ms, max %.1f ms, "
                    "%d timed out (20 s)\n",
                    latencies[latencies.size() / 2], latencies.back(), timed_out);
      }
      std::printf("connections opened again after the program closed them: %ld\n",
                  drip.reopened());
      std::printf("rss with clients open: %.1f MiB\n", ResidentMiB(program.pid()));
    }  // the dripping clients stop here
    if (stuck_streams > 0) {
      // The state streams once a source runs: the bundled Example clip.
      const std::string select = "{\"type\":\"example\",\"id\":\"example-1\"}";
      const auto selected = ParseReply(Exchange(
          port, "PUT /api/source HTTP/1.1\r\n" + host + "Origin: http://" + authority +
                    "\r\nX-Tessvark-CSRF: " + token + "\r\nContent-Type: application/json\r\n"
                    "Content-Length: " + std::to_string(select.size()) + "\r\n\r\n" + select,
          milliseconds(20000)));
      std::printf("Example source chosen: %d\n", selected.status);
      MeasureStreamBesideStuckOnes(port, host, stuck_streams);
    }

    kill(program.pid(), SIGTERM);
    const std::optional<double> exit_ms = program.WaitForExit(milliseconds(20000));
    if (exit_ms) {
      std::printf("SIGTERM to exit: %.0f ms\n", *exit_ms);
    } else {
      std::printf("SIGTERM to exit: no exit within 20 s (killed)\n");
      result = 3;
    }
  }
  return result;
}
