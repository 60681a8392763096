// What reaches vMix while the operator edits zones on air: the Example clip plays, its score and
// clock fields are mapped on a vMix stand-in, and the zones and the geometry are changed through
// the API. A change may blank only the field of the zone it touched, and only when that zone has
// no value; every other field keeps its text.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "scripted_ndi_runtime.h"
#include "tests/outputs/vmix/vmix_stand_in.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using testing::ApiReply;
using testing::ReceiverSession;

constexpr char kInput[] = "K1";

std::string MappingConfig(int port) {
  return R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(port) +
         R"(,"outputs":[{"input_key":"K1","mappings":[)"
         R"({"source":"home_score","field":"Home.Text"},)"
         R"({"source":"guest_score","field":"Guest.Text"},)"
         R"({"source":"clock","field":"Clock.Text"}]}]})";
}

// The SetText calls from `from` on that gave `field` the text `value`.
std::size_t CountCalls(const std::vector<test::SetTextCall>& calls, std::size_t from,
                       const std::string& field, const std::string& value) {
  std::size_t count = 0;
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (calls[i].input == kInput && calls[i].field == field && calls[i].value == value) ++count;
  }
  return count;
}

// Clock texts sent from `from` on; the clip's clock runs, so new ones keep coming.
std::size_t ClockTextsSince(test::VmixStandIn& vmix, std::size_t from) {
  const std::vector<test::SetTextCall> calls = vmix.SetTextCalls();
  std::size_t count = 0;
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (calls[i].field == "Clock.Text" && !calls[i].value.empty()) ++count;
  }
  return count;
}

class ZoneEditsOnAir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(vmix_.Start(error)) << error;
    ASSERT_TRUE(run_.Start("example", "example-1"));
    ASSERT_EQ(run_.api->Put("/api/v1/outputs/vmix", MappingConfig(vmix_.port())).status, 200);
    ASSERT_TRUE(testing::WaitUntil(
        [&] {
          return !vmix_.Field(kInput, "Home.Text").value_or("").empty() &&
                 !vmix_.Field(kInput, "Guest.Text").value_or("").empty() &&
                 ClockTextsSince(vmix_, 0) >= 2;
        },
        testing::kClipPatience))
        << "the clip's values reach vMix";
  }

  // Waits until two more clock texts than there were at `mark` have reached vMix: by then every
  // pass that the change before could have caused has been sent.
  void WaitForTwoClockTexts(std::size_t mark) {
    ASSERT_TRUE(testing::WaitUntil([&] { return ClockTextsSince(vmix_, mark) >= 2; }, testing::kClipPatience));
  }

  // An update body for zone `id` with its rectangle moved right by `dx`.
  std::string ZoneMoved(const std::string& id, double dx) {
    const JsonValue zones = ParseJson(run_.api->Get("/api/zones").body);
    const JsonValue* zone = testing::FindZone(zones, id);
    if (zone == nullptr) return {};
    char body[256];
    std::snprintf(body, sizeof body, R"({"x":%.17g,"y":%.17g,"width":%.17g,"height":%.17g})",
                  zone->At("x").number + dx, zone->At("y").number, zone->At("width").number,
                  zone->At("height").number);
    return body;
  }

  test::VmixStandIn vmix_;
  ReceiverSession run_{"zone-edits"};
};

TEST_F(ZoneEditsOnAir, NudgingTheClockZoneNeverBlanksTheScores) {
  const std::size_t start = vmix_.SetTextCalls().size();
  for (int nudge = 1; nudge <= 5; ++nudge) {
    SCOPED_TRACE(nudge);
    const std::string body = ZoneMoved("clock", nudge % 2 == 1 ? 0.002 : -0.002);
    ASSERT_FALSE(body.empty());
    const ApiReply reply = run_.api->Put("/api/zones/clock", body);
    ASSERT_EQ(reply.status, 200) << reply.body;
    WaitForTwoClockTexts(vmix_.SetTextCalls().size());
  }
  const std::vector<test::SetTextCall> calls = vmix_.SetTextCalls();
  EXPECT_EQ(CountCalls(calls, start, "Home.Text", "") + CountCalls(calls, start, "Guest.Text", ""),
            0u);
  EXPECT_EQ(CountCalls(calls, start, "Clock.Text", ""), 0u)
      << "the nudged clock still reads, so its own field is never blanked either";
}

