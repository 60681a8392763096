#include "settings/display_format_file.h"

#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/scoreboard_state_store.h"
#include "settings_test_support.h"

namespace tessvark {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

using Row = std::pair<std::string, std::string>;

std::vector<Row> Rows(const std::vector<DisplayRow>& rows) {
  std::vector<Row> pairs;
  for (const DisplayRow& row : rows) pairs.emplace_back(row.ocr, row.display);
  return pairs;
}

TEST(DisplayFormatJson, WritesTheDefaults) {
  const DisplayFormat format = DefaultDisplayFormat();
  EXPECT_THAT(format.game_id, MatchesRegex("[0-9a-f]{32}"));
  EXPECT_NE(NewGameId(), NewGameId());
  EXPECT_EQ(DisplayFormatJson(format, false, {}, {}, {}),
            R"({"version":1,"game_id":")" + format.game_id + R"(",)"
            R"("period":[{"ocr":"1","display":"1"},{"ocr":"2","display":"2"},{"ocr":"3","display":"3"},{"ocr":"4","display":"4"}],)"
            R"("down":[{"ocr":"1","display":"1"},{"ocr":"2","display":"2"},{"ocr":"3","display":"3"},{"ocr":"4","display":"4"}],)"
            R"("separator":"&","separator_custom":"","goal_text":"Goal","goal_to_go":false,"football":false,)"
            R"("preview":{"period":null,"down":null,"down_distance":null}})");
  EXPECT_EQ(DisplayTableJson({{"OT", "Over\ttime \"1\""}}),
            R"([{"ocr":"OT","display":"Over\ttime \"1\""}])");
  EXPECT_EQ(QuoteDisplayJsonText("\b\f\x01\x7F\xC3\xA9"), "\"\\b\\f\\u0001\x7F\xC3\xA9\"");
  EXPECT_EQ(OptionalDisplayTextJson(std::string("1st & 10")), "\"1st & 10\"");
}

struct ParseCase {
  const char* body;
  const char* error;  // empty: accepted
};

TEST(ParseDisplayFormat, RefusesBodiesWithTheirMessages) {
  const ParseCase cases[] = {
      {"{", "Request body is not valid JSON"},
      {"[]", "Request body must be an object"},
      {R"({"colour":"red"})", "Display format has an unknown field"},
      {R"({"version":2})", "Display format version is not supported"},
      {R"({"version":"1"})", "Display format version is not supported"},
      {R"({"version":1e0,"version":5})", ""},
      {R"({"game_id":"   "})", "game_id must be text"},
      {R"({"game_id":7})", "game_id must be text"},
      {R"({"period":{}})", "A display table must be a list"},
      {R"({"period":[{"ocr":"1"}]})", "A display row needs ocr and display"},
      {R"({"period":["1"]})", "A display row needs ocr and display"},
      {R"({"period":[{"ocr":"1","display":2}]})", "Display rows use text"},
      {R"({"period":[{"ocr":" ","display":"x"}]})", "Display rows use text"},
      {R"({"period":[{"ocr":"1","display":"1st"},{"ocr":" 1","display":"first"}]})",
       "A display table cannot repeat an OCR value"},
      {R"({"period":[{"ocr":"1","display":"1st","note":"x"}]})", "A display row has an unknown field"},
      {R"({"separator":"AND"})", "Separator must be &, et, and, or custom"},
      {R"({"separator":" &"})", "Separator must be &, et, and, or custom"},
      {R"({"separator_custom":1})", "Custom separator must be text"},
      {R"({"goal_text":null})", "Goal text must be text"},
      {R"({"goal_to_go":"true"})", "Goal to Go must be true or false"},
      {R"({"new_game":1})", "new_game must be true or false"},
      {R"({"football":"anything","preview":[1,{"x":2}]})", ""},
      {"{}", ""},
  };
  for (const ParseCase& c : cases) {
    DisplayFormat format = DefaultDisplayFormat();
    bool new_game = true;
    std::string error;
    EXPECT_EQ(ParseDisplayFormat(c.body, format, new_game, error), std::string(c.error).empty())
        << c.body;
    EXPECT_EQ(error, c.error) << c.body;
  }
}

