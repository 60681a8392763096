#include "settings/config_json.h"
#include "core/json_text.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/agent_roles.h"

namespace tessvark {
namespace {

TEST(ConfigFileEscaping, EscapesOnlyQuoteBackslashNewlineAndControlBytes) {
  EXPECT_EQ(EscapeJsonText("\"\\\n\t\r\x7F\xC3\xA9"),
            "\\\"\\\\\\n\\u0009\\u000d\x7F\xC3\xA9");
  EXPECT_EQ(EscapeJsonText(std::string("a\0b\x1f", 4)), "a\\u0000b\\u001f");
}

TEST(WriteCompactJson, RewritesNumbersAndKeepsDuplicateMembersInOrder) {
  const JsonValue value = ParseJson(
      R"( {"b" : 0.1, "a": [5.0, 1e2, -0, true, null], "b": {"x\ty": "q\""}} )");
  EXPECT_EQ(WriteCompactJson(value),
            "{\"b\":0.10000000000000001,\"a\":[5,100,-0,true,null],\"b\":{\"x\\u0009y\":\"q\\\"\"}}");
  JsonValue infinite;
  infinite.kind = JsonKind::kNumber;
  infinite.number = std::numeric_limits<double>::infinity();
  EXPECT_EQ(WriteCompactJson(infinite), "null");
  infinite.number = std::nan("");
  EXPECT_EQ(WriteCompactJson(infinite), "null");
}

TEST(IsKnownSourceType, AcceptsExactlyTheTenTypes) {
  for (const char* type : {"none", "ndi", "omt", "example", "srt", "rtsp", "ip", "ip_camera",
                           "capture", "capture_device"}) {
    EXPECT_TRUE(IsKnownSourceType(type)) << type;
  }
  for (const char* type : {"NDI", "", "usb", "ndi ", "capture-device"}) {
    EXPECT_FALSE(IsKnownSourceType(type)) << type;
  }
}

struct QuadCase {
  const char* name;
  ProfileCorners corners;
  bool stable;
};

TEST(IsStableQuad, RequiresUnitRangeDistanceAreaClockwiseOrderAndConvexity) {
  const QuadCase cases[] = {
      {"identity", {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, true},
      {"skewed convex", {{0.1, 0.1}, {0.9, 0.2}, {0.8, 0.9}, {0.2, 0.8}}, true},
      {"counter-clockwise", {{0, 0}, {0, 1}, {1, 1}, {1, 0}}, false},
      {"crossed", {{0, 0}, {1, 0}, {0, 1}, {1, 1}}, false},
      {"below zero", {{-0.001, 0}, {1, 0}, {1, 1}, {0, 1}}, false},
      {"above one", {{0, 0}, {1.001, 0}, {1, 1}, {0, 1}}, false},
      {"corners too close", {{0, 0}, {0.0005, 0}, {1, 1}, {0, 1}}, false},
      // A 0.03 x 0.03 square has an area of 0.0009.
      {"area too small", {{0, 0}, {0.03, 0}, {0.03, 0.03}, {0, 0.03}}, false},
      {"area just enough", {{0, 0}, {0.032, 0}, {0.032, 0.032}, {0, 0.032}}, true},
      {"concave", {{0, 0}, {1, 0}, {0.3, 0.3}, {0, 1}}, false},
      {"not finite", {{0, std::nan("")}, {1, 0}, {1, 1}, {0, 1}}, false},
  };
  for (const QuadCase& c : cases) EXPECT_EQ(IsStableQuad(c.corners), c.stable) << c.name;
}

TEST(ReadCornerPoints, ReadsExactlyFourCornersOfTwoNumbersEach) {
  const std::string good =
      R"({"top_left":{"x":0.1,"y":0.1},"top_right":{"x":0.9,"y":0.2},)"
      R"("bottom_right":{"x":0.8,"y":0.9},"bottom_left":{"y":0.8,"x":0.2}})";
  ProfileCorners corners;
  ASSERT_TRUE(ReadCornerPoints(ParseJson(good), corners));
  EXPECT_EQ(corners.top_right.x, 0.9);
  EXPECT_EQ(corners.bottom_left.x, 0.2);
  EXPECT_EQ(corners.bottom_left.y, 0.8);

  const char* refused[] = {
      R"({"top_left":[0,0],"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}})",
      R"({"top_left":{"x":"0","y":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}})",
      R"({"top_left":{"x":0,"y":0,"z":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}})",
      R"({"top_left":{"x":0,"y":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1},"extra":1})",
      R"({"top_left":{"x":0,"y":0},"top_left":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}})",
      R"({"top_left":{"x":0,"y":0},"top_right":{"x":0,"y":1},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":1,"y":0}})",
      R"([1,2,3,4])",
  };
  for (const char* text : refused) EXPECT_FALSE(ReadCornerPoints(ParseJson(text), corners)) << text;
}

TEST(WriteCornerPoints, WritesTheFourCornersCompactly) {
  EXPECT_EQ(WriteCornerPoints(IdentityCorners()),
            R"({"top_left":{"x":0,"y":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}})");
  ProfileCorners corners = IdentityCorners();
  corners.top_left.x = 0.1;
  EXPECT_EQ(WriteCornerPoints(corners).rfind(R"({"top_left":{"x":0.10000000000000001,"y":0})", 0), 0u);
}

TEST(AgentRoleTable, DrawsAsClocksExactlyTheRolesReadAsTimesAndFindsRolesByExactName) {
  ASSERT_FALSE(AgentRoleTable().empty());
  EXPECT_EQ(AgentRoleTable().front().role, "home_score");
  EXPECT_EQ(AgentRoleTable().back().role, "guest_possession");
  int clock_names = 0;
  for (const AgentRole& row : AgentRoleTable()) {
    clock_names += row.display_name == "Clock" ? 1 : 0;
    const bool time = row.reader == RoleReader::kClock;
    EXPECT_EQ(row.zone_type == "clock", time) << row.role;
    EXPECT_EQ(row.layout == RoleLayout::kClock, time) << row.role;
  }
  EXPECT_EQ(clock_names, 1);
  ASSERT_NE(FindAgentRole("home_penalty_2"), nullptr);
  EXPECT_EQ(FindAgentRole("home_penalty_2")->zone_type, "clock");
  ASSERT_NE(FindAgentRole("shot_clock"), nullptr);
  EXPECT_EQ(FindAgentRole("shot_clock")->zone_type, "score");
  EXPECT_EQ(FindAgentRole("home_penalty_player_2")->display_name, "Home Player Penalty 2");
  EXPECT_EQ(FindAgentRole("Shot_clock"), nullptr);
  EXPECT_EQ(FindAgentRole("shot_clock "), nullptr);
}

}  // namespace
}  // namespace tessvark