// Other changes of the zone set and of the geometry: no field but the changed zone's own may see a
// blank, and here every changed zone still reads or is not mapped.
TEST_F(ZoneEditsOnAir, OtherChangesBlankNoOtherField) {
  const auto reversed_order = [&] {
    const JsonValue zones = ParseJson(run_.api->Get("/api/zones").body);
    std::string body = R"({"zone_ids":[)";
    for (std::size_t i = zones.items.size(); i-- > 0;) {
      body += "\"" + zones.items[i].At("id").text + "\"" + (i > 0 ? "," : "");
    }
    return body + "]}";
  };
  const auto moved_geometry = [&] {
    const JsonValue points = ParseJson(run_.api->Get("/api/source/geometry").body).At("points");
    std::string body = R"({"points":{)";
    for (const char* corner : {"top_left", "top_right", "bottom_right", "bottom_left"}) {
      const double nudge = std::string(corner) == "top_left" ? 0.0001 : 0.0;
      char text[128];
      std::snprintf(text, sizeof text, R"(%s"%s":{"x":%.17g,"y":%.17g})",
                    body.back() == '{' ? "" : ",", corner, points.At(corner).At("x").number + nudge,
                    points.At(corner).At("y").number);
      body += text;
    }
    return body + "}}";
  };
  const struct {
    const char* change;
    const char* method;
    const char* path;
    std::function<std::string()> body;
  } changes[] = {
      {"another zone's processing", "PUT", "/api/zones/home_shots",
       [&] {
         std::string body = ZoneMoved("home_shots", 0.0);
         return body.insert(body.size() - 1, R"(,"processing":{"threshold":140})");
       }},
      {"a new zone", "POST", "/api/zones",
       [] { return std::string(R"({"id":"new_down","role":"down","x":0.45,"y":0.45,"width":0.05,"height":0.05})"); }},
      {"that zone deleted", "DELETE", "/api/zones/new_down", [] { return std::string(); }},
      {"the zone order", "PUT", "/api/zones/order", reversed_order},
      {"the geometry", "PUT", "/api/source/geometry", moved_geometry},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.change);
    const std::string body = change.body();
    const std::size_t mark = vmix_.SetTextCalls().size();
    const std::string method = change.method;
    const ApiReply reply = method == "PUT"    ? run_.api->Put(change.path, body)
                           : method == "POST" ? run_.api->Post(change.path, body)
                                              : run_.api->Delete(change.path);
    ASSERT_EQ(reply.status, 200) << reply.body;
    WaitForTwoClockTexts(vmix_.SetTextCalls().size());
    const std::vector<test::SetTextCall> calls = vmix_.SetTextCalls();
    for (const char* field : {"Home.Text", "Guest.Text", "Clock.Text"}) {
      EXPECT_EQ(CountCalls(calls, mark, field, ""), 0u) << field;
    }
  }
}

TEST_F(ZoneEditsOnAir, DeletingAZoneBlanksItsOwnFieldAlone) {
  const std::size_t mark = vmix_.SetTextCalls().size();
  const ApiReply reply = run_.api->Delete("/api/zones/clock");
  ASSERT_EQ(reply.status, 200) << reply.body;
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return CountCalls(vmix_.SetTextCalls(), mark, "Clock.Text", "") > 0; }, testing::kClipPatience))
      << "the clock has no zone, so no value, and its field is blanked";
  const std::vector<test::SetTextCall> calls = vmix_.SetTextCalls();
  EXPECT_EQ(CountCalls(calls, mark, "Clock.Text", ""), 1u);
  EXPECT_EQ(CountCalls(calls, mark, "Home.Text", ""), 0u);
  EXPECT_EQ(CountCalls(calls, mark, "Guest.Text", ""), 0u);
}

}  // namespace
}  // namespace tessvark
