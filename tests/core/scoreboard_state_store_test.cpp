#include "core/scoreboard_state_store.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/role_table_with_one_more_row.h"

namespace tessvark {
namespace {

// A clock that counts its calls, so every published timestamp is known.
struct CountingClock {
  int calls = 0;
  TimestampClock Function() {
    return [this] { return "t" + std::to_string(++calls); };
  }
};

StateValue Values(std::vector<StateMember> members) { return StateValue::MakeObject(std::move(members)); }

TEST(ScoreboardStateStore, InitialDocumentHasTheFixedKeysAndOrder) {
  CountingClock clock;
  ScoreboardStateStore store("agent", clock.Function());
  EXPECT_EQ(store.Snapshot().ToJson(),
            R"({"schema_version":"1","source_id":"agent","home":null,"guest":null,"period":null,)"
            R"("clock":null,"clock_mode":null,"home_shots":null,"guest_shots":null,"shot_clock":null,)"
            R"("down":null,"to_go":null,"ball_on":null,"home_timeouts":null,"guest_timeouts":null,)"
            R"("home_possession":null,"guest_possession":null,"penalties":[],"clock_seconds":null,)"
            R"("sequence":0,"updated_at":"t1"})");
}

TEST(ScoreboardStateStore, EmptyOrNullValuesChangeNothing) {
  CountingClock clock;
  ScoreboardStateStore store("agent", clock.Function());
  const std::string initial = store.Snapshot().ToJson();
  EXPECT_EQ(store.ApplyValues(Values({})).ToJson(), initial);
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("penalties", StateValue::MakeNull()));
  members.push_back(MakeStateMember("home", StateValue::MakeNull()));
  EXPECT_EQ(store.ApplyValues(Values(std::move(members))).ToJson(), initial);
  EXPECT_EQ(store.ApplyValues(StateValue::MakeInt(5)).ToJson(), initial);
  EXPECT_EQ(clock.calls, 1);
}

TEST(ScoreboardStateStore, FirstChangeRaisesSequenceAndMovesClockSeconds) {
  CountingClock clock;
  ScoreboardStateStore store("agent", clock.Function());
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("home", StateValue::MakeInt(3)));
  members.push_back(MakeStateMember("extra", StateValue::MakeInt(1)));
  const StateValue state = store.ApplyValues(Values(std::move(members)));
  EXPECT_EQ(state.ToJson(),
            R"({"schema_version":"1","source_id":"agent","home":3,"guest":null,"period":null,)"
            R"("clock":null,"clock_seconds":null,"clock_mode":null,"home_shots":null,"guest_shots":null,)"
            R"("shot_clock":null,"down":null,"to_go":null,"ball_on":null,"home_timeouts":null,)"
            R"("guest_timeouts":null,"home_possession":null,"guest_possession":null,"penalties":[],)"
            R"("sequence":1,"updated_at":"t2"})");
  EXPECT_EQ(state.Find("extra"), nullptr);
}

TEST(ScoreboardStateStore, ChangeTestFollowsTheTrackedKeys) {
  CountingClock clock;
  ScoreboardStateStore store("agent", clock.Function());
  auto apply = [&store](StateValue home, StateValue clock_seconds, StateValue penalties) {
    std::vector<StateMember> members;
    members.push_back(MakeStateMember("home", std::move(home)));
    members.push_back(MakeStateMember("clock_seconds", std::move(clock_seconds)));
    members.push_back(MakeStateMember("penalties", std::move(penalties)));
    return store.ApplyValues(StateValue::MakeObject(std::move(members)));
  };
  auto penalty = [](std::vector<std::pair<const char*, std::int64_t>> fields) {
    std::vector<StateMember> members;
    for (auto& [key, value] : fields) members.push_back(MakeStateMember(key, StateValue::MakeInt(value)));
    return StateValue::MakeObject(std::move(members));
  };
  auto penalties = [](std::vector<StateValue> entries) { return StateValue::MakeArray(std::move(entries)); };

  StateValue state = apply(StateValue::MakeInt(3), StateValue::MakeDouble(90.0),
                           penalties({penalty({{"player", 7}, {"seconds", 120}}), penalty({{"player", 9}})}));
  EXPECT_EQ(state.Find("sequence")->int_value, 1);

  // Same values again: same sequence and timestamp.
  state = apply(StateValue::MakeInt(3), StateValue::MakeDouble(90.0),
                penalties({penalty({{"player", 7}, {"seconds", 120}}), penalty({{"player", 9}})}));
  EXPECT_EQ(state.Find("sequence")->int_value, 1);
  EXPECT_EQ(state.Find("updated_at")->text, "t2");

  // Only clock_seconds differs: nothing is published, the old clock_seconds stays.
  state = apply(StateValue::MakeInt(3), StateValue::MakeDouble(89.0),
                penalties({penalty({{"player", 7}, {"seconds", 120}}), penalty({{"player", 9}})}));
  EXPECT_EQ(state.Find("sequence")->int_value, 1);
  EXPECT_EQ(state.Find("clock_seconds")->double_value, 90.0);

  // Penalty members in another order are the same penalty.
  state = apply(StateValue::MakeInt(3), StateValue::MakeDouble(90.0),
                penalties({penalty({{"seconds", 120}, {"player", 7}}), penalty({{"player", 9}})}));
  EXPECT_EQ(state.Find("sequence")->int_value, 1);

  // Penalty entries in another order are a change.
  state = apply(StateValue::MakeInt(3), StateValue::MakeDouble(90.0),
                penalties({penalty({{"player", 9}}), penalty({{"player", 7}, {"seconds", 120}})}));
  EXPECT_EQ(state.Find("sequence")->int_value, 2);
  EXPECT_EQ(state.Find("updated_at")->text, "t3");

  // Integer 3 then double 3.0: the kinds differ, so it is a change.
  state = apply(StateValue::MakeDouble(3.0), StateValue::MakeDouble(90.0),
                penalties({penalty({{"player", 9}}), penalty({{"player", 7}, {"seconds", 120}})}));
  EXPECT_EQ(state.Find("sequence")->int_value, 3);
  EXPECT_EQ(store.Snapshot().ToJson(), state.ToJson());
}

