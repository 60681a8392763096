#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "outputs/vmix/vmix_http_client.h"
#include "tests/support/wait_until.h"
#include "vmix_stand_in.h"

namespace tessvark {
namespace {

using test::StandInBehaviour;
using test::StandInMode;
using test::VmixStandIn;
using testing::kPatience;

// A time-out no answer of a stand-in on loopback comes near, however busy the machine.
const double kPatientSeconds = std::chrono::duration<double>(kPatience).count();

TEST(NormalizeVmixHost, SplitsWhatUsersType) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    int port;
    const char* error;
  } cases[] = {
      {"  http://vmix-pc/ ", true, "vmix-pc", 8088, ""},
      {"https://10.0.0.5:8090//", true, "10.0.0.5", 8090, ""},
      {"10.0.0.5:8088/api", true, "10.0.0.5", 8088, ""},
      {"10.0.0.5: 8090", true, "10.0.0.5", 8090, ""},
      {"[fe80::1]", true, "fe80::1", 8088, ""},
      {"[fe80::1]:9000", true, "fe80::1", 9000, ""},
      {"[fe80::1]x", true, "fe80::1", 8088, ""},
      {"fe80::1", false, "", 0, "Invalid vMix host"},
      {"[fe80::1", false, "", 0, "Invalid vMix host"},
      {"host:0", false, "", 0, "Invalid vMix host"},
      {"host:65536", false, "", 0, "Invalid vMix host"},
      {"host:abc", false, "", 0, "Invalid vMix host"},
      {"host:", false, "", 0, "Invalid vMix host"},
      {":8088", false, "", 0, "Invalid vMix host"},
      {"host:99999999999", false, "", 0, "Invalid vMix host"},
      {"HTTP://host", false, "", 0, "Invalid vMix host"},
      {"http:/", false, "", 0, "Invalid vMix host"},
      {"http://", false, "", 0, "vMix host is required"},
      {"", false, "", 0, "vMix host is required"},
      {" \t ", false, "", 0, "vMix host is required"},
      {"http:///", false, "", 0, "vMix host is required"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const VmixHostAddress address = NormalizeVmixHost(c.text, 8088);
    EXPECT_EQ(address.ok, c.ok);
    EXPECT_EQ(address.error, c.error);
    if (c.ok) {
      EXPECT_EQ(address.host, c.host);
      EXPECT_EQ(address.port, c.port);
    }
  }
}

class VmixHttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(stand_in_.Start(error)) << error;
  }

  VmixHttpResult Get(double timeout_seconds = kPatientSeconds, const std::atomic<bool>* stop = nullptr) {
    return VmixHttpGet("127.0.0.1", stand_in_.port(), "/api/", timeout_seconds, stop);
  }

  VmixStandIn stand_in_;
};

TEST_F(VmixHttpClientTest, SendsOneFixedRequestAndReadsTheAnswer) {
  stand_in_.SetApiDocument("<vmix><version>27</version></vmix>");
  const VmixHttpResult result = VmixHttpGet(" http://127.0.0.1/", stand_in_.port(), "/api/", kPatientSeconds, nullptr);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "<vmix><version>27</version></vmix>");
  EXPECT_GT(result.elapsed_ms, 0.0);
  ASSERT_EQ(stand_in_.Requests().size(), 1u);
  EXPECT_EQ(stand_in_.Requests()[0], "GET /api/ HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(stand_in_.port()) +
                                         "\r\nAccept: application/xml,text/xml,*/*\r\nConnection: close");
}

