#include <gtest/gtest.h>

#include <set>
#include <string>

#include "server/server_state.h"
#include "server_fixture.h"

namespace tessvark::testing {
namespace {

class AuthorizationTest : public ServerTest {
 protected:
  void ExpectRefused(const HttpReply& reply) {
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.body, kRefusalBody);
    EXPECT_EQ(reply.Header("Content-Type"), "application/json");
    EXPECT_EQ(reply.Header("Cache-Control"), "no-store");
    // A refusal is the one reply that does not take the same-origin resource policy.
    EXPECT_EQ(reply.HeaderCount("Cross-Origin-Resource-Policy"), 0u);
    ExpectSecurityHeaders(reply);
  }
};

TEST_F(AuthorizationTest, HostHeaderMustNameThisServerOnItsPort) {
  const std::string port = std::to_string(port_);
  const std::string other = std::to_string(port_ + 1);
  struct Case {
    std::string host_lines;
    bool admitted;
  } cases[] = {
      {"Host: 127.0.0.1:" + port + "\r\n", true},
      {"Host: localhost:" + port + "\r\n", true},
      {"Host: localhost:0" + port + "\r\n", true},
      {"Host: localhost:" + port + "x\r\n", true},
      {"Host: LOCALHOST:" + port + "\r\n", false},
      {"Host: 127.0.0.1\r\n", false},
      {"Host: 127.0.0.1:" + other + "\r\n", false},
      {"Host: [::1]:" + port + "\r\n", false},
      {"Host: ::1\r\n", false},
      {"Host: attacker.example:" + port + "\r\n", false},  // DNS rebinding
      {"Host: 127.0.0.1.nip.io:" + port + "\r\n", false},
      {"Host: 127.0.0.2:" + port + "\r\n", false},
      {"Host: :" + port + "\r\n", false},
      {"Host: 127.0.0.1:\r\n", false},
      {"Host: 127.0.0.1:99999999999\r\n", false},
      {"", false},
      {"Host: 127.0.0.1:" + port + "\r\nHost: attacker.example:" + port + "\r\n", false},
      {"Host: 127.0.0.1:" + port + "\r\nHost: localhost:" + port + "\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host_lines);
    const HttpReply reply = Send("GET /api/health HTTP/1.1\r\n" + c.host_lines + "\r\n");
    if (c.admitted) {
      EXPECT_EQ(reply.status, 200);
      EXPECT_EQ(reply.body, "{\"ok\":true}");
    } else {
      ExpectRefused(reply);
    }
  }
}

TEST_F(AuthorizationTest, StateChangesNeedTheOwnOriginAndExactlyOneToken) {
  const std::string good_origin = "Origin: http://" + Authority() + "\r\n";
  const std::string token = "X-Tessvark-CSRF: " + token_ + "\r\n";
  std::string wrong_token = token_;
  wrong_token[10] = wrong_token[10] == 'A' ? 'B' : 'A';
  struct Case {
    std::string headers;
    bool admitted;
  } cases[] = {
      {good_origin + token, true},
      {"Origin: http://localhost:" + std::to_string(port_) + "\r\n" + token, true},
      {token, false},
      {good_origin, false},
      {good_origin + good_origin + token, false},
      {"Origin: http://" + Authority() + "/\r\n" + token, false},
      {"Origin: https://" + Authority() + "\r\n" + token, false},
      {"Origin: http://attacker.example\r\n" + token, false},
      {"Origin: null\r\n" + token, false},
      {good_origin + "X-Tessvark-CSRF: " + token_.substr(1) + "\r\n", false},
      {good_origin + "X-Tessvark-CSRF: " + wrong_token + "\r\n", false},
      {good_origin + token + token, false},
      {good_origin + "X-Tessvark-CSRF: \r\n", false},
  };
  for (const char* method : {"POST", "PUT", "PATCH", "DELETE"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(method) + " " + c.headers);
      const HttpReply reply = Send(Build(method, "/api/zones", c.headers));
      if (c.admitted) {
        EXPECT_NE(reply.status, 403);
      } else {
        ExpectRefused(reply);
      }
    }
  }
  // Only admitted requests reached the runtime: one POST per admitted case.
  EXPECT_EQ(runtime_.Calls().size(), 2u);
}

TEST_F(AuthorizationTest, ReadsIgnoreOriginButOptionsIsAlwaysRefused) {
  const HttpReply foreign = Send(Build("GET", "/api/zones", "Origin: http://attacker.example\r\n"));
  EXPECT_EQ(foreign.status, 200);
  ExpectRefused(Send(Build("OPTIONS", "/api/zones", PageHeaders())));
  ExpectRefused(Send(Build("OPTIONS", "*", PageHeaders())));
}

TEST_F(AuthorizationTest, PathsThatClimbOutOfTheUiRootAreNotFound) {
  const char* targets[] = {
      "/assets/../index.html",
      "/%2E%2E/secret.txt",
      "/%2e%2e/secret.txt",
      "/a%5cb",
      "/a%00",
      "/api/zones?x=a..b",
      "/..%2fsecret.txt",
      "/a\\b",
      "/../secret.txt",
  };
  for (const char* target : targets) {
    SCOPED_TRACE(target);
    const HttpReply reply = Get(target);
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, "{\"detail\":\"Not Found\"}");
    EXPECT_EQ(reply.Header("Cross-Origin-Resource-Policy"), "same-origin");
    // A refused client gets the refusal, not the 404.
    ExpectRefused(
        Send("GET " + std::string(target) + " HTTP/1.1\r\nHost: attacker.example\r\n\r\n"));
  }
  EXPECT_TRUE(runtime_.Calls().empty());
}

