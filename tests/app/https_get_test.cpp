// HTTPS GET against a test server on 127.0.0.1 whose certificate a test authority signed.
#include "platform/https_get.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/temp_folder.h"
#include "update_test_server.h"

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::kTestUpdateHost;
using testing::ScriptedReply;
using testing::ScriptedUpdateServer;
using testing::TempFolder;
using testing::TestCertificateAuthority;

class HttpsGetTest : public ::testing::Test {
 protected:
  HttpsRequest Request(const std::string& path) const {
    HttpsRequest request;
    request.host = kTestUpdateHost;
    request.port = server_.port();
    request.path = path;
    request.connect_address = "127.0.0.1";
    request.ca_file = authority_.ca_file();
    return request;
  }

  TempFolder folder_;
  TestCertificateAuthority authority_{folder_.path(), "trusted", {kTestUpdateHost}};
  ScriptedUpdateServer server_{authority_};
};

TEST_F(HttpsGetTest, OnlyA200BodyWithinTheLimitCounts) {
  const std::string limit_body(5000, 'x');
  struct Case {
    const char* what;
    ScriptedReply reply;
    bool ok;
  } cases[] = {
      {"exactly the limit", {200, limit_body}, true},
      {"exactly the limit, chunked", ScriptedReply(200, limit_body).Chunked(), true},
      {"one byte over, declared", {200, limit_body + "y"}, false},
      {"one byte over, chunked", ScriptedReply(200, limit_body + "y").Chunked(), false},
      {"far over, chunked", ScriptedReply(200, std::string(200000, 'z')).Chunked(), false},
      {"short body", {200, "abc"}, true},
      {"empty body", {200, ""}, true},
      {"redirect", ScriptedReply(301).WithHeader("Location", "/updates/target"), false},
      {"not found", {404, "missing"}, false},
      {"server error", {500, limit_body}, false},
  };
  server_.Serve("/updates/target", {200, "redirected"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.Serve("/updates/file", c.reply);
    std::string body = "left over";
    EXPECT_EQ(HttpsGet(Request("/updates/file"), limit_body.size(), body), c.ok);
    if (c.ok) {
      EXPECT_EQ(body, c.reply.body);
    }
  }
  EXPECT_EQ(server_.Hits("/updates/target"), 0) << "a redirect is never followed";
}

TEST_F(HttpsGetTest, CertificateChainAndNameAreChecked) {
  server_.Serve("/updates/file", {200, "body"});
  TestCertificateAuthority stranger(folder_.path(), "stranger", {kTestUpdateHost});
  struct Case {
    const char* what;
    std::string host;
    std::string ca_file;
    bool ok;
  } cases[] = {
      {"its own authority and name", kTestUpdateHost, authority_.ca_file(), true},
      {"the address it names", "127.0.0.1", authority_.ca_file(), true},
      {"another authority", kTestUpdateHost, stranger.ca_file(), false},
      {"the system's authorities", kTestUpdateHost, "", false},
      {"a name it does not carry", std::string("www.") + kTestUpdateHost, authority_.ca_file(),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HttpsRequest request = Request("/updates/file");
    request.host = c.host;
    request.ca_file = c.ca_file;
    std::string body;
    EXPECT_EQ(HttpsGet(request, 100, body), c.ok);
    EXPECT_EQ(body == "body", c.ok);
  }
}

TEST_F(HttpsGetTest, ClosedPortAndMalformedRequestsFail) {
  // A port that was just free: bound, never listened on, closed.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  HttpsRequest closed = Request("/updates/file");
  closed.port = ntohs(address.sin_port);
  std::string body;
  EXPECT_FALSE(HttpsGet(closed, 100, body));

  HttpsRequest no_path = Request("");
  EXPECT_FALSE(HttpsGet(no_path, 100, body));
  HttpsRequest no_host = Request("/updates/file");
  no_host.host.clear();
  EXPECT_FALSE(HttpsGet(no_host, 100, body));
  EXPECT_EQ(server_.Hits("/updates/file"), 0);
}

}  // namespace
}  // namespace tessvark
