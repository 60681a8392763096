#include "ocr/analysis_values.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/role_table_with_one_more_row.h"

namespace tessvark {
namespace {

ReadingContext Context(const std::string& generation = "1") {
  return ReadingContext{SourceContext{"srt", "camera", generation}};
}

AnalysisZone Zone(const std::string& role) {
  AnalysisZone zone;
  zone.id = role + "-zone";
  zone.role = role;
  return zone;
}

std::vector<AnalysisZone> Zones(std::initializer_list<const char*> roles) {
  std::vector<AnalysisZone> zones;
  for (const char* role : roles) zones.push_back(Zone(role));
  return zones;
}

RoleReading Reading(const std::string& role, StateValue value, const ReadingContext& context = Context()) {
  return RoleReading{role, std::move(value), StateValue::MakeNull(), StateValue::MakeNull(), context};
}

RoleReading ClockReading(const std::string& role, const std::string& text, double seconds,
                         const std::string& mode) {
  return RoleReading{role, StateValue::MakeString(std::string(text)), StateValue::MakeString(std::string(mode)),
                     StateValue::MakeDouble(seconds), Context()};
}

std::string Json(const StateValue& value) { return value.ToJson(); }

const char* const kAllNull =
    R"("home":null,"guest":null,"period":null,"clock":null,"clock_seconds":null,"clock_mode":null,)"
    R"("home_shots":null,"guest_shots":null,"shot_clock":null,"down":null,"to_go":null,"ball_on":null,)"
    R"("home_timeouts":null,"guest_timeouts":null,"home_possession":null,"guest_possession":null,)";

TEST(BuildValuesTest, NoZonesGivesAllNullAndNoPenalties) {
  const StateValue values = BuildValuesFromReadings({}, {}, Context(), std::nullopt);
  EXPECT_EQ(Json(values), std::string("{") + kAllNull + R"("penalties":[]})");
}

TEST(BuildValuesTest, ReadingsFillTheirMembersByKind) {
  const std::vector<AnalysisZone> zones =
      Zones({"home_score", "guest_score", "period", "clock", "shot_clock", "down", "home_timeouts"});
  const std::vector<RoleReading> readings = {
      Reading("home_score", StateValue::MakeInt(7)),
      Reading("guest_score", StateValue::MakeInt(12)),
      Reading("period", StateValue::MakeInt(2)),
      ClockReading("clock", "12:34", 754.0, "minutes"),
      Reading("shot_clock", StateValue::MakeString("05")),
      Reading("down", StateValue::MakeInt(3)),
      Reading("home_timeouts", StateValue::MakeNull()),
  };
  EXPECT_EQ(Json(BuildValuesFromReadings(readings, zones, Context(), std::nullopt)),
            R"({"home":7,"guest":12,"period":2,"clock":"12:34","clock_seconds":754.0,"clock_mode":"minutes",)"
            R"("home_shots":null,"guest_shots":null,"shot_clock":"05","down":3,"to_go":null,"ball_on":null,)"
            R"("home_timeouts":null,"guest_timeouts":null,"home_possession":null,"guest_possession":null,)"
            R"("penalties":[]})");
}

std::vector<std::string_view> MemberNames(const StateValue& values) {
  std::vector<std::string_view> names;
  for (const StateMember& member : values.members) names.push_back(member.key);
  return names;
}

TEST(BuildValuesTest, ATableWithOneMoreRoleCarriesItsReadingInItsPlace) {
  const std::vector<AgentRole> table = testing::RoleTableWithOneMoreRow();
  const std::vector<AnalysisZone> zones =
      Zones({"home_fouls", "guest_shots", "home_possession", "guest_possession"});
  const std::vector<RoleReading> readings = {
      Reading("home_fouls", StateValue::MakeInt(4)),
      Reading("guest_shots", StateValue::MakeInt(9)),
      Reading("home_possession", StateValue::MakeInt(0)),
      Reading("guest_possession", StateValue::MakeInt(1)),
  };
  const StateValue values = BuildValuesFromReadings(readings, zones, Context(), std::nullopt, table);
  EXPECT_EQ(MemberNames(values), StateValueKeys(table));
  EXPECT_EQ(Json(values),
            R"({"home":null,"guest":null,"period":null,"clock":null,"clock_seconds":null,"clock_mode":null,)"
            R"("home_shots":null,"guest_shots":9,"home_fouls":4,"shot_clock":null,"down":null,"to_go":null,)"
            R"("ball_on":null,"home_timeouts":null,"guest_timeouts":null,"home_possession":0,)"
            R"("guest_possession":1,"penalties":[]})");

  // The program's own table gives the members the state publishes, in their order.
  EXPECT_EQ(MemberNames(BuildValuesFromReadings(readings, zones, Context(), std::nullopt)),
            StateValueKeys(AgentRoleTable()));
}

TEST(BuildValuesTest, ReadingsOfAnotherContextAreNotUsed) {
  const std::vector<AnalysisZone> zones = Zones({"home_score", "clock"});
  std::vector<RoleReading> readings = {Reading("home_score", StateValue::MakeInt(7), Context("2")),
                                       ClockReading("clock", "1:00", 60.0, "minutes")};
  readings[1].context.source.source_id = "other";
  EXPECT_EQ(Json(BuildValuesFromReadings(readings, zones, Context("1"), std::nullopt)),
            std::string("{") + kAllNull + R"("penalties":[]})");
}

TEST(BuildValuesTest, FirstMatchingReadingWins) {
  const std::vector<RoleReading> readings = {Reading("home_score", StateValue::MakeInt(3)),
                                             Reading("home_score", StateValue::MakeInt(9))};
  const StateValue values = BuildValuesFromReadings(readings, Zones({"home_score"}), Context(), std::nullopt);
  EXPECT_EQ(values.Find("home")->int_value, 3);
}

TEST(BuildValuesTest, RoleFilterNullsDisabledRolesEvenWithZoneAndReading) {
  const std::vector<AnalysisZone> zones = Zones({"home_score", "guest_score", "clock"});
  const std::vector<RoleReading> readings = {Reading("home_score", StateValue::MakeInt(7)),
                                             Reading("guest_score", StateValue::MakeInt(4)),
                                             ClockReading("clock", "59.3", 59.3, "tenths")};
  const StateValue values =
      BuildValuesFromReadings(readings, zones, Context(), std::set<std::string>{"guest_score"});
  EXPECT_EQ(values.Find("home")->kind, StateKind::kNull);
  EXPECT_EQ(values.Find("guest")->int_value, 4);
  EXPECT_EQ(values.Find("clock")->kind, StateKind::kNull);
  EXPECT_EQ(values.Find("clock_seconds")->kind, StateKind::kNull);
  EXPECT_EQ(values.Find("clock_mode")->kind, StateKind::kNull);

  const StateValue with_clock =
      BuildValuesFromReadings(readings, zones, Context(), std::set<std::string>{"clock"});
  EXPECT_EQ(with_clock.Find("clock")->text, "59.3");
  EXPECT_EQ(with_clock.Find("clock_mode")->text, "tenths");
  EXPECT_DOUBLE_EQ(with_clock.Find("clock_seconds")->double_value, 59.3);
}

TEST(BuildValuesTest, PenaltyEntriesFollowTheirTimeAndPlayerZones) {
  const std::vector<AnalysisZone> zones =
      Zones({"guest_penalty_2", "home_penalty_player_2", "home_penalty_1", "guest_penalty_player_2"});
  const std::vector<RoleReading> readings = {
      ClockReading("home_penalty_1", "1:30", 90.0, "minutes"),
      Reading("home_penalty_player_2", StateValue::MakeInt(23)),
      Reading("guest_penalty_player_2", StateValue::MakeNull()),
  };
  EXPECT_EQ(Json(*BuildValuesFromReadings(readings, zones, Context(), std::nullopt).Find("penalties")),
            R"([{"role":"home_penalty_1","clock":"1:30","clock_seconds":90.0,"clock_mode":"minutes"},)"
            R"({"role":"home_penalty_2","clock":null,"clock_seconds":null,"clock_mode":null,"player_number":23},)"
            R"({"role":"guest_penalty_2","clock":null,"clock_seconds":null,"clock_mode":null,"player_number":null}])");

  // A filtered-out time role keeps its entry through its player zone, with null clock members.
  const StateValue filtered = BuildValuesFromReadings(
      readings, zones, Context(), std::set<std::string>{"home_penalty_player_2"});
  EXPECT_EQ(Json(*filtered.Find("penalties")),
            R"([{"role":"home_penalty_2","clock":null,"clock_seconds":null,"clock_mode":null,"player_number":23}])");
}

TEST(BuildValuesTest, NoReadingsKeepsOnePenaltyEntryPerZonedPenalty) {
  const StateValue values = BuildValuesFromReadings(
      {}, Zones({"home_penalty_2", "guest_penalty_player_1"}), Context(), std::nullopt);
  EXPECT_EQ(Json(*values.Find("penalties")),
            R"([{"role":"home_penalty_2","clock":null,"clock_seconds":null,"clock_mode":null},)"
            R"({"role":"guest_penalty_1","clock":null,"clock_seconds":null,"clock_mode":null,"player_number":null}])");
}

TEST(PossessionValuesTest, ShowsOnlyOneLampLitAndTheOthersDark) {
  const StateValue null = StateValue::MakeNull();
  const StateValue one = StateValue::MakeInt(1);
  const StateValue zero = StateValue::MakeInt(0);
  const StateValue two = StateValue::MakeInt(2);
  struct Case {
    std::vector<StateValue> lamps;
    const char* expected;
  } cases[] = {
      {{one, zero}, "[1,0]"},
      {{zero, one}, "[0,1]"},
      {{null, null}, "[null,null]"},
      {{one, one}, "[null,null]"},
      {{zero, zero}, "[null,null]"},
      {{one, null}, "[null,null]"},
      {{null, zero}, "[null,null]"},
      {{two, zero}, "[null,null]"},
      {{StateValue::MakeDouble(1.0), zero}, "[null,null]"},
      // The rule holds for any number of lamps.
      {{zero, one, zero}, "[0,1,0]"},
      {{one, zero, null}, "[null,null,null]"},
      {{one, zero, one}, "[null,null,null]"},
  };
  for (const Case& c : cases) {
    const std::string lamps = Json(StateValue::MakeArray(std::vector<StateValue>(c.lamps)));
    EXPECT_EQ(Json(StateValue::MakeArray(PossessionValues(c.lamps))), c.expected) << lamps;
  }
}

TEST(BuildValuesTest, PossessionNeedsItsZones) {
  const std::vector<RoleReading> readings = {Reading("home_possession", StateValue::MakeInt(1)),
                                             Reading("guest_possession", StateValue::MakeInt(0))};
  struct Case {
    std::vector<AnalysisZone> zones;
    RoleFilter filter;
    const char* home;
  } cases[] = {
      {Zones({"home_possession", "guest_possession"}), std::nullopt, "1"},
      {Zones({"home_possession"}), std::nullopt, "null"},  // one lamp alone is never shown
      {Zones({}), std::nullopt, "null"},
      {Zones({"home_possession", "guest_possession"}), std::set<std::string>{"home_possession"}, "null"},
  };
  for (const Case& c : cases) {
    const StateValue values = BuildValuesFromReadings(readings, c.zones, Context(), c.filter);
    EXPECT_EQ(Json(*values.Find("home_possession")), c.home);
  }
}

TEST(PenaltyPlayerRoleTest, PairsEachPenaltyTimeWithItsPlayer) {
  struct Case {
    const char* penalty_role;
    const char* player_role;  // null: none
  } cases[] = {
      {"home_penalty_1", "home_penalty_player_1"},
      {"home_penalty_2", "home_penalty_player_2"},
      {"guest_penalty_1", "guest_penalty_player_1"},
      {"guest_penalty_2", "guest_penalty_player_2"},
      {"home_penalty_player_1", nullptr},
      {"clock", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    const AgentRole* player = PenaltyPlayerRole(c.penalty_role);
    if (c.player_role == nullptr) {
      EXPECT_EQ(player, nullptr) << c.penalty_role;
    } else {
      ASSERT_NE(player, nullptr) << c.penalty_role;
      EXPECT_EQ(player->role, c.player_role);
    }
  }
}

TEST(RolesWithZonesTest, SkipsEmptyRoles) {
  EXPECT_EQ(RolesWithZones(Zones({"clock", "", "clock", "period"})), (std::set<std::string>{"clock", "period"}));
}

}  // namespace
}  // namespace tessvark