TEST_F(VmixHttpClientTest, ScriptedAnswersGiveTheirResults) {
  StandInBehaviour not_found;
  not_found.status = 404;
  not_found.reason = "Not Found";
  not_found.body = "missing";
  StandInBehaviour bare_status;
  bare_status.status = 503;
  bare_status.reason = "";
  StandInBehaviour close_early;
  close_early.mode = StandInMode::kCloseBeforeHeaders;
  StandInBehaviour no_length;
  no_length.mode = StandInMode::kNoContentLength;
  no_length.body = "until close";
  StandInBehaviour oversized;
  oversized.mode = StandInMode::kOversizedBody;
  StandInBehaviour malformed;
  malformed.mode = StandInMode::kMalformedStatusLine;
  StandInBehaviour no_number;
  no_number.mode = StandInMode::kRaw;
  no_number.raw = "HTTP/1.1 OK\r\n\r\n";
  StandInBehaviour declared_too_large;
  declared_too_large.mode = StandInMode::kRaw;
  declared_too_large.raw = "HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\nx";
  StandInBehaviour held_open;
  held_open.keep_open = true;
  held_open.body = "5byte";
  StandInBehaviour slow;
  slow.delay_ms = 200;
  slow.body = "late";
  StandInBehaviour lower_case_length;
  lower_case_length.mode = StandInMode::kRaw;
  lower_case_length.raw = "HTTP/1.1 204 No Content\r\ncontent-length: 2\r\n\r\nokIGNORED";

  const struct {
    const char* name;
    StandInBehaviour behaviour;
    int status;
    const char* body;
    const char* error;
  } cases[] = {
      {"404 with reason", not_found, 404, "missing", "HTTP Error 404: Not Found"},
      {"503 without reason", bare_status, 503, nullptr, "HTTP Error 503"},
      {"closed before the header block ended", close_early, 0, "", "timed out"},
      {"no Content-Length", no_length, 200, "until close", ""},
      {"oversized body", oversized, 0, "", "response too large"},
      {"status line without a space", malformed, 0, "", "not well-formed"},
      {"status line without a number", no_number, 0, "", "not well-formed"},
      {"declared length above the cap", declared_too_large, 0, "", "response too large"},
      // Would end in "timed out" if reading waited for the peer to close.
      {"complete at its Content-Length", held_open, 200, "5byte", ""},
      {"answer within the time-out", slow, 200, "late", ""},
      {"lower-case content-length", lower_case_length, 204, "okIGNORED", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stand_in_.PushBehaviour(c.behaviour);
    const VmixHttpResult result = Get();
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.status, c.status);
    if (c.body != nullptr) {
      EXPECT_EQ(result.body, c.body);
    }
  }
}

TEST_F(VmixHttpClientTest, AnswerOfExactlyTheCapIsAccepted) {
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  StandInBehaviour exact;
  exact.mode = StandInMode::kRaw;
  exact.raw = head + std::string(1048576 - head.size(), 'b');
  stand_in_.PushBehaviour(exact);
  VmixHttpResult result = Get();
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.body.size(), 1048576 - head.size());

  exact.raw += "b";
  stand_in_.PushBehaviour(exact);
  result = Get();
  EXPECT_EQ(result.error, "response too large");
}

TEST_F(VmixHttpClientTest, SilentPeerTimesOutAndStopFlagEndsTheWait) {
  StandInBehaviour silent;
  silent.mode = StandInMode::kNeverAnswer;
  stand_in_.SetDefaultBehaviour(silent);
  EXPECT_EQ(Get(0.3).error, "timed out");

  // The stop comes while the request waits at the silent peer, long before its time-out.
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    stand_in_.WaitForRequests(2, kPatience);
    stop = true;
  });
  const VmixHttpResult stopped = Get(10 * kPatientSeconds, &stop);
  stopper.join();
  EXPECT_EQ(stopped.error, "stopped");
  EXPECT_EQ(stopped.status, 0);
}

TEST(VmixHttpClient, BracketedIpv6HostKeepsItsBracketsInTheHostHeader) {
  VmixStandIn stand_in("::1");
  std::string error;
  if (!stand_in.Start(error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  const std::string port = std::to_string(stand_in.port());
  const VmixHttpResult result = VmixHttpGet("[::1]:" + port, 1, "/api/", kPatientSeconds, nullptr);
  EXPECT_EQ(result.error, "");
  ASSERT_EQ(stand_in.Requests().size(), 1u);
  EXPECT_NE(stand_in.Requests()[0].find("\r\nHost: [::1]:" + port + "\r\n"), std::string::npos);
}

TEST(VmixHttpClient, ClosedPortIsRefusedAndEmptyHostOpensNothing) {
  // A port that was free a moment ago; nothing listens on it.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);

  const VmixHttpResult refused = VmixHttpGet("127.0.0.1", ntohs(address.sin_port), "/api/", 1.0, nullptr);
  EXPECT_EQ(refused.error, "Connection refused");
  EXPECT_EQ(refused.status, 0);

  const VmixHttpResult empty = VmixHttpGet("  ", 8088, "/api/", 1.0, nullptr);
  EXPECT_EQ(empty.error, "vMix host is required");
  EXPECT_GE(empty.elapsed_ms, 0.0);
}

}  // namespace
}  // namespace tessvark
