#include "settings/sport_selection.h"

#include <string>

#include <gtest/gtest.h>

#include "settings/config_store.h"
#include "settings_test_support.h"

namespace tessvark {
namespace {

const std::string kNdi = ProfileKey("ndi", "HOST-Board");
const std::string kSrt = ProfileKey("srt", "srt");

SportsCatalog TwoSports() {
  SportsCatalog catalog;
  for (const char* code : {"football", "soccer"}) {
    Sport sport;
    sport.code = code;
    DataDefinition score;
    score.data_key = "home_score";
    score.agent_role = "home_score";
    score.support = DefinitionSupport::kNative;
    score.ocr_available = true;
    DataDefinition play_clock;
    play_clock.data_key = "play_clock";
    play_clock.agent_role = "shot_clock";
    play_clock.aliases = {"shot_clock"};
    play_clock.support = DefinitionSupport::kNative;
    play_clock.ocr_available = true;
    DataDefinition yards;
    yards.data_key = "yards";
    sport.definitions = {score, play_clock, yards};
    catalog.sports.push_back(sport);
  }
  return catalog;
}

TEST(SportSelectionStore, WithoutADataFolderTheSelectionLivesInMemory) {
  SportSelectionStore store;
  EXPECT_FALSE(store.ReadSelection().valid);
  std::string error;
  ASSERT_TRUE(store.SaveSelection("football", kNdi, error));
  const SportSelection selection = store.ReadSelection();
  EXPECT_TRUE(selection.valid);
  EXPECT_EQ(selection.selected_sport, "football");
  ASSERT_EQ(selection.by_source.size(), 1u);
  EXPECT_EQ(selection.by_source[0].first, kNdi);
}

TEST(SportSelectionStore, SavesSortedPairsAndUpdatesAKnownSource) {
  TempFolder folder;
  SportSelectionStore store(folder / "data" / "sport_selection.json");
  std::string error;
  ASSERT_TRUE(store.SaveSelection("soccer", kSrt, error)) << error;
  ASSERT_TRUE(store.SaveSelection("football", kNdi, error)) << error;
  ASSERT_TRUE(store.SaveSelection("football", kNdi, error)) << error;
  ASSERT_TRUE(store.SaveSelection("soccer", "", error)) << error;
  EXPECT_EQ(ReadText(folder / "data" / "sport_selection.json"),
            R"({"by_source":{"{\"source_id\":\"HOST-Board\",\"source_type\":\"ndi\"}":"football",)"
            R"("{\"source_id\":\"srt\",\"source_type\":\"srt\"}":"soccer"},"selected_sport":"soccer","version":1})");
  EXPECT_EQ(FolderNames(folder / "data"), std::set<std::string>{"sport_selection.json"});
}

TEST(SportSelectionStore, ReadsFilesStrictly) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
    const char* sport;  // null: no sport read
    std::size_t pairs;
  };
  const Case cases[] = {
      {"complete", R"({"version":1.0,"selected_sport":"curling","by_source":{"a":"x","b":7,"a":"y"},"z":1})",
       true, "curling", 2},
      {"no sport selected", R"({"version":1,"selected_sport":null,"by_source":{}})", true, nullptr, 0},
      {"version 2", R"({"version":2,"selected_sport":"soccer","by_source":{"a":"x"}})", false, nullptr, 0},
      {"no selected_sport", R"({"version":1,"by_source":{"a":"x"}})", false, nullptr, 0},
      {"sport as a number", R"({"version":1,"selected_sport":3,"by_source":{}})", false, nullptr, 0},
      {"no by_source", R"({"version":1,"selected_sport":"soccer"})", false, "soccer", 0},
      {"not JSON", R"({"version":1,)", false, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    WriteText(folder / "sport_selection.json", c.text);
    const SportSelection selection = SportSelectionStore(folder / "sport_selection.json").ReadSelection();
    EXPECT_EQ(selection.valid, c.valid);
    EXPECT_EQ(selection.selected_sport.has_value(), c.sport != nullptr);
    if (c.sport != nullptr && selection.selected_sport) {
      EXPECT_EQ(*selection.selected_sport, c.sport);
    }
    EXPECT_EQ(selection.by_source.size(), c.pairs);
  }
}

