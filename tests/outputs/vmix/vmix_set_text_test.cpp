#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/state_value.h"
#include "outputs/vmix/vmix_set_text.h"

namespace tessvark {
namespace {

StateValue Penalty(const char* role, StateValue clock, std::optional<StateValue> player) {
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("role", StateValue::MakeString(role)));
  members.push_back(MakeStateMember("clock", std::move(clock)));
  if (player) members.push_back(MakeStateMember("player_number", std::move(*player)));
  return StateValue::MakeObject(std::move(members));
}

StateValue SampleState() {
  std::vector<StateValue> penalties;
  penalties.push_back(Penalty("home_penalty_1", StateValue::MakeString("1:30"), StateValue::MakeString("17")));
  penalties.push_back(Penalty("home_penalty_2", StateValue::MakeString("0:45"), std::nullopt));
  penalties.push_back(Penalty("home_penalty_1", StateValue::MakeString("9:99"), StateValue::MakeString("99")));
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("home", StateValue::MakeInt(3)));
  members.push_back(MakeStateMember("home_score", StateValue::MakeInt(99)));
  members.push_back(MakeStateMember("guest", StateValue::MakeInt(1)));
  members.push_back(MakeStateMember("clock", StateValue::MakeString("12:34")));
  members.push_back(MakeStateMember("Period", StateValue::MakeString("wrong case")));
  members.push_back(MakeStateMember("period_display", StateValue::MakeString("2nd")));
  members.push_back(MakeStateMember("penalties", StateValue::MakeArray(std::move(penalties))));
  return StateValue::MakeObject(std::move(members));
}

TEST(VmixSourceValue, PicksTheMemberEachSourceStandsFor) {
  const StateValue state = SampleState();
  const struct {
    const char* source;
    std::string text;
  } cases[] = {
      {"home_score", "3"},       // reads "home", never "home_score"
      {"guest_score", "1"},
      {"clock", "12:34"},
      {"period", ""},            // "Period" differs in case
      {"period_display", "2nd"},
      {"shot_clock", ""},        // missing member
      {"home_penalty_1", "1:30"},  // the first element with the role counts
      {"home_penalty_player_1", "17"},
      {"home_penalty_2", "0:45"},
      {"home_penalty_player_2", ""},  // the element has no player number
      {"guest_penalty_1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(FormatSetTextValue(VmixSourceValue(state, c.source)), c.text);
  }
  EXPECT_EQ(VmixSourceValue(StateValue::MakeString("x"), "home_score").kind, StateKind::kNull);
}

TEST(VmixSourceValue, PenaltiesThatAreNotAnArrayGiveNothing) {
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("penalties", StateValue::MakeObject({})));
  const StateValue state = StateValue::MakeObject(std::move(members));
  EXPECT_EQ(VmixSourceValue(state, "home_penalty_1").kind, StateKind::kNull);
  EXPECT_EQ(VmixSourceValue(state, "guest_penalty_player_2").kind, StateKind::kNull);
}

TEST(FormatSetTextValue, WritesEachKindAsVmixReadsIt) {
  const struct {
    StateValue value;
    std::string text;
  } cases[] = {
      {StateValue::MakeInt(7), "7"},
      {StateValue::MakeInt(-12), "-12"},
      {StateValue::MakeDouble(12.5), "12.5"},
      {StateValue::MakeDouble(3.0), "3.0"},
      {StateValue::MakeDouble(0.1), "0.1"},
      {StateValue::MakeDouble(1.0 / 3.0), "0.333333333333333"},
      {StateValue::MakeDouble(1e20), "1e+20"},
      {StateValue::MakeDouble(1e15), "1e+15"},
      {StateValue::MakeDouble(1e14), "100000000000000.0"},
      {StateValue::MakeDouble(0.00001), "1e-05"},
      {StateValue::MakeDouble(-0.0), "-0.0"},
      {StateValue::MakeBool(true), "True"},
      {StateValue::MakeBool(false), "False"},
      {StateValue::MakeString("a b"), "a b"},
      {StateValue::MakeNull(), ""},
      {StateValue::MakeArray({StateValue::MakeInt(1)}), ""},
      {StateValue::MakeObject({}), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSetTextValue(c.value), c.text);
}

TEST(PercentEncodeQueryValue, EncodesEveryByteButTheUnreservedOnes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"12:34", "12%3A34"},
      {"Score Board", "Score+Board"},
      {"-._~AZaz09", "-._~AZaz09"},
      {"\xC3\xBC", "%C3%BC"},
      {"a&b=c/d?e#f+g%", "a%26b%3Dc%2Fd%3Fe%23f%2Bg%25"},
      {std::string("\0\n", 2), "%00%0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(PercentEncodeQueryValue(c.in), c.out);
}

TEST(BuildSetTextPath, JoinsTheEncodedPartsInOrder) {
  EXPECT_EQ(BuildSetTextPath("K", "Home.Text", "5"), "/api/?Function=SetText&Input=K&SelectedName=Home.Text&Value=5");
  EXPECT_EQ(BuildSetTextPath("Score Board", "Clock.Text", "12:34"),
            "/api/?Function=SetText&Input=Score+Board&SelectedName=Clock.Text&Value=12%3A34");
  EXPECT_EQ(BuildSetTextPath("3", "Home.Text", ""), "/api/?Function=SetText&Input=3&SelectedName=Home.Text&Value=");
}

}  // namespace
}  // namespace tessvark
