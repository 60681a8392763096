#include "ocr/analysis_values.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

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

TEST(PossessionValuesTest, ShowsOnlyOneLampLitAndTheOtherDark) {
  const StateValue null = StateValue::MakeNull();
  const StateValue one = StateValue::MakeInt(1);
  const StateValue zero = StateValue::MakeInt(0);
  const StateValue two = StateValue::MakeInt(2);
  struct Case {
    StateValue home, guest;
    const char* expected;
  } cases[] = {
      {one, zero, R"({"home_possession":1,"guest_possession":0})"},
      {zero, one, R"({"home_possession":0,"guest_possession":1})"},
      {null, null, R"({"home_possession":null,"guest_possession":null})"},
      {one, one, R"({"home_possession":null,"guest_possession":null})"},
      {zero, zero, R"({"home_possession":null,"guest_possession":null})"},
      {one, null, R"({"home_possession":null,"guest_possession":null})"},
      {null, zero, R"({"home_possession":null,"guest_possession":null})"},
      {two, zero, R"({"home_possession":null,"guest_possession":null})"},
      {StateValue::MakeDouble(1.0), zero, R"({"home_possession":null,"guest_possession":null})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Json(PossessionValues(c.home, c.guest)), c.expected) << Json(c.home) << " " << Json(c.guest);
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
  EXPECT_EQ(PenaltyPlayerRole("home_penalty_1"), "home_penalty_player_1");
  EXPECT_EQ(PenaltyPlayerRole("home_penalty_2"), "home_penalty_player_2");
  EXPECT_EQ(PenaltyPlayerRole("guest_penalty_1"), "guest_penalty_player_1");
  EXPECT_EQ(PenaltyPlayerRole("guest_penalty_2"), "guest_penalty_player_2");
}

TEST(RolesWithZonesTest, SkipsEmptyRoles) {
  EXPECT_EQ(RolesWithZones(Zones({"clock", "", "clock", "period"})), (std::set<std::string>{"clock", "period"}));
}

}  // namespace
}  // namespace tessvark
