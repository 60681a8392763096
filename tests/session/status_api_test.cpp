// GET /api/status of a started session: no source, the Example still and an NDI receiver in
// each of its link situations.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "scripted_ndi_runtime.h"

namespace tessvark {
namespace {

using testing::ReceiverSession;

void ExpectPieces(const std::string& body, const std::vector<std::string>& pieces) {
  for (const std::string& piece : pieces) {
    EXPECT_NE(body.find(piece), std::string::npos) << piece << " in " << body;
  }
}

TEST(StatusApi, WithoutSourceWaits) {
  ReceiverSession run("status-none");
  ASSERT_TRUE(run.Start("", ""));
  const testing::ApiReply reply = run.api->Get("/api/status");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.content_type, "application/json");
  ExpectPieces(reply.body,
               {R"({"running":true,"source_type":"none","source_id":null,"source_name":null,)"
                R"("selected_source_id":null,"selected_source_name":null,"source_discovered":false,)"
                R"("source_online":false,"receiver_state":"no_source","resolution":null,)",
                R"("source_format":null,)", R"("error":null,"ndi":false,"status":"waiting")"});
}

TEST(StatusApi, ExampleStillIsOnlineWithItsSize) {
  ReceiverSession run("status-still");
  ASSERT_TRUE(run.Start("example", "example-2"));
  ExpectPieces(run.api->Get("/api/status").body,
               {R"("source_type":"example","source_id":"example-2","source_name":"Example 2")",
                R"("source_discovered":true,"source_online":true,"receiver_state":"connected")",
                R"("resolution":{"width":1280,"height":720})", R"("source_format":"JPEG")",
                R"("status":"online")"});
}

TEST(StatusApi, ReceiverFollowsItsLinkAndFrameAge) {
  ReceiverSession run("status-ndi");
  ASSERT_TRUE(run.Start("ndi", "Cam 1"));
  struct Case {
    const char* name;
    double updated_ago;     // seconds; negative: never updated
    const char* state;
    double frame_ago;       // seconds; negative: no frame yet
    const char* selected;   // the source the runtime receives
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"silent runtime", 10.0, "connected", 1.2, "Cam 1",
       {R"("running":false)", R"("receiver_state":"offline")", R"("status":"offline","signal":"offline")"}},
      {"live", 0.5, "connected", 1.2, "Cam 1",
       {R"("running":true)", R"("source_online":true,"receiver_state":"connected")",
        // Two decimals; the request itself may take a few hundredths on a loaded machine.
        R"("frame_age_seconds":1.2)", R"("ndi":true,"status":"online","signal":"live",)"
        R"("preview_retained":true,"frame_analysis_allowed":true)"}},
      {"stale", 0.5, "connected", 5.0, "Cam 1",
       {R"("source_online":false,"receiver_state":"stale")", R"("status":"stale","signal":"stale")",
        R"("frame_analysis_allowed":false)"}},
      {"old frame", 0.5, "connected", 9.0, "Cam 1",
       {R"("receiver_state":"offline")", R"("status":"offline","signal":"offline")"}},
      {"no frame yet", 0.5, "connected", -1.0, "Cam 1",
       {R"("receiver_state":"offline")", R"("frame_age_seconds":null)",
        R"("status":"connecting","signal":"connecting","preview_retained":false,)"
        R"("frame_analysis_allowed":false)"}},
      {"other source", 0.5, "connected", 1.0, "Other",
       {R"("receiver_state":"connecting")", R"("signal":"offline")"}},
      {"error", 0.5, "error", 1.0, "Cam 1",
       {R"("receiver_state":"error")", R"("error":"receiver failed")", R"("signal":"offline")"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double now = testing::WallSeconds();
    NdiLinkSnapshot snapshot;
    snapshot.runtime_available = true;
    snapshot.state = c.state;
    snapshot.selected_source = c.selected;
    snapshot.width = 1920;
    snapshot.height = 1080;
    snapshot.frame_rate_n = 30000;
    snapshot.frame_rate_d = 1001;
    snapshot.updated_at = c.updated_ago < 0 ? 0.0 : now - c.updated_ago;
    snapshot.last_frame_at = c.frame_ago < 0 ? 0.0 : now - c.frame_ago;
    if (std::string(c.state) == "error") snapshot.message = "receiver failed";
    run.runtime->SetSnapshot(snapshot);
    const std::string body = run.api->Get("/api/status").body;
    ExpectPieces(body, c.expected);
    ExpectPieces(body, {R"("source_type":"ndi","source_id":"Cam 1","source_name":"Cam 1")",
                        R"("resolution":{"width":1920,"height":1080},"frame_rate_n":30000,)"
                        R"("frame_rate_d":1001,"frame_rate":29.970029970029969,)"
                        R"("source_format":"NDI","ndi_format":"NDI")",
                        R"("lan_ipv4":null,"readings":{}})"});
  }
}

TEST(StatusApi, DiscoveryMarksTheSelectedSource) {
  ReceiverSession run("status-discovered");
  ASSERT_TRUE(run.Start("ndi", "Cam 1"));
  run.runtime->SetSources({{"Cam 1", "Cam", "", false}}, 1.0);
  EXPECT_NE(run.api->Get("/api/status").body.find(R"("source_discovered":false)"),
            std::string::npos);
  run.runtime->SetSources({{"Cam 1", "Cam", "", true}}, 1.0);
  EXPECT_NE(run.api->Get("/api/status").body.find(R"("source_discovered":true)"),
            std::string::npos);
}

// The status word of the reading of `role`, waiting until it is `expected` or the time is up.
std::string WaitForReadingStatus(testing::ZoneApiClient& api, const std::string& role,
                                 const std::string& expected) {
  std::string last;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const JsonValue status = ParseJson(api.Get("/api/status").body);
    const JsonValue* readings = status.Find("readings");
    const JsonValue* reading = readings != nullptr ? readings->Find(role) : nullptr;
    last = reading != nullptr ? reading->text : "";
    if (last == expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return last;
}

TEST(StatusApi, ReadingsTellWhyAFieldHasNoValue) {
  ReceiverSession run("status-readings");
  ASSERT_TRUE(run.Start("example", "example-2"));
  // The still's factory zones read its home score.
  EXPECT_EQ(WaitForReadingStatus(*run.api, "home_score", "ok"), "ok");

  // Moved onto the blank board left of the score, the zone reads no digit.
  const testing::ApiReply moved = run.api->Put(
      "/api/zones/home_score", R"({"x":0.005,"y":0.45,"width":0.05,"height":0.1})");
  ASSERT_EQ(moved.status, 200) << moved.body;
  EXPECT_EQ(WaitForReadingStatus(*run.api, "home_score", "missing_units"), "missing_units");
}

}  // namespace
}  // namespace tessvark
