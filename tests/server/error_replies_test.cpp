#include <gtest/gtest.h>

#include <string>

#include "server/server_state.h"
#include "server_fixture.h"

namespace tessvark::testing {
namespace {

constexpr char kUnavailable[] =
    "{\"detail\":\"This local function is not available in the native prototype.\"}";
constexpr char kNotAllowed[] = "{\"detail\":\"Method Not Allowed\"}";
constexpr char kNotFound[] = "{\"detail\":\"Not Found\"}";

class ErrorRepliesTest : public ServerTest {};

TEST_F(ErrorRepliesTest, MissingRoutesAreToldApart) {
  server_->SetRuntime(nullptr);
  struct Case {
    const char* method;
    const char* target;
    int status;
    const char* body;
  } cases[] = {
      {"GET", "/docs", 503, kUnavailable},
      {"POST", "/docs", 405, kNotAllowed},
      {"HEAD", "/openapi.json", 503, ""},
      {"GET", "/api/clock/read", 503, kUnavailable},
      {"GET", "/value/home", 503, kUnavailable},
      {"POST", "/value/home", 405, kNotAllowed},
      {"GET", "/api/zones/z1/read", 503, kUnavailable},
      {"GET", "/api/zones/z1/slot-preview", 404, kNotFound},
      {"GET", "/api/zones/z1", 405, kNotAllowed},
      {"GET", "/api/zones/./read", 404, kNotFound},
      {"DELETE", "/api/status", 405, kNotAllowed},
      {"POST", "/api/version", 405, kNotAllowed},
      {"PUT", "/", 405, kNotAllowed},
      {"POST", "/api/sources/example/example-1/image", 405, kNotAllowed},
      {"GET", "/api/sources/example/image", 404, kNotFound},
      {"GET", "/nothing", 404, kNotFound},
      {"PATCH", "/nothing", 404, kNotFound},
      {"PATCH", "/api/zones/z1", 405, kNotAllowed},
      // Runtime routes while no runtime is attached.
      {"GET", "/api/zones", 503, kUnavailable},
      {"PUT", "/api/zones/z1", 503, kUnavailable},
      {"GET", "/api/zones/z1/crop", 503, kUnavailable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const std::string headers =
        std::string(c.method) == "GET" || std::string(c.method) == "HEAD" ? "" : PageHeaders();
    const HttpReply reply = Send(Build(c.method, c.target, headers));
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.body);  // HEAD replies carry no body
    if (c.status != 503 || std::string(c.method) != "HEAD") {
      EXPECT_EQ(reply.Header("Content-Type"), "application/json");
    }
    EXPECT_EQ(reply.Header("Cross-Origin-Resource-Policy"), "same-origin");
    ExpectSecurityHeaders(reply);
  }
}

TEST_F(ErrorRepliesTest, AnEscapingExceptionBecomesA500) {
  runtime_.throw_on_call = true;
  for (const auto& [method, target] : {std::pair<const char*, const char*>{"GET", "/api/zones"},
                                       {"PUT", "/api/zones/z1"},
                                       {"GET", "/api/zones/z1/crop"},
                                       {"GET", "/preview"}}) {
    SCOPED_TRACE(target);
    const HttpReply reply =
        Send(Build(method, target, std::string(method) == "GET" ? "" : PageHeaders(), "{}"));
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "{\"detail\":\"Internal Server Error\"}");
    ExpectSecurityHeaders(reply);
  }
  // The server is still serving.
  EXPECT_EQ(Get("/api/health").status, 200);
}

TEST_F(ErrorRepliesTest, MalformedRequestsGetJsonOrTheRefusal) {
  // The library answers a method it does not route with a bare 400.
  const HttpReply unrouted = Send(Build("TRACE", "/api/health"));
  EXPECT_EQ(unrouted.status, 400);
  EXPECT_EQ(unrouted.body, "{\"detail\":\"Bad Request\"}");
  ExpectSecurityHeaders(unrouted);

  // A request line it cannot read leaves the headers unread: no Host, so the refusal.
  for (const char* line : {"BREW /api/health HTTP/1.1", "GET /api/health HTTP/1.1 extra",
                           "GET /api/health HTTP/2.0"}) {
    SCOPED_TRACE(line);
    const HttpReply malformed = Send(std::string(line) + "\r\nHost: " + Authority() + "\r\n\r\n");
    EXPECT_EQ(malformed.status, 403);
    EXPECT_EQ(malformed.body, kRefusalBody);
    EXPECT_EQ(malformed.HeaderCount("Cross-Origin-Resource-Policy"), 0u);
    ExpectSecurityHeaders(malformed);
  }

  const HttpReply pri =
      Send(BuildUnframed("PRI", "/", "Transfer-Encoding: chunked\r\n") + "ffffff\r\n");
  EXPECT_EQ(pri.status, 400);
}

// Odd but well-formed requests are answered and leave the server serving.
TEST_F(ErrorRepliesTest, RangeRequestsDoNotUpsetAnyReply) {
  server_->SetStateAvailable(true);
  for (const char* range : {"bytes=0-5", "bytes=0-5,10-20", "bytes=-5", "bytes=100-", "bytes=5-1",
                            "bytes=99999999999999999999-", "bytes=0-0,0-0,0-0,0-0", "lines=1-2"}) {
    SCOPED_TRACE(range);
    const std::string header = std::string("Range: ") + range + "\r\n";
    for (const char* target : {"/api/health", "/", "/api/ui/state/stream"}) {
      RawConnection connection(port_);
      connection.Send(Build("GET", target, header));
      connection.ReadUntil("\r\n\r\n", kPatience);
      EXPECT_NE(ParseReply(connection.received()).status, 0) << target;
    }
  }
  EXPECT_EQ(Get("/api/health").status, 200);
}

TEST(SecurityHeaders, CrossOriginHeadersAreRemovedAndMarkerTurnsOffResourcePolicy) {
  httplib::Response res;
  for (const char* name : {"Access-Control-Allow-Origin", "access-control-allow-credentials",
                           "Access-Control-Allow-Methods", "Access-Control-Allow-Headers",
                           "Access-Control-Expose-Headers", "Access-Control-Allow-Private-Network",
                           "ACCESS-CONTROL-MAX-AGE", "Access-Control-Allow-Origin"}) {
    res.set_header(name, "*");
  }
  res.set_header("Access-Control-Request-Method", "kept");
  AddSecurityHeaders(res);
  EXPECT_EQ(res.headers.size(), 6u);
  EXPECT_EQ(res.get_header_value("Access-Control-Request-Method"), "kept");
  EXPECT_EQ(res.get_header_value("Cross-Origin-Resource-Policy"), "same-origin");

  httplib::Response refused;
  RejectLocalRequest(refused);
  AddSecurityHeaders(refused);
  EXPECT_FALSE(refused.has_header("x-tessvark-trust-rejection"));
  EXPECT_FALSE(refused.has_header("Cross-Origin-Resource-Policy"));
  EXPECT_EQ(refused.get_header_value("X-Frame-Options"), "DENY");
}

TEST(ErrorReplyUnits, LegacyZoneRoutes) {
  struct Case {
    const char* method;
    const char* path;
    bool legacy;
  } cases[] = {
      {"GET", "/value/home", true},
      {"GET", "/value/", false},
      {"GET", "/value/a/b", false},
      {"PUT", "/api/zones/z1", true},
      {"DELETE", "/api/zones/z1", true},
      {"GET", "/api/zones/z1", false},
      {"PUT", "/api/zones/..", false},
      {"GET", "/api/zones/z1/crop", true},
      {"GET", "/api/zones/z1/clock-read", true},
      {"GET", "/api/zones/z1/slot-preview/3", true},
      {"GET", "/api/zones/z1/slot-preview/", false},
      {"GET", "/api/zones/z1/other", false},
      {"PUT", "/api/zones/z1/read", false},
      {"GET", "/api/zones//read", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsLegacyZoneRoute(c.method, c.path), c.legacy) << c.method << " " << c.path;
  }
  EXPECT_TRUE(IsExampleImagePath("/api/sources/example/x/image"));
  EXPECT_FALSE(IsExampleImagePath("/api/sources/example//image"));
  EXPECT_FALSE(IsExampleImagePath("/api/sources/example/image"));
}

}  // namespace
}  // namespace tessvark::testing