// A file that does not read completely starts the next save from an empty selection, and its
// text is kept before it is replaced.
TEST(SportSelectionStore, KeepsAnIncompleteFileBeforeReplacingIt) {
  TempFolder folder;
  const auto path = folder / "sport_selection.json";
  const std::string old_text = R"({"version":2,"selected_sport":"soccer","by_source":{"k":"soccer"}})";
  WriteText(path, old_text);
  SportSelectionStore store(path);
  std::string error;
  ASSERT_TRUE(store.SaveSelection("football", "", error)) << error;
  EXPECT_EQ(ReadText(path), R"({"by_source":{},"selected_sport":"football","version":1})");
  EXPECT_EQ(ReadText(folder / "sport_selection.json.unreadable"), old_text);
  // A complete file is replaced without a copy; a member of another type is dropped.
  WriteText(path, R"({"version":1,"selected_sport":null,"by_source":{"k":3,"j":"soccer"}})");
  ASSERT_TRUE(store.SaveSelection("football", "", error)) << error;
  EXPECT_EQ(ReadText(path), R"({"by_source":{"j":"soccer"},"selected_sport":"football","version":1})");
  EXPECT_EQ(FolderNames(folder.path()),
            (std::set<std::string>{"sport_selection.json", "sport_selection.json.unreadable"}));
}

TEST(SportSelectionStore, RefusesPathsOutsideTheStoreAndFailedWrites) {
  TempFolder folder;
  std::string error;
  SportSelectionStore refused("../sport_selection.json");
  EXPECT_FALSE(refused.SaveSelection("football", "", error));
  EXPECT_EQ(error, "sport selection path is not the development store");

  std::filesystem::create_directories(folder / "sport_selection.json" / "inside");
  SportSelectionStore blocked(folder / "sport_selection.json");
  EXPECT_FALSE(blocked.SaveSelection("football", "", error));
  EXPECT_EQ(error, "sport selection could not be saved");
  EXPECT_FALSE(std::filesystem::exists(folder / "sport_selection.json.tmp"));
}

// A selection its reader would refuse (over 1 MiB) is not written: the file and the selection in
// memory stay as they were.
TEST(SportSelectionStore, RefusesASelectionLargerThanItsReaderTakes) {
  TempFolder folder;
  const auto path = folder / "sport_selection.json";
  SportSelectionStore store(path);
  std::string error;
  ASSERT_TRUE(store.SaveSelection("soccer", kSrt, error)) << error;
  const std::string before = ReadText(path);
  EXPECT_FALSE(store.SaveSelection("football", ProfileKey("srt", std::string(1048576, 'i')), error));
  EXPECT_EQ(error, "sport selection would be larger than 1048576 bytes");
  EXPECT_EQ(ReadText(path), before);
  EXPECT_EQ(store.ReadSelection().selected_sport, "soccer");
  EXPECT_EQ(FolderNames(folder.path()), std::set<std::string>{"sport_selection.json"});
}

TEST(SelectionJson, ReportsOnlyWhatTheCatalogKnows) {
  SportSelection selection;
  selection.selected_sport = "curling";
  selection.by_source = {{kNdi, "football"}, {kSrt, "curling"}};
  const SportsCatalog catalog = TwoSports();
  EXPECT_EQ(SelectionJson(selection, catalog),
            R"({"selected_sport":null,"by_source":{"{\"source_id\":\"HOST-Board\",\"source_type\":\"ndi\"}":"football"}})");
  selection.selected_sport = "soccer";
  EXPECT_EQ(SelectionJsonWithRoles(selection, catalog, "soccer"),
            R"({"selected_sport":"soccer","by_source":{"{\"source_id\":\"HOST-Board\",\"source_type\":\"ndi\"}":"football"},)"
            R"("agent_roles":{"home_score":"home_score","shot_clock":"play_clock"}})");
  EXPECT_EQ(SelectionJsonWithRoles(SportSelection{}, catalog, "curling"),
            R"({"selected_sport":null,"by_source":{},"agent_roles":{}})");
}

}  // namespace
}  // namespace tessvark
