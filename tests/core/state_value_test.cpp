#include "core/state_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace tessvark {
namespace {

StateValue Object(std::vector<StateMember> members) { return StateValue::MakeObject(std::move(members)); }

TEST(StateValueToJson, WritesMembersInOrderWithoutSpaces) {
  StateValue value = Object({});
  value.members.push_back(MakeStateMember("a", StateValue::MakeInt(1)));
  value.members.push_back(MakeStateMember("b", StateValue::MakeDouble(1)));
  value.members.push_back(MakeStateMember("c", StateValue::MakeString("x\ny")));
  value.members.push_back(MakeStateMember("d", StateValue::MakeNull()));
  value.members.push_back(MakeStateMember("e", StateValue::MakeArray({})));
  value.members.push_back(MakeStateMember("f", StateValue::MakeBool(false)));
  value.members.push_back(MakeStateMember("g", Object({})));
  EXPECT_EQ(value.ToJson(), R"({"a":1,"b":1.0,"c":"x\ny","d":null,"e":[],"f":false,"g":{}})");
}

TEST(StateValueToJson, SortKeysOrdersMembersByKey) {
  StateValue value = Object({});
  value.members.push_back(MakeStateMember("z", StateValue::MakeInt(1)));
  value.members.push_back(MakeStateMember("a", Object({})));
  value.members[1].value.members.push_back(MakeStateMember("y", StateValue::MakeInt(2)));
  value.members[1].value.members.push_back(MakeStateMember("b", StateValue::MakeInt(3)));
  EXPECT_EQ(value.ToJson(true), R"({"a":{"b":3,"y":2},"z":1})");
  EXPECT_EQ(value.ToJson(), R"({"z":1,"a":{"y":2,"b":3}})");
}

TEST(FormatPythonJsonNumber, SixteenDigitsWithPointOrExponent) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.5, "0.5"},
      {-2.0, "-2.0"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {123456.789, "123456.789"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1 + 0.2, "0.3"},
      {1.234567890123457e17, "1.234567890123457e+17"},
      {5.0, "5.0"},
      {-1.5e-300, "-1.5e-300"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatPythonJsonNumber(c.value), c.text) << c.text;
}

TEST(StateValueToJson, NonFiniteDoubleAnywhereRefusesTheWholeDocument) {
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()}) {
    StateValue value = Object({});
    value.members.push_back(MakeStateMember("ok", StateValue::MakeInt(1)));
    std::vector<StateValue> items;
    items.push_back(StateValue::MakeDouble(bad));
    value.members.push_back(MakeStateMember("list", StateValue::MakeArray(std::move(items))));
    try {
      value.ToJson();
      FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "Python json rejects non-finite numbers");
    }
  }
}

TEST(AppendQuotedJsonString, EscapesControlBytesAndPassesTheRest) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"\b\t\n\f\r\"\\", R"("\b\t\n\f\r\"\\")"},
      {"\x1F", R"("\u001f")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\x0B", R"("\u000b")"},
      {"a/b\x7F", "\"a/b\x7F\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},
  };
  for (const auto& c : cases) {
    std::string out;
    AppendQuotedJsonString(c.text, out);
    EXPECT_EQ(out, c.json);
  }
}

