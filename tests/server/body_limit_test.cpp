#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "server_fixture.h"

namespace tessvark::testing {
namespace {

constexpr std::size_t kLimit = 1048576;
constexpr char kTooLarge[] = "{\"detail\":\"Request body is too large.\"}";

std::string Chunked(const std::string& body, std::size_t chunk_size) {
  std::string out;
  for (std::size_t pos = 0; pos < body.size(); pos += chunk_size) {
    const std::string chunk = body.substr(pos, chunk_size);
    char size[32];
    std::snprintf(size, sizeof(size), "%zx\r\n", chunk.size());
    out += size + chunk + "\r\n";
  }
  return out + "0\r\n\r\n";
}

class BodyLimitTest : public ServerTest {
 protected:
  std::size_t CreateZoneBodySize() {
    const auto calls = runtime_.Calls();
    if (calls.empty()) return 0;
    return calls.back().size() - std::string("CreateZone|").size();
  }
};

TEST_F(BodyLimitTest, DeclaredLengthAtTheLimitPassesAndOneMoreIs413) {
  const HttpReply at_limit = Change("POST", "/api/zones", std::string(kLimit, 'a'));
  EXPECT_EQ(at_limit.status, 200);
  EXPECT_EQ(CreateZoneBodySize(), kLimit);

  // Only the header is sent: the refusal must not wait for the body.
  const HttpReply over =
      Send(BuildUnframed("POST", "/api/zones",
                         PageHeaders() + "Content-Length: " + std::to_string(kLimit + 1) + "\r\n"));
  EXPECT_EQ(over.status, 413);
  EXPECT_EQ(over.body, kTooLarge);
  ExpectSecurityHeaders(over);
  const HttpReply huge = Send(BuildUnframed(
      "PUT", "/api/zones/z1", PageHeaders() + "Content-Length: 99999999999999999999999\r\n"));
  EXPECT_EQ(huge.status, 413);
  EXPECT_EQ(runtime_.Calls().size(), 1u);
}

TEST_F(BodyLimitTest, ChunkedBodiesAreLimitedToo) {
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  const HttpReply small = Send(BuildUnframed("POST", "/api/zones", PageHeaders() + chunked) +
                               Chunked("{\"id\":\"z1\"}", 4));
  EXPECT_EQ(small.status, 200);
  ASSERT_EQ(runtime_.Calls().size(), 1u);
  EXPECT_EQ(runtime_.Calls()[0], "CreateZone|{\"id\":\"z1\"}");

  for (const char* target : {"/api/zones", "/api/v1/outputs/vmix/test", "/nothing/here"}) {
    SCOPED_TRACE(target);
    const HttpReply over = Send(BuildUnframed("POST", target, PageHeaders() + chunked) +
                                Chunked(std::string(kLimit + 1, 'b'), 65536));
    EXPECT_EQ(over.status, target == std::string("/nothing/here") ? 404 : 413);
    if (over.status == 413) {
      EXPECT_EQ(over.body, kTooLarge);
    }
  }
  EXPECT_EQ(runtime_.Calls().size(), 1u);
}

// A body without length or chunks would last until the connection ends: it is refused before a
// byte of it is read.
TEST_F(BodyLimitTest, UnframedBodyIsRefusedUnread) {
  RawConnection connection(port_);
  ASSERT_TRUE(connection.Send(BuildUnframed("PUT", "/api/source", PageHeaders()) +
                              std::string(kLimit + 10, 'c')));
  connection.ReadToEnd(kPatience);
  const HttpReply reply = ParseReply(connection.received());
  EXPECT_EQ(reply.status, 411);
  EXPECT_TRUE(runtime_.Calls().empty());
}

TEST_F(BodyLimitTest, CompressedBodyIsLimitedAfterDecompression) {
  const std::string plain(8 * kLimit, '{');
  uLongf size = compressBound(plain.size());
  std::string packed(size, '\0');
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
                      reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 9),
            Z_OK);
  packed.resize(size);
  ASSERT_LT(packed.size(), kLimit);
  const HttpReply reply =
      Send(Build("POST", "/api/zones", PageHeaders() + "Content-Encoding: deflate\r\n", packed));
  EXPECT_EQ(reply.status, 413);
  EXPECT_TRUE(runtime_.Calls().empty());
}

// A form upload carries no JSON text: its parts are counted against the limit, and the operation
// gets an empty body.
TEST_F(BodyLimitTest, FormUploadsGiveAnEmptyBodyWithinTheLimit) {
  const std::string form_type = "Content-Type: multipart/form-data; boundary=XyZ\r\n";
  const auto form = [](const std::string& content) {
    return "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" + content +
           "\r\n--XyZ--\r\n";
  };
  const HttpReply small = Send(Build("POST", "/api/zones", PageHeaders() + form_type, form("{}")));
  EXPECT_EQ(small.status, 200);
  ASSERT_EQ(runtime_.Calls().size(), 1u);
  EXPECT_EQ(runtime_.Calls()[0], "CreateZone|");
  const HttpReply over =
      Send(BuildUnframed("POST", "/api/zones",
                         PageHeaders() + form_type + "Transfer-Encoding: chunked\r\n") +
           Chunked(form(std::string(kLimit + 1, 'f')), 65536));
  EXPECT_EQ(over.status, 413);
  EXPECT_EQ(runtime_.Calls().size(), 1u);
}

TEST_F(BodyLimitTest, NonNumericContentLengthCountsAsNoBody) {
  const HttpReply reply =
      Send(BuildUnframed("PUT", "/api/zones/order", PageHeaders() + "Content-Length: abc\r\n"));
  EXPECT_EQ(reply.status, 200);
  ASSERT_EQ(runtime_.Calls().size(), 1u);
  EXPECT_EQ(runtime_.Calls()[0], "ReorderZones|");
}

// A request turned away before routing leaves its body unread. The connection must end with the
// reply, so that the body can never be read as a request of its own.
TEST_F(BodyLimitTest, AnUnreadBodyNeverBecomesARequest) {
  const std::string smuggled = Build("DELETE", "/api/source", PageHeaders());
  const std::string keep_alive = "Connection: keep-alive\r\n";
  const std::string requests[] = {
      // Refused: no token; the body holds an authorized request.
      Build("POST", "/api/zones", keep_alive, smuggled),
      // Refused by its Host.
      "POST /api/zones HTTP/1.1\r\nHost: attacker.example\r\n" + keep_alive +
          "Content-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled,
      // A GET, whose body the library never reads.
      Build("GET", "/api/health", keep_alive, smuggled),
      // Declared over the limit.
      BuildUnframed("POST", "/api/zones",
                    PageHeaders() + keep_alive + "Content-Length: 2000000\r\n") +
          smuggled,
      // A suspicious path.
      Build("POST", "/../x", PageHeaders() + keep_alive, smuggled),
      // A route that takes no body.
      Build("POST", "/api/sports/catalog/apply", PageHeaders() + keep_alive, smuggled),
      // Two requests back to back.
      Build("GET", "/api/health", keep_alive) + smuggled,
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request.substr(0, 60));
    const std::string raw = Exchange(port_, request);
    EXPECT_EQ(CountStatusLines(raw), 1u) << raw;
    EXPECT_EQ(ParseReply(raw).Header("Connection"), "close");
  }
  for (const std::string& call : runtime_.Calls()) EXPECT_NE(call, "ClearSource");
}

}  // namespace
}  // namespace tessvark::testing
