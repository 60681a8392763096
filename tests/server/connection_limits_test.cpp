// Hostile local clients: connections that send slowly, too much, or never finish, must neither
// hold the server's workers nor keep it from stopping.

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/server_state.h"
#include "server_fixture.h"
#include "tests/support/wait_until.h"

namespace tessvark::testing {
namespace {

using std::chrono::milliseconds;

constexpr char kLateDetail[] = "{\"detail\":\"The request did not arrive in time.\"}";

// Connections that each send one more byte or line every `interval` until stopped, from a thread
// of their own, as a client on a slow or hostile link would.
class Drippers {
 public:
  Drippers(int port, int count, const std::string& opening, std::string drop,
           milliseconds interval)
      : drop_(std::move(drop)) {
    for (int i = 0; i < count; ++i) {
      connections_.push_back(std::make_unique<RawConnection>(port));
      connections_.back()->Send(opening);
    }
    thread_ = std::thread([this, interval] {
      while (!stop_.load()) {
        for (auto& connection : connections_) connection->Send(drop_);
        for (auto end = std::chrono::steady_clock::now() + interval;
             !stop_.load() && std::chrono::steady_clock::now() < end;) {
          std::this_thread::sleep_for(milliseconds(10));
        }
      }
    });
  }
  ~Drippers() { Stop(); }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  bool AllConnected() const {
    for (const auto& connection : connections_) {
      if (!connection->connected()) return false;
    }
    return true;
  }