TEST(StateValueEquals, DeepEqualityRules) {
  StateValue ab = Object({});
  ab.members.push_back(MakeStateMember("a", StateValue::MakeInt(1)));
  ab.members.push_back(MakeStateMember("b", StateValue::MakeInt(2)));
  StateValue ba = Object({});
  ba.members.push_back(MakeStateMember("b", StateValue::MakeInt(2)));
  ba.members.push_back(MakeStateMember("a", StateValue::MakeInt(1)));
  EXPECT_TRUE(ab.Equals(ba));
  StateValue abc = ab;
  abc.members.push_back(MakeStateMember("c", StateValue::MakeInt(3)));
  EXPECT_FALSE(abc.Equals(ab));
  EXPECT_FALSE(ab.Equals(abc));

  std::vector<StateValue> one_two;
  one_two.push_back(StateValue::MakeInt(1));
  one_two.push_back(StateValue::MakeInt(2));
  std::vector<StateValue> two_one;
  two_one.push_back(StateValue::MakeInt(2));
  two_one.push_back(StateValue::MakeInt(1));
  EXPECT_FALSE(StateValue::MakeArray(std::move(one_two)).Equals(StateValue::MakeArray(std::move(two_one))));

  EXPECT_FALSE(StateValue::MakeInt(1).Equals(StateValue::MakeDouble(1.0)));
  const StateValue nan = StateValue::MakeDouble(std::nan(""));
  EXPECT_FALSE(nan.Equals(nan));
  EXPECT_TRUE(StateValue::MakeDouble(0.0).Equals(StateValue::MakeDouble(-0.0)));
  EXPECT_TRUE(StateValue::MakeNull().Equals(StateValue::MakeNull()));
  EXPECT_FALSE(StateValue::MakeString("a").Equals(StateValue::MakeString("ab")));
  EXPECT_FALSE(StateValue::MakeBool(true).Equals(StateValue::MakeBool(false)));
}

TEST(StateValueText, OptionalTextConversions) {
  const StateValue minus_five = StateValue::MakeInt(-5);
  EXPECT_EQ(StateValue::ToOptionalText(&minus_five), "-5");
  const StateValue word = StateValue::MakeString("OT");
  EXPECT_EQ(StateValue::ToOptionalText(&word), "OT");
  const StateValue empty = StateValue::MakeString("");
  EXPECT_FALSE(StateValue::ToOptionalText(&empty).has_value());
  const StateValue three = StateValue::MakeDouble(3.0);
  EXPECT_FALSE(StateValue::ToOptionalText(&three).has_value());
  EXPECT_FALSE(StateValue::ToOptionalText(nullptr).has_value());

  const StateValue from_empty = StateValue::FromOptionalText(std::string());
  EXPECT_EQ(from_empty.kind, StateKind::kString);
  EXPECT_TRUE(from_empty.text.empty());
  EXPECT_EQ(StateValue::FromOptionalText(std::nullopt).kind, StateKind::kNull);
}

TEST(StateValueSet, ReplacesTheFirstMatchInPlaceOrAppends) {
  StateValue value = Object({});
  value.members.push_back(MakeStateMember("k", StateValue::MakeInt(1)));
  value.members.push_back(MakeStateMember("other", StateValue::MakeInt(2)));
  value.members.push_back(MakeStateMember("k", StateValue::MakeInt(3)));
  value.Set("k", StateValue::MakeInt(9));
  value.Set("new", StateValue::MakeInt(4));
  EXPECT_EQ(value.ToJson(), R"({"k":9,"other":2,"k":3,"new":4})");
}

TEST(StateValueFind, OnlyObjectsHaveMembers) {
  EXPECT_EQ(StateValue::MakeNull().Find("a"), nullptr);
  EXPECT_EQ(StateValue::MakeArray({}).Find("a"), nullptr);
  StateValue value = Object({});
  value.members.push_back(MakeStateMember("a", StateValue::MakeInt(1)));
  value.members.push_back(MakeStateMember("a", StateValue::MakeInt(2)));
  ASSERT_NE(value.Find("a"), nullptr);
  EXPECT_EQ(value.Find("a")->int_value, 1);
  EXPECT_EQ(value.Find("ab"), nullptr);
}

TEST(StateValueBuilders, MovedArgumentsAreLeftEmpty) {
  std::string text = "moved";
  const StateValue value = StateValue::MakeString(std::move(text));
  EXPECT_EQ(value.text, "moved");
  EXPECT_TRUE(text.empty());
  StateValue inner = StateValue::MakeInt(7);
  const StateMember member = MakeStateMember("n", std::move(inner));
  EXPECT_EQ(member.value.int_value, 7);
  EXPECT_EQ(inner.kind, StateKind::kNull);
}

}  // namespace
}  // namespace tessvark
