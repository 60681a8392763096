// The session state's own rules: the zones that follow an applied sport, the stored
// configuration into and out of the maps, and storing a zone list with its undo.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "session/session_state.h"
#include "settings/config_store.h"

namespace tessvark {
namespace {

OcrZone Zone(const std::string& id, const std::string& role) {
  OcrZone zone;
  zone.id = id;
  zone.role = role;
  zone.width = 0.5;
  zone.height = 0.25;
  return zone;
}

std::vector<std::string> Ids(const std::vector<OcrZone>& zones) {
  std::vector<std::string> ids;
  for (const OcrZone& zone : zones) ids.push_back(zone.id);
  return ids;
}

void Select(SessionState& state, const std::string& type, const std::string& id) {
  state.selected = true;
  state.source_type = type;
  state.source_id = id;
}

class StateFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("tessvark-session-state-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // A store whose folder is a plain file, so that every save fails.
  std::unique_ptr<ConfigStore> FailingStore() {
    std::ofstream(folder_ / "not-a-folder") << "x";
    return std::make_unique<ConfigStore>(folder_ / "not-a-folder");
  }

  std::filesystem::path folder_;
};

TEST(SessionZones, FollowAnAppliedSport) {
  SessionState state;
  Select(state, "ndi", "cam");
  state.zone_map["ndi\ncam"] = {Zone("a", "clock"), Zone("b", "down"), Zone("c", "home_score")};
  EXPECT_EQ(Ids(ZonesForCurrentSource(state)), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(CurrentZonesText(state), OcrZoneListJson(state.zone_map["ndi\ncam"]));

  state.sport_active = true;
  state.active_sport = "hockey";
  state.active_roles = {"home_score", "clock"};
  EXPECT_EQ(Ids(ZonesForCurrentSource(state)), (std::vector<std::string>{"a", "c"}))
      << "the sport's roles, in stored order";
  EXPECT_EQ(state.zone_map["ndi\ncam"].size(), 3u) << "the stored list is unchanged";

  const std::string own = R"([ {"id":"p","role":"period","x":0,"y":0,"width":1,"height":1} ])";
  state.sport_zones.profiles.push_back({"football", "ndi", "cam", "[]"});
  state.sport_zones.profiles.push_back({"hockey", "ndi", "cam", own});
  EXPECT_EQ(Ids(ZonesForCurrentSource(state)), (std::vector<std::string>{"p"}));
  EXPECT_EQ(CurrentZonesText(state), own) << "the sport's own set exactly as stored";

  state.selected = false;
  EXPECT_TRUE(ZonesForCurrentSource(state).empty()) << "no selection: the empty \"none\" list";
  EXPECT_EQ(CurrentZonesText(state), "[]");
}

SourceConfiguration StoredRecord() {
  SourceConfiguration record;
  record.source_type = "ndi";
  record.source_id = "cam";
  record.ndi_source_id = "cam";
  record.ndi_source_name = "Camera";
  ZoneProfile& cam = record.FindOrAddProfile(ProfileKey("ndi", "cam"));
  cam.zones = OcrZoneListJson({Zone("a", "clock")});
  cam.has_zones = true;
  cam.hide_empty = true;
  cam.has_hide_empty = true;
  ZoneProfile& unscoped = record.FindOrAddProfile(ProfileKey("geometry", "unscoped"));
  unscoped.zones = OcrZoneListJson({Zone("never", "clock")});
  unscoped.has_zones = true;
  unscoped.has_geometry = true;
  unscoped.corners = ProfileCorners{{0.1, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}};
  record.FindOrAddProfile("not a key");
  return record;
}

TEST(SessionConfiguration, AppliedRecordFillsTheSelectionAndTheMaps) {
  SessionState state;
  ApplySourceConfiguration(state, StoredRecord());
  EXPECT_TRUE(state.selected);
  EXPECT_EQ(state.source_name, "cam");
  EXPECT_EQ(state.remembered_ndi_name, "Camera");
  EXPECT_TRUE(state.published_selected);
  EXPECT_EQ(state.published_source_id, "cam");
  EXPECT_EQ(Ids(state.zone_map["ndi\ncam"]), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(state.hide_empty_map["ndi\ncam"]);
  EXPECT_EQ(state.default_geometry.top_left.x, 0.1);
  EXPECT_EQ(state.zone_map.count("geometry\nunscoped"), 0u) << "its zones are never applied";
  EXPECT_EQ(state.geometry_map.count("ndi\ncam"), 0u);
}

TEST(SessionConfiguration, BuiltRecordKeepsEveryProfileAndAppendsNewOnes) {
  SessionState state;
  ApplySourceConfiguration(state, StoredRecord());
  state.zone_map["none"] = {Zone("lost", "clock")};
  state.zone_map["srt\nin"] = {};
  state.geometry_map["ndi\ncam"] = SourceGeometry{};
  state.default_geometry = SourceGeometry{};
  state.source_type.clear();

  const SourceConfiguration built = BuildSourceConfiguration(state);
  EXPECT_EQ(built.source_type, "none");
  EXPECT_EQ(built.ndi_source_name, "Camera");
  std::vector<std::string> keys;
  for (const ZoneProfile& profile : built.profiles) keys.push_back(profile.key);
  EXPECT_EQ(keys, (std::vector<std::string>{ProfileKey("ndi", "cam"), ProfileKey("geometry", "unscoped"),
                                            "not a key", ProfileKey("srt", "in")}));
  const ZoneProfile* cam = built.FindProfile(ProfileKey("ndi", "cam"));
  EXPECT_TRUE(cam->has_geometry) << "identity geometries are written too";
  EXPECT_EQ(cam->corners.top_right.x, 1.0);
  EXPECT_EQ(built.FindProfile(ProfileKey("srt", "in"))->zones, "[]");
  EXPECT_EQ(built.FindProfile(ProfileKey("geometry", "unscoped"))->corners.top_left.x, 0.1)
      << "an identity default geometry leaves the stored profile as it was";

  state.default_geometry.bottom_left.y = 0.9;
  const SessionState fresh;
  EXPECT_TRUE(BuildSourceConfiguration(fresh).profiles.empty());
  state.stored_configuration = SourceConfiguration{};
  const SourceConfiguration with_default = BuildSourceConfiguration(state);
  const ZoneProfile* unscoped = with_default.FindProfile(ProfileKey("geometry", "unscoped"));
  ASSERT_NE(unscoped, nullptr);
  EXPECT_EQ(unscoped->corners.bottom_left.y, 0.9);
  EXPECT_EQ(with_default.profiles.back().key, ProfileKey("geometry", "unscoped")) << "appended last";
}

TEST_F(StateFolder, StoredZonesAreSavedOrPutBack) {
  SessionState state;
  Select(state, "ndi", "cam");
  state.zone_map["ndi\ncam"] = {Zone("old", "clock")};
  EXPECT_TRUE(StoreZones(state, OcrZoneListJson({Zone("new", "clock")}))) << "no store: kept in memory";
  EXPECT_EQ(Ids(state.zone_map["ndi\ncam"]), (std::vector<std::string>{"new"}));

  state.config_store = std::make_unique<ConfigStore>(folder_);
  EXPECT_TRUE(StoreZones(state, OcrZoneListJson({})));
  SourceConfiguration loaded;
  ConfigStore(folder_).Load(loaded);
  ASSERT_NE(loaded.FindProfile(ProfileKey("ndi", "cam")), nullptr);
  EXPECT_EQ(loaded.FindProfile(ProfileKey("ndi", "cam"))->zones, "[]") << "an emptied profile stays";
  EXPECT_EQ(state.stored_configuration.source_id, "cam");

  state.config_store = FailingStore();
  EXPECT_FALSE(StoreZones(state, OcrZoneListJson({Zone("lost", "clock")})));
  EXPECT_TRUE(state.zone_map["ndi\ncam"].empty()) << "the previous list is back";
}

TEST_F(StateFolder, ZonesUnderASportGoToItsZoneSet) {
  SessionState state;
  Select(state, "ndi", "cam");
  state.sport_active = true;
  state.active_sport = "football";
  state.config_store = std::make_unique<ConfigStore>(folder_);
  const std::string text = OcrZoneListJson({Zone("d", "down")});
  ASSERT_TRUE(StoreZones(state, text));
  EXPECT_TRUE(std::filesystem::exists(folder_ / "sport_zones.json"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "zone_store.json"));
  EXPECT_TRUE(state.zone_map.empty());
  ASSERT_EQ(ReadSportZones(folder_ / "sport_zones.json").profiles.size(), 1u);

  state.config_store = FailingStore();
  EXPECT_FALSE(StoreZones(state, "[]"));
  ASSERT_EQ(state.sport_zones.profiles.size(), 1u);
  EXPECT_EQ(state.sport_zones.profiles[0].zones, text) << "the old set is back";
  state.active_sport = "hockey";
  EXPECT_FALSE(StoreZones(state, "[]"));
  EXPECT_EQ(state.sport_zones.profiles.size(), 1u) << "the appended set is removed again";
}

}  // namespace
}  // namespace tessvark
