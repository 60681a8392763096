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

namespace tessvark::testing {
namespace {

// Holds a port the way another program would: bound and listening on 127.0.0.1.
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
    held_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(fd_, 1) == 0;
  }
  ~PortHolder() { close(fd_); }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

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
  const int port = TestFirstPort() + 300;
  PortHolder first(port);
  ASSERT_TRUE(first.held());
  LocalHttpServer server(Options(port, 10));
  ASSERT_TRUE(server.Start());
  EXPECT_GT(server.Port(), port);
  EXPECT_LT(server.Port(), port + 10);
}

TEST(LocalHttpServerStart, FailsWhenEveryPortIsTaken) {
  const int port = TestFirstPort() + 400;
  std::vector<std::unique_ptr<PortHolder>> holders;
  for (int i = 0; i < 3; ++i) {
    holders.push_back(std::make_unique<PortHolder>(port + i));
    ASSERT_TRUE(holders.back()->held());
  }
  LocalHttpServer server(Options(port, 3));
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
  const auto ui =
      std::filesystem::temp_directory_path() / ("tessvark-restart-" + std::to_string(getpid()));
  WriteFile(ui / "index.html", "__TESSVARK_CSRF_TOKEN__");
  options.ui_root = ui.string();
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
  std::filesystem::remove_all(ui);
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
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return running == 4; }));
  }
  for (int i = 0; i < 20; ++i) pool.enqueue([&] { ++done; });
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  // Let the extra threads retire, then use the pool again.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 10; ++i) pool.enqueue([&] { ++done; });
  pool.shutdown();
  EXPECT_EQ(done.load(), 34);
}

}  // namespace
}  // namespace tessvark::testing