TEST(TrackedStateKeys, AreTheStateValueKeysOfTheTableButTheClockSeconds) {
  using Keys = std::vector<std::string_view>;
  const Keys tracked = {"home",          "guest",          "period",          "clock",
                        "clock_mode",    "home_shots",     "guest_shots",     "shot_clock",
                        "down",          "to_go",          "ball_on",         "home_timeouts",
                        "guest_timeouts", "home_possession", "guest_possession", "penalties"};
  EXPECT_EQ(TrackedStateKeys(AgentRoleTable()), tracked);

  Keys with_fouls = tracked;
  with_fouls.insert(with_fouls.begin() + 7, "home_fouls");
  ASSERT_EQ(with_fouls[6], "guest_shots");
  EXPECT_EQ(TrackedStateKeys(testing::RoleTableWithOneMoreRow()), with_fouls);
}

TEST(ScoreboardStateStore, AChangeOfAnyTrackedKeyAloneIsPublished) {
  for (const std::string_view key : StateValueKeys(AgentRoleTable())) {
    CountingClock clock;
    ScoreboardStateStore store("agent", clock.Function());
    std::vector<StateMember> members;
    members.push_back(MakeStateMember(key, StateValue::MakeInt(1)));
    const StateValue state = store.ApplyValues(Values(std::move(members)));
    const bool tracked = key != "clock_seconds";
    EXPECT_EQ(state.Find("sequence")->int_value, tracked ? 1 : 0) << key;
    EXPECT_EQ(state.Find(key)->ToJson(), tracked ? "1" : "null") << key;
  }
}

TEST(ScoreboardStateStore, NonNullPenaltiesOfAnyKindArePublished) {
  ScoreboardStateStore store("agent", [] { return std::string("t"); });
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("penalties", StateValue::MakeString("none")));
  const StateValue state = store.ApplyValues(StateValue::MakeObject(std::move(members)));
  EXPECT_EQ(state.Find("penalties")->text, "none");
  EXPECT_EQ(state.Find("sequence")->int_value, 1);
}

TEST(ScoreboardStateStore, EmptySourceIdAndClockTakeTheDefaults) {
  ScoreboardStateStore store("", nullptr);
  const StateValue state = store.Snapshot();
  EXPECT_EQ(state.Find("source_id")->text, DefaultSourceId());
  EXPECT_FALSE(state.Find("source_id")->text.empty());
  EXPECT_TRUE(std::regex_match(state.Find("updated_at")->text,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z)")));
}

TEST(UtcTimestampNow, HasTheFixedFormAndNoZeroMicroseconds) {
  const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z)");
  for (int i = 0; i < 50; ++i) {
    const std::string text = UtcTimestampNow();
    ASSERT_TRUE(std::regex_match(text, form)) << text;
    EXPECT_EQ(text.find(".000000"), std::string::npos) << text;
  }
}

TEST(ScoreboardStateStore, ConcurrentWritersAndReadersSeeWholeDocuments) {
  ScoreboardStateStore store("agent", [] { return std::string("t"); });
  std::thread writer([&store] {
    for (int i = 0; i < 2000; ++i) {
      std::vector<StateMember> members;
      members.push_back(MakeStateMember("home", StateValue::MakeInt(i)));
      store.ApplyValues(StateValue::MakeObject(std::move(members)));
    }
  });
  std::int64_t last = 0;
  for (int i = 0; i < 2000; ++i) {
    const StateValue snapshot = store.Snapshot();
    // The document's own members (schema, source, sequence, time) and the values of the roles.
    ASSERT_EQ(snapshot.members.size(), StateValueKeys(AgentRoleTable()).size() + 4);
    const std::int64_t sequence = snapshot.Find("sequence")->int_value;
    EXPECT_GE(sequence, last);
    last = sequence;
  }
  writer.join();
  // Value 0 of the first write is a change from null too, so every write counts.
  EXPECT_EQ(store.Snapshot().Find("sequence")->int_value, 2000);
}

}  // namespace
}  // namespace tessvark
