#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "server/growing_thread_pool.h"
#include "server_fixture.h"
#include "tests/support/wait_until.h"

namespace tessvark::testing {
namespace {

// Holds a port the way another program would: bound and listening on 127.0.0.1. Port 0 takes
// one the system picks.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    // A connection of an earlier run left in TIME_WAIT on this port must not keep it from us.
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    held_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(fd_, 1) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    port_ = held_ ? ntohs(address.sin_port) : 0;
  }
  ~PortHolder() { close(fd_); }
  bool held() const { return held_; }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  int port_ = 0;
};

// `count` neighbouring ports, all held by this test, so that no other process decides what a
// server finds on them: the first is one the system picks, the others those after it; a run that
// cannot be completed is let go and another one tried. Empty when none could be held.
std::vector<std::unique_ptr<PortHolder>> HoldNeighbouringPorts(int count) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::vector<std::unique_ptr<PortHolder>> run;
    run.push_back(std::make_unique<PortHolder>(0));
    if (!run.front()->held() || run.front()->port() + count - 1 > 65535) continue;
    for (int next = 1; next < count && run.back()->held(); ++next) {
      run.push_back(std::make_unique<PortHolder>(run.front()->port() + next));
    }
    if (run.back()->held()) return run;
  }
  return {};
}

LocalHttpServerOptions Options(int port, int attempts) {
  LocalHttpServerOptions options;
  options.port = port;
  options.port_attempts = attempts;
  return options;
}

TEST(LocalHttpServerStart, RefusesSettingsItCannotServe) {
  const int port = TestFirstPort();
  LocalHttpServerOptions localhost = Options(port, 5);
  localhost.host = "localhost";
  LocalHttpServerOptions any = Options(port, 5);
  any.host = "0.0.0.0";
  for (LocalHttpServerOptions* options : std::vector<LocalHttpServerOptions*>{&localhost, &any}) {
    LocalHttpServer server(*options);
    EXPECT_FALSE(server.Start());
    EXPECT_EQ(server.Port(), 0);
  }
  for (const auto& [first, attempts] : {std::pair{0, 5}, std::pair{-3, 5}, std::pair{port, 0}}) {
    LocalHttpServer server(Options(first, attempts));
    EXPECT_FALSE(server.Start());
    EXPECT_EQ(server.Port(), 0);
  }
}

TEST(LocalHttpServerStart, TakesTheFirstFreePortOfTheRange) {
  // Two held ports, the second let go: the server skips the first and takes the second.
  std::vector<std::unique_ptr<PortHolder>> held = HoldNeighbouringPorts(2);
  ASSERT_EQ(held.size(), 2u);
  const int port = held.front()->port();
  held.pop_back();
  LocalHttpServer server(Options(port, 10));
  ASSERT_TRUE(server.Start());
  EXPECT_GT(server.Port(), port);
  EXPECT_LT(server.Port(), port + 10);
}

TEST(LocalHttpServerStart, FailsWhenEveryPortIsTaken) {
  const std::vector<std::unique_ptr<PortHolder>> held = HoldNeighbouringPorts(3);
  ASSERT_EQ(held.size(), 3u);
  LocalHttpServer server(Options(held.front()->port(), 3));
  EXPECT_FALSE(server.Start());
  EXPECT_EQ(server.Port(), 0);
}

TEST(LocalHttpServerStart, NeverProbesPastTheLastPort) {
  std::vector<std::unique_ptr<PortHolder>> holders;
  for (int port = 65530; port <= 65535; ++port) {
    holders.push_back(std::make_unique<PortHolder>(port));
    if (!holders.back()->held()) GTEST_SKIP() << "port " << port << " is in use elsewhere";
  }
  LocalHttpServer server(Options(65530, 10));
  EXPECT_FALSE(server.Start());
  EXPECT_EQ(server.Port(), 0);
}

TEST(LocalHttpServerStart, StopBeforeStartAndRestartKeepTheToken) {
  LocalHttpServerOptions options = Options(TestFirstPort() + 500, 50);
  const TempFolder ui("restart");
  WriteFile(ui / "index.html", "__TESSVARK_CSRF_TOKEN__");
  options.ui_root = ui.path();
  LocalHttpServer server(options);
  server.Stop();
  EXPECT_EQ(server.Port(), 0);
  const auto page = [&] {
    return ParseReply(Exchange(server.Port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1:" +
                                                  std::to_string(server.Port()) + "\r\n\r\n"))
        .body;
  };
  ASSERT_TRUE(server.Start());
  const int port = server.Port();
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.Port(), port);
  const std::string token = page();
  EXPECT_EQ(token.size(), 43u);
  server.Stop();
  EXPECT_EQ(server.Port(), 0);
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(page(), token);
}

TEST(GrowingThreadPool, GrowsWhileEveryThreadIsBusyAndRunsQueuedWorkOnShutdown) {
  GrowingThreadPool pool(2, 4, std::chrono::milliseconds(100));
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  bool release = false;
  std::atomic<int> done{0};
  for (int i = 0; i < 4; ++i) {
    pool.enqueue([&] {
      std::unique_lock<std::mutex> lock(mutex);
      ++running;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
      ++done;
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    // Four blocking tasks run at once: the pool grew from 2 to 4 threads.
    EXPECT_TRUE(changed.wait_for(lock, kPatience, [&] { return running == 4; }));
  }
  for (int i = 0; i < 20; ++i) pool.enqueue([&] { ++done; });
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  // The grown threads retire once idle; the pool then works on with its base threads.
  EXPECT_TRUE(WaitUntil([&] { return pool.ThreadCount() == 2; })) << pool.ThreadCount() << " threads";
  for (int i = 0; i < 10; ++i) pool.enqueue([&] { ++done; });
  pool.shutdown();
  EXPECT_EQ(done.load(), 34);
}

}  // namespace
}  // namespace tessvark::testing