TEST(ParseDisplayFormat, OverlaysTheBodyOnTheFormat) {
  DisplayFormat format = DefaultDisplayFormat();
  bool new_game = true;
  std::string error;
  ASSERT_TRUE(ParseDisplayFormat(
      R"({"game_id":"  abc ","period":[{"ocr":" 1 ","display":"1st"},{"ocr":"2","display":""}],)"
      R"("separator":"custom","separator_custom":" and ","goal_text":" Goal ","goal_to_go":true})",
      format, new_game, error)) << error;
  EXPECT_FALSE(new_game);
  EXPECT_EQ(format.game_id, "abc");
  EXPECT_THAT(Rows(format.period_rows), ElementsAre(Row{"1", "1st"}, Row{"2", ""}));
  EXPECT_EQ(format.down_rows.size(), 4u);
  EXPECT_EQ(format.custom_separator, " and ");
  EXPECT_EQ(format.goal_text, " Goal ");
  EXPECT_TRUE(format.goal_to_go);

  ASSERT_TRUE(ParseDisplayFormat(R"({"new_game":true,"goal_to_go":true,"game_id":"keep"})", format,
                                 new_game, error));
  EXPECT_TRUE(new_game);
  EXPECT_FALSE(format.goal_to_go);
  EXPECT_THAT(format.game_id, MatchesRegex("[0-9a-f]{32}"));

  // A failing down table after a valid period table: the period table is already changed.
  DisplayFormat partial = DefaultDisplayFormat();
  EXPECT_FALSE(ParseDisplayFormat(R"({"period":[{"ocr":"OT","display":"Overtime"}],"down":7})",
                                  partial, new_game, error));
  EXPECT_EQ(error, "A display table must be a list");
  EXPECT_THAT(Rows(partial.period_rows), ElementsAre(Row{"OT", "Overtime"}));
  EXPECT_EQ(partial.down_rows.size(), 4u);

  DisplayFormat without_id;
  ASSERT_TRUE(ParseDisplayFormat("{}", without_id, new_game, error));
  EXPECT_THAT(without_id.game_id, MatchesRegex("[0-9a-f]{32}"));
}

TEST(DisplayFormatFile, ReadsAndSavesThroughTheAtomicWriter) {
  TempFolder folder;
  const auto path = folder / "data" / "display_format.json";
  DisplayFormat format;
  std::string error;
  EXPECT_TRUE(ReadDisplayFormat({}, format, error));
  EXPECT_TRUE(ReadDisplayFormat(path, format, error));
  EXPECT_EQ(format.separator, "&");
  EXPECT_TRUE(SaveDisplayFormat({}, format, error));
  EXPECT_FALSE(std::filesystem::exists(folder / "data"));

  format.period_rows = {{"5", "OT"}};
  format.goal_to_go = true;
  ASSERT_TRUE(SaveDisplayFormat(path, format, error)) << error;
  EXPECT_EQ(FolderNames(folder / "data"), std::set<std::string>{"display_format.json"});
  EXPECT_EQ(ReadText(path), DisplayFormatJson(format, false, {}, {}, {}));
  DisplayFormat read;
  ASSERT_TRUE(ReadDisplayFormat(path, read, error)) << error;
  EXPECT_EQ(read.game_id, format.game_id);
  EXPECT_THAT(Rows(read.period_rows), ElementsAre(Row{"5", "OT"}));
  EXPECT_TRUE(read.goal_to_go);
}

TEST(DisplayFormatFile, AnUnusableFileGivesTheDefaultsAndIsKeptBeforeTheNextSave) {
  TempFolder folder;
  const auto path = folder / "display_format.json";
  const std::string old_text = R"({"version":1,"period":[{"ocr":"1","display":"1st"}],"separator":"/"})";
  WriteText(path, old_text);
  DisplayFormat format;
  std::string error;
  EXPECT_FALSE(ReadDisplayFormat(path, format, error));
  EXPECT_EQ(error, "Separator must be &, et, and, or custom");
  EXPECT_EQ(format.period_rows.size(), 4u);
  ASSERT_TRUE(SaveDisplayFormat(path, format, error)) << error;
  EXPECT_EQ(ReadText(folder / "display_format.json.unreadable"), old_text);
  EXPECT_TRUE(ReadDisplayFormat(path, format, error)) << error;

  MakeUnreadableFile(folder / "other.json");
  EXPECT_FALSE(ReadDisplayFormat(folder / "other.json", format, error));
  EXPECT_FALSE(error.empty());
}

TEST(DisplayFormatFile, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "display_format.json" / "inside");
  std::string error;
  EXPECT_FALSE(SaveDisplayFormat(folder / "display_format.json", DefaultDisplayFormat(), error));
  EXPECT_EQ(error, "Display format could not be saved");
  EXPECT_TRUE(std::filesystem::is_directory(folder / "display_format.json" / "inside"));
  EXPECT_EQ(FolderNames(folder.path()), std::set<std::string>{"display_format.json"});
}