TEST(RequestAuthorizationUnits, LoopbackAddresses) {
  struct Case {
    const char* address;
    bool loopback;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.5", true},
      {"127.255.255.254", true},
      {"LocalHost", true},
      {"::1", true},
      {"0:0:0:0:0:0:0:1", true},
      {"::ffff:127.0.0.1", false},
      {"128.0.0.1", false},
      {"10.0.0.1", false},
      {"::2", false},
      {"", false},
      {"127.0.0.1 ", false},
      {"localhost.", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLoopbackAddress(c.address), c.loopback) << c.address;
}

TEST(RequestAuthorizationUnits, SplitHostPortReadsLikeStoi) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"localhost:28790", true, "localhost", 28790},
      {"localhost:028790", true, "localhost", 28790},
      {"localhost:28790x", true, "localhost", 28790},
      {"localhost: +80", true, "localhost", 80},
      {"[::1]:80", true, "[::1]", 80},
      {"a:b:80", true, "a:b", 80},
      {"localhost:0", true, "localhost", 0},
      {"localhost:65536", false, "", 0},
      {"localhost:-1", false, "", 0},
      {"localhost:2147483648", false, "", 0},
      {"localhost:x80", false, "", 0},
      {"localhost:", false, "", 0},
      {":80", false, "", 0},
      {"localhost", false, "", 0},
      {"[::1]80", false, "", 0},
      {"[::1", false, "", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host;
    std::int32_t port = -7;
    ASSERT_EQ(SplitHostPort(c.text, host, port), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
}

TEST(RequestAuthorizationUnits, SuspiciousPathsInAnyCase) {
  for (const char* text : {"/..", "/%2E", "/%5C", "/%00", "/a\\b", "/x?q=..", "/%2e%2E"}) {
    EXPECT_TRUE(IsSuspiciousPath(text)) << text;
  }
  for (const char* text : {"/", "/a.b/c.d", "/%2f", "/api/zones?x=1.5"}) {
    EXPECT_FALSE(IsSuspiciousPath(text)) << text;
  }
}

TEST(RequestAuthorizationUnits, CsrfTokenIsBase64UrlOf32RandomBytes) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string token = MakeCsrfToken();
    ASSERT_EQ(token.size(), 43u);
    EXPECT_EQ(token.find_first_not_of(alphabet), std::string::npos) << token;
    // 32 bytes leave 4 unused bits in the last character: it is one of every fourth letter.
    EXPECT_EQ(alphabet.find(token.back()) % 4, 0u) << token;
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 50u);
}

}  // namespace
}  // namespace tessvark::testing