 private:
  const std::string drop_;
  std::vector<std::unique_ptr<RawConnection>> connections_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Requests get 300 ms to arrive.
class ShortDeadlineTest : public ServerTest {
 protected:
  void Configure(LocalHttpServerOptions& options) override {
    options.request_deadline_seconds = 0.3;
  }
};

// Requests may take far longer to arrive than any test waits, so that a connection a slow client
// holds is never ended by its deadline while a test looks: a server whose workers such clients
// hold answers never, not merely late.
class PatientDeadlineTest : public ServerTest {
 protected:
  void Configure(LocalHttpServerOptions& options) override {
    options.request_deadline_seconds = 100.0 * std::chrono::duration<double>(kPatience).count();
  }
};

using ConnectionLimitsTest = ServerTest;

TEST_F(PatientDeadlineTest, StopReturnsWhileClientsDripHeadsOrBodies) {
  // A header line each 200 ms, and an authorized body a byte each 200 ms: every single read
  // succeeds long before any read time-out.
  const std::string body_head = "PUT /api/display-format HTTP/1.1\r\nHost: " + Authority() +
                                "\r\n" + PageHeaders() + "Content-Length: 200000\r\n\r\n{";
  Drippers heads(port_, 4, "GET / HTTP/1.1\r\n", "X-Slow: 1\r\n", milliseconds(200));
  Drippers bodies(port_, 4, body_head, " ", milliseconds(200));
  ASSERT_TRUE(heads.AllConnected());
  ASSERT_TRUE(bodies.AllConnected());
  ASSERT_TRUE(WaitUntil([this] { return server_->StreamedBodies() == 4; }))
      << server_->StreamedBodies() << " bodies reached their workers";
  auto stopped = std::async(std::launch::async, [this] { server_->Stop(); });
  EXPECT_EQ(stopped.wait_for(kPatience), std::future_status::ready)
      << "Stop waited for clients that never finish";
  // So that a Stop that waits for its clients still ends.
  heads.Stop();
  bodies.Stop();
}

// Replies being written get all the time a loaded machine needs once Stop begins.
class PatientStopTest : public ServerTest {
 protected:
  void Configure(LocalHttpServerOptions& options) override {
    options.stop_grace_seconds = std::chrono::duration<double>(kPatience).count();
  }
};

// A runtime whose status call goes on until Stop has ended the input of the connection it
// serves, so that its reply is made while the server stops.
class HeldRuntime : public FakeRuntime {
 public:
  RuntimeResponse GetStatus() override {
    entered.store(true);
    pollfd input{ServedSocket(), POLLRDHUP, 0};
    input_ended.store(poll(&input, 1, static_cast<int>(kPatience.count())) == 1 &&
                      (input.revents & POLLRDHUP) != 0);
    return FakeRuntime::GetStatus();
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> input_ended{false};
};

TEST_F(PatientStopTest, ReplyBeingMadeWhenStopBeginsStillReachesItsClient) {
  // As the update installation does: the request that makes the program quit gets its answer.
  HeldRuntime held;
  server_->SetRuntime(&held);
  auto answer = std::async(std::launch::async,
                           [this] { return ParseReply(Exchange(port_, Build("GET", "/api/status"))); });
  ASSERT_TRUE(WaitUntil([&] { return held.entered.load(); }));
  server_->Stop();
  const HttpReply reply = answer.get();
  EXPECT_TRUE(held.input_ended.load()) << "the reply was made before Stop reached its connection";
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{\"fake\":true}");
}

TEST_F(ShortDeadlineTest, RequestThatDoesNotArriveInTimeGets408AndIsClosed) {
  const std::string put = "PUT /api/display-format HTTP/1.1\r\nHost: " + Authority() + "\r\n" +
                          PageHeaders();
  struct Case {
    const char* what;
    std::string opening;
  };
  const std::vector<Case> cases = {
      {"head never ends", "GET /api/health HTTP/1.1\r\nHost: " + Authority() + "\r\n"},
      {"small body never ends", put + "Content-Length: 20\r\n\r\n{\"a\""},
      {"large body never ends", put + "Content-Length: 200000\r\n\r\n{\"a\""},
  };
  for (const Case& c : cases) {
    // The client keeps sending, so no single read ever waits long: only a deadline for the
    // whole request ends it.
    RawConnection connection(port_);
    ASSERT_TRUE(connection.connected()) << c.what;
    connection.Send(c.opening);
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (connection.received().empty() && std::chrono::steady_clock::now() < limit) {
      connection.Send("X");
      connection.ReadUntil("\r\n\r\n", milliseconds(50));
    }
    EXPECT_TRUE(connection.ReadToEnd(kPatience)) << c.what << ": the connection stays open";
    const HttpReply reply = ParseReply(connection.received());
    EXPECT_EQ(reply.status, 408) << c.what;
    EXPECT_EQ(reply.body, kLateDetail) << c.what;
    ExpectSecurityHeaders(reply);
  }
  EXPECT_EQ(runtime_.Calls().size(), 0u) << "no late request reached the runtime";
}

TEST_F(PatientDeadlineTest, InterfaceIsAnsweredBesideManyDrippingConnections) {
  const Drippers drippers(port_, 300, "GET / HTTP/1.1\r\nHost: " + Authority() + "\r\n",
                          "X-Slow: 1\r\n", milliseconds(500));
  ASSERT_TRUE(drippers.AllConnected());
  for (int i = 0; i < 5; ++i) {
    // Answered at once beside the drippers; a server whose workers they hold answers late or
    // never.
    const HttpReply reply = ParseReply(Exchange(port_, Build("GET", "/api/health"), kPatience));
    EXPECT_EQ(reply.status, 200) << "request " << i;
    EXPECT_EQ(reply.body, "{\"ok\":true}") << "request " << i;
  }
}

TEST_F(PatientDeadlineTest, SlowBodiesTakeAtMostSixteenWorkers) {
  const std::string large = "PUT /api/display-format HTTP/1.1\r\nHost: " + Authority() + "\r\n" +
                            PageHeaders() + "Content-Length: 200000\r\n\r\n{";
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 16; ++i) {
    slow.push_back(std::make_unique<RawConnection>(port_));
    ASSERT_TRUE(slow.back()->Send(large));
  }
  ASSERT_TRUE(WaitUntil([this] { return server_->StreamedBodies() == 16; }))
      << server_->StreamedBodies() << " bodies reached their workers";
  const HttpReply refused = ParseReply(Exchange(port_, large, kPatience));
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "{\"detail\":\"The local server is busy.\"}");
  ExpectSecurityHeaders(refused);
  // The interface's own small bodies arrive whole and still find a worker.
  const HttpReply saved = Change("PUT", "/api/display-format", "{\"x\":1}");
  EXPECT_EQ(saved.status, 200);
  EXPECT_EQ(runtime_.Calls().back(), "HandleDisplayFormat|PUT|/api/display-format|{\"x\":1}");
}

// What a request that frames its body with neither Content-Length nor Transfer-Encoding gets. The
// clients keep their connections open: only an answer that waits for nothing more comes back.
TEST_F(ConnectionLimitsTest, RequestWithoutFramingHasNoBodyOrIsRefused) {
  struct Case {
    const char* what;
    std::string request;
    int status;
    const char* call;  // what reached the runtime; null: nothing
  };
  const std::vector<Case> cases = {
      {"PUT", BuildUnframed("PUT", "/api/display-format", PageHeaders()) + "{", 411, nullptr},
      {"POST", BuildUnframed("POST", "/api/zones", PageHeaders()) + "{\"role\"", 411, nullptr},
      {"PATCH", BuildUnframed("PATCH", "/api/zones/a", PageHeaders()), 411, nullptr},
      {"DELETE, bytes after its head", BuildUnframed("DELETE", "/api/zones/a", PageHeaders()) + "{",
       200, "DeleteZone|a"},
      {"PUT with an empty body", Build("PUT", "/api/display-format", PageHeaders()), 200,
       "HandleDisplayFormat|PUT|/api/display-format|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t calls_before = runtime_.Calls().size();
    RawConnection connection(port_);
    ASSERT_TRUE(connection.Send(c.request));
    EXPECT_TRUE(connection.ReadToEnd(kPatience)) << "no answer while the client stays";
    const HttpReply reply = ParseReply(connection.received());
    EXPECT_EQ(reply.status, c.status);
    ExpectSecurityHeaders(reply);
    const std::vector<std::string> calls = runtime_.Calls();
    if (c.call == nullptr) {
      EXPECT_EQ(reply.body, "{\"detail\":\"A request body needs a Content-Length.\"}");
      EXPECT_EQ(calls.size(), calls_before);
    } else {
      ASSERT_EQ(calls.size(), calls_before + 1);
      EXPECT_EQ(calls.back(), c.call);
    }
  }
}

TEST_F(PatientDeadlineTest, InterfaceIsAnsweredBesideManyBodiesWithoutALength) {
  // Each client sends an authorized head with no framing and the start of a body, then stays.
  std::vector<std::unique_ptr<RawConnection>> unframed;
  for (int i = 0; i < 200; ++i) {
    unframed.push_back(std::make_unique<RawConnection>(port_));
    ASSERT_TRUE(unframed.back()->Send(
        BuildUnframed("PUT", "/api/display-format", PageHeaders()) + "{"));
  }
  for (int i = 0; i < 5; ++i) {
    // A server whose workers read those bodies until their clients go answers late or never.
    const HttpReply reply = ParseReply(Exchange(port_, Build("GET", "/api/health"), kPatience));
    EXPECT_EQ(reply.status, 200) << "request " << i;
  }
  for (auto& connection : unframed) {
    ASSERT_TRUE(connection->ReadToEnd(kPatience));
    EXPECT_EQ(ParseReply(connection->received()).status, 411);
  }
  EXPECT_EQ(runtime_.Calls().size(), 0u);
}

TEST_F(ConnectionLimitsTest, OversizedHeadsGet431BeforeTheyAreParsed) {
  auto lines = [](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "X-Line-" + std::to_string(i) + ": v\r\n";
    return text;
  };
  struct Case {
    const char* what;
    std::string extra_headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"100 header lines", lines(99), 200},  // with Host
      {"101 header lines", lines(100), 431},
      {"one line over 64 KiB", "X-Big: " + std::string(66000, 'a') + "\r\n", 431},
      {"head over 64 KiB in lines of 8 KiB", [] {
         std::string text;
         for (int i = 0; i < 9; ++i) text += "X-Part: " + std::string(8000, 'b') + "\r\n";
         return text;
       }(), 431},
  };
  for (const Case& c : cases) {
    const HttpReply reply = Send(Build("GET", "/api/health", c.extra_headers));
    EXPECT_EQ(reply.status, c.status) << c.what;
    if (c.status == 431) {
      EXPECT_EQ(reply.body, "{\"detail\":\"Request header fields are too large.\"}") << c.what;
      ExpectSecurityHeaders(reply);
    }
  }
}

TEST_F(ConnectionLimitsTest, HeadThatNeverEndsIsRefusedOnceOverTheLimit) {
  // A flood of header lines with no end: the answer comes while the client still sends.
  RawConnection connection(port_);
  ASSERT_TRUE(connection.Send("GET / HTTP/1.1\r\nHost: " + Authority() + "\r\n"));
  const std::string block(4096, 'h');
  for (int i = 0; i < 64 && connection.received().empty(); ++i) {
    if (!connection.Send("X-Flood: " + block + "\r\n")) break;
    connection.ReadUntil("\r\n\r\n", milliseconds(1));
  }
  EXPECT_TRUE(connection.ReadUntil("\r\n\r\n", kPatience));
  EXPECT_EQ(ParseReply(connection.received()).status, 431);
}

void IgnoreSignal(int) {}

TEST_F(ShortDeadlineTest, ClientFinishesItsRequestThroughASignalStorm) {
  // A handler without SA_RESTART, as libFuzzer's watchdog installs: every blocking call of the
  // client may return EINTR.
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = IgnoreSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t target = pthread_self();
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::thread storm([&] {
    while (!done.load()) {
      pthread_kill(target, SIGUSR1);
      sent.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Heads that never end: each answer is the 408 after 300 ms, so the client waits through many
  // signals. It asks again until the storm has sent a hundred, however slowly the storm runs.
  std::vector<int> late_statuses;
  const auto limit = std::chrono::steady_clock::now() + kPatience;
  while (sent.load() <= 100 && std::chrono::steady_clock::now() < limit) {
    const std::string raw = Exchange(port_, "GET /api/health HTTP/1.1\r\nHost: " + Authority() +
                                                "\r\n", kPatience);
    late_statuses.push_back(ParseReply(raw).status);
  }
  const HttpReply reply = ParseReply(Exchange(port_, Build("GET", "/api/health"), kPatience));
  done.store(true);
  storm.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GT(sent.load(), 100);
  EXPECT_EQ(late_statuses, std::vector<int>(late_statuses.size(), 408));
  EXPECT_FALSE(late_statuses.empty());
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{\"ok\":true}");
}

}  // namespace
}  // namespace tessvark::testing
