// GET /api/status of a started session: no source, the Example still and an NDI receiver in
// each of its link situations.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "scripted_ndi_runtime.h"
#include "tests/support/wait_until.h"

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

// Every key that an object of the document (at any depth) holds more than once.
void CollectDuplicateKeys(const JsonValue& value, const std::string& where,
                          std::vector<std::string>& duplicates) {
  for (std::size_t i = 0; i < value.members.size(); ++i) {
    const JsonMember& member = value.members[i];
    for (std::size_t j = 0; j < i; ++j) {
      if (value.members[j].key == member.key) duplicates.push_back(where + member.key);
    }
    CollectDuplicateKeys(member.value, where + member.key + ".", duplicates);
  }
  for (const JsonValue& item : value.items) CollectDuplicateKeys(item, where + "[].", duplicates);
}

std::string TextOf(const JsonValue& status, const char* key) {
  const JsonValue* value = status.Find(key);
  return value == nullptr ? "(missing)" : value->kind == JsonKind::kNull ? "null" : value->text;
}

// The status of each kind of source carries that kind's own fields, each key once, with the keys
// the interface reads.
TEST(StatusApi, EachSourceKindHasItsOwnFieldsEachKeyOnce) {
  struct Case {
    const char* name;
    const char* stored_type;  // the selection the session starts with
    const char* stored_id;
    const char* chosen;       // a PUT /api/source body sent after the start, or null
    const char* source_type;
    const char* source_name;
    const char* source_format;
  };
  const Case cases[] = {
      {"no source", "", "", nullptr, "none", "null", "null"},
      {"Example still", "example", "example-2", nullptr, "example", "Example 2", "JPEG"},
      // The Example the operator left behind must not show through the listener's status.
      {"SRT chosen after the Example still", "example", "example-2",
       R"({"type":"srt","id":"srt"})", "srt", "SRT listener", "SRT"},
      {"SRT restored after a restart", "srt", "srt", nullptr, "srt", "SRT listener", "SRT"},
      {"NDI", "ndi", "Cam 1", nullptr, "ndi", "Cam 1", "NDI"},
      {"OMT", "omt", "Sender 1", nullptr, "omt", "Sender 1", "OMT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReceiverSession run("status-kinds");
    ASSERT_TRUE(run.Start(c.stored_type, c.stored_id));
    if (c.chosen != nullptr) {
      const testing::ApiReply chosen = run.api->Put("/api/source", c.chosen);
      ASSERT_EQ(chosen.status, 200) << chosen.body;
      std::vector<std::string> duplicates;
      CollectDuplicateKeys(ParseJson(chosen.body), "", duplicates);
      EXPECT_TRUE(duplicates.empty()) << "the choice's reply repeats " << duplicates.front();
    }
    const std::string body = run.api->Get("/api/status").body;
    const JsonValue status = ParseJson(body);
    std::vector<std::string> duplicates;
    CollectDuplicateKeys(status, "", duplicates);
    EXPECT_TRUE(duplicates.empty()) << duplicates.size() << " repeated keys, first "
                                    << (duplicates.empty() ? "" : duplicates.front()) << " in " << body;
    for (const char* key : {"running", "source_type", "source_id", "source_name", "source_online",
                            "receiver_state", "resolution", "frame_rate", "source_format",
                            "frame_age_seconds", "error", "status", "readings"}) {
      EXPECT_NE(status.Find(key), nullptr) << key << " in " << body;
    }
    EXPECT_EQ(TextOf(status, "source_type"), c.source_type) << body;
    EXPECT_EQ(TextOf(status, "source_name"), c.source_name) << body;
    EXPECT_EQ(TextOf(status, "source_format"), c.source_format) << body;
    if (std::string(c.source_type) != "example") {
      EXPECT_NE(TextOf(status, "error"), "Bundled Example source is unavailable") << body;
    }
  }
}

// The status word of the reading of `role`, waiting until it is `expected` or the time is up.
std::string WaitForReadingStatus(testing::ZoneApiClient& api, const std::string& role,
                                 const std::string& expected) {
  std::string last;
  testing::WaitUntil([&] {
    const JsonValue status = ParseJson(api.Get("/api/status").body);
    const JsonValue* readings = status.Find("readings");
    const JsonValue* reading = readings != nullptr ? readings->Find(role) : nullptr;
    last = reading != nullptr ? reading->text : "";
    return last == expected;
  });
  return last;
}

TEST(StatusApi, ReadingsTellWhyAFieldHasNoValue) {
  ReceiverSession run("status-readings");
  ASSERT_TRUE(run.Start("example", "example-2"));
  // The still's factory zones read its home score.
  EXPECT_EQ(WaitForReadingStatus(*run.api, "home_score", "ok"), "ok");

  // Moved onto the blank board left of the score, the zone shows no digit at all: blank, not misread.
  const testing::ApiReply moved = run.api->Put(
      "/api/zones/home_score", R"({"x":0.005,"y":0.45,"width":0.05,"height":0.1})");
  ASSERT_EQ(moved.status, 200) << moved.body;
  EXPECT_EQ(WaitForReadingStatus(*run.api, "home_score", "empty"), "empty");
}

}  // namespace
}  // namespace tessvark