TEST(DisplayValues, LookUpPeriodAndDownAndJoinTheDistance) {
  DisplayFormat format = DefaultDisplayFormat();
  format.period_rows = {{"2", "2nd"}};
  format.down_rows = {{"1", "1st"}};
  EXPECT_EQ(LookupDisplayText(format.period_rows, std::string("2")), "2nd");
  EXPECT_EQ(LookupDisplayText(format.period_rows, std::string("OT")), "OT");
  EXPECT_EQ(LookupDisplayText(format.period_rows, std::string("")), std::nullopt);
  EXPECT_EQ(LookupDisplayText({{"2", ""}}, std::string("2")), "2");

  struct Case {
    const char* separator;
    const char* custom;
    const char* goal_text;
    bool goal;
    std::optional<std::string> to_go;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"&", "", "Goal", false, "10", "1st & 10"},
      {"custom", "  and ", "Goal", false, "10", "1st and 10"},
      {"custom", "", "Goal", false, "10", "1st 10"},
      {"&", "", "Goal", false, std::nullopt, std::nullopt},
      {"et", "", "Goal", true, std::nullopt, "1st et Goal"},
      {"&", "", "   ", true, "10", std::nullopt},
  };
  for (const Case& c : cases) {
    format.separator = c.separator;
    format.custom_separator = c.custom;
    format.goal_text = c.goal_text;
    EXPECT_EQ(DownDistanceText(std::string("1"), c.to_go, format, c.goal), c.expected)
        << c.separator << "/" << c.custom;
  }
  EXPECT_EQ(DownDistanceText(std::nullopt, std::string("10"), format, false), std::nullopt);
}

StateValue Values(StateValue period, StateValue down, StateValue to_go) {
  return StateValue::MakeObject({MakeStateMember("period", std::move(period)),
                                 MakeStateMember("down", std::move(down)),
                                 MakeStateMember("to_go", std::move(to_go)),
                                 MakeStateMember("home", StateValue::MakeInt(1))});
}

TEST(ScoreboardStateStoreDisplay, AppendsTheFourDisplayMembersAfterUpdatedAt) {
  ScoreboardStateStore store("agent", [] { return std::string("2026-12-10T13:00:00Z"); });
  DisplayFormat format = DefaultDisplayFormat();
  format.period_rows = {{"2", "2nd"}};
  format.down_rows = {{"1", "1st"}};
  format.goal_to_go = true;
  // Nothing on the board yet, so no display member changes.
  EXPECT_FALSE(store.SetDisplayFormat(format, false));
  store.ApplyValues(Values(StateValue::MakeInt(2), StateValue::MakeInt(1), StateValue::MakeInt(10)));
  StateValue state = store.SnapshotWithDisplay();
  const std::vector<StateMember>& members = state.members;
  ASSERT_GE(members.size(), 5u);
  EXPECT_EQ(members[members.size() - 5].key, "updated_at");
  EXPECT_EQ(members[members.size() - 4].key, "period_display");
  EXPECT_EQ(state.ToJson().substr(state.ToJson().find("\"period_display\"")),
            R"("period_display":"2nd","down_display":"1st","down_distance":"1st & 10","goal_to_go":false})");
  EXPECT_EQ(store.Snapshot().Find("period_display"), nullptr);

  // Goal to go counts only for American football.
  EXPECT_TRUE(store.SetDisplayFormat(format, true));
  state = store.SnapshotWithDisplay();
  EXPECT_EQ(state.Find("down_distance")->text, "1st & Goal");
  EXPECT_TRUE(state.Find("goal_to_go")->bool_value);

  store.ApplyValues(Values(StateValue::MakeDouble(2.0), StateValue::MakeNull(), StateValue::MakeString("OT")));
  state = store.SnapshotWithDisplay();
  EXPECT_EQ(state.Find("period_display")->kind, StateKind::kNull);
  EXPECT_EQ(state.Find("down_display")->kind, StateKind::kNull);
  EXPECT_EQ(state.Find("down_distance")->kind, StateKind::kNull);
}

TEST(ScoreboardStateStoreDisplay, RaisesTheRevisionOnlyWhenTheDisplayChanges) {
  ScoreboardStateStore store("agent", [] { return std::string("t"); });
  store.ApplyValues(Values(StateValue::MakeInt(1), StateValue::MakeNull(), StateValue::MakeNull()));
  const StateValue published = store.Snapshot();
  EXPECT_EQ(store.DisplayRevision(), 0u);
  DisplayFormat format = DefaultDisplayFormat();
  EXPECT_FALSE(store.SetDisplayFormat(format, false));
  format.game_id = NewGameId();
  EXPECT_FALSE(store.SetDisplayFormat(format, false));
  format.down_rows = {{"1", "1st"}};  // no down on the board: nothing shown changes
  EXPECT_FALSE(store.SetDisplayFormat(format, false));
  EXPECT_EQ(store.DisplayRevision(), 0u);
  format.period_rows = {{"1", "1st"}};
  EXPECT_TRUE(store.SetDisplayFormat(format, false));
  EXPECT_EQ(store.DisplayRevision(), 1u);
  EXPECT_TRUE(store.Snapshot().Equals(published));
  EXPECT_EQ(store.Snapshot().Find("sequence")->int_value, published.Find("sequence")->int_value);
}

}  // namespace
}  // namespace tessvark
