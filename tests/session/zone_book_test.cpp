// The zone book's rules: the zones that follow an applied sport, the stored configuration into
// and out of the selection and the maps, storing a zone list (nothing changes when it cannot be
// written), and the analysis setup of the selection.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "session/zone_book.h"
#include "settings/config_store.h"
#include "tests/support/temp_folder.h"

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

SourceSelection Selected(const std::string& type, const std::string& id) {
  SourceSelection selection;
  selection.selected = true;
  selection.type = *ParseSourceKind(type);
  selection.id = id;
  return selection;
}

// A zone list stored as the zone operations store it: prepared, written, and applied once
// written. False when it could not be written.
bool StoreZones(ZoneBook& book, const SourceSelection& selection, const std::string& text) {
  const SettingsChange change = PrepareZonesChange(book, selection, text);
  if (!WriteSettingsChange(change)) return false;
  CommitSettingsChange(book, change);
  return true;
}

class StateFolder : public ::testing::Test {
 protected:
  // A store whose folder is a plain file, so that every save fails.
  std::unique_ptr<ConfigStore> FailingStore() {
    std::ofstream(folder_ / "not-a-folder") << "x";
    return std::make_unique<ConfigStore>(folder_ / "not-a-folder");
  }

  testing::TempFolder folder_{"session-state"};
};

TEST(SessionZones, FollowAnAppliedSport) {
  ZoneBook book;
  SourceSelection selection = Selected("ndi", "cam");
  book.zones["ndi\ncam"] = {Zone("a", "clock"), Zone("b", "down"), Zone("c", "home_score")};
  EXPECT_EQ(Ids(ZonesFor(book, selection)), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ZonesTextFor(book, selection), OcrZoneListJson(book.zones["ndi\ncam"]));

  book.sport_active = true;
  book.active_sport = "hockey";
  book.active_roles = {"home_score", "clock"};
  EXPECT_EQ(Ids(ZonesFor(book, selection)), (std::vector<std::string>{"a", "c"}))
      << "the sport's roles, in stored order";
  EXPECT_EQ(book.zones["ndi\ncam"].size(), 3u) << "the stored list is unchanged";

  const std::string own = R"([ {"id":"p","role":"period","x":0,"y":0,"width":1,"height":1} ])";
  book.sport_zones.profiles.push_back({"football", "ndi", "cam", "[]"});
  book.sport_zones.profiles.push_back({"hockey", "ndi", "cam", own});
  EXPECT_EQ(Ids(ZonesFor(book, selection)), (std::vector<std::string>{"p"}));
  EXPECT_EQ(ZonesTextFor(book, selection), own) << "the sport's own set exactly as stored";

  selection.selected = false;
  EXPECT_TRUE(ZonesFor(book, selection).empty()) << "no selection: the empty \"none\" list";
  EXPECT_EQ(ZonesTextFor(book, selection), "[]");
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
  ZoneBook book;
  SourceSelection selection;
  ApplySourceConfiguration(StoredRecord(), selection, book);
  EXPECT_TRUE(selection.selected);
  EXPECT_EQ(selection.name, "cam");
  EXPECT_EQ(selection.remembered_ndi_name, "Camera");
  PublishedSelection published;
  published.Publish(selection);
  EXPECT_TRUE(published.Read().selected);
  EXPECT_EQ(published.Read().id, "cam");
  EXPECT_EQ(Ids(book.zones["ndi\ncam"]), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(book.hide_empty["ndi\ncam"]);
  EXPECT_EQ(book.default_geometry.top_left.x, 0.1);
  EXPECT_EQ(book.zones.count("geometry\nunscoped"), 0u) << "its zones are never applied";
  EXPECT_EQ(book.geometries.count("ndi\ncam"), 0u);
}

TEST(SessionConfiguration, BuiltRecordKeepsEveryProfileAndAppendsNewOnes) {
  ZoneBook book;
  SourceSelection selection;
  ApplySourceConfiguration(StoredRecord(), selection, book);
  book.zones["none"] = {Zone("lost", "clock")};
  book.zones["srt\nin"] = {};
  book.geometries["ndi\ncam"] = SourceGeometry{};
  book.default_geometry = SourceGeometry{};
  selection.type = SourceKind::kNone;

  const SourceConfiguration built = BuildSourceConfiguration(book, selection);
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

  book.default_geometry.bottom_left.y = 0.9;
  const ZoneBook fresh;
  EXPECT_TRUE(BuildSourceConfiguration(fresh, SourceSelection{}).profiles.empty());
  book.stored = SourceConfiguration{};
  const SourceConfiguration with_default = BuildSourceConfiguration(book, selection);
  const ZoneProfile* unscoped = with_default.FindProfile(ProfileKey("geometry", "unscoped"));
  ASSERT_NE(unscoped, nullptr);
  EXPECT_EQ(unscoped->corners.bottom_left.y, 0.9);
  EXPECT_EQ(with_default.profiles.back().key, ProfileKey("geometry", "unscoped")) << "appended last";
}

TEST(SessionConfiguration, EveryStoredKindIsWrittenBackAsItWasRead) {
  const struct {
    const char* type;
    const char* id;
    bool selected;
  } cases[] = {
      {"rtsp", "rtsp://camera", false},  // kinds of earlier versions are kept, never opened
      {"capture_device", "0", false},
      {"ip_camera", "", false},
      {"none", "", false},
      {"ndi", "", false},  // a receiver without a source id selects nothing
      {"srt", "in", true},
      {"example", "example-2", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    SourceConfiguration record;
    record.source_type = c.type;
    record.source_id = c.id;
    ZoneBook book;
    SourceSelection selection;
    ApplySourceConfiguration(record, selection, book);
    EXPECT_EQ(selection.selected, c.selected);
    EXPECT_EQ(ContextOf(selection).source_type, c.selected ? c.type : "none");
    const SourceConfiguration built = BuildSourceConfiguration(book, selection);
    EXPECT_EQ(built.source_type, c.type);
    EXPECT_EQ(built.source_id, c.id);
  }
}

TEST_F(StateFolder, StoredZonesAreSavedOrPutBack) {
  ZoneBook book;
  const SourceSelection selection = Selected("ndi", "cam");
  book.zones["ndi\ncam"] = {Zone("old", "clock")};
  EXPECT_TRUE(StoreZones(book, selection, OcrZoneListJson({Zone("new", "clock")})))
      << "no store: kept in memory";
  EXPECT_EQ(Ids(book.zones["ndi\ncam"]), (std::vector<std::string>{"new"}));

  book.config_store = std::make_unique<ConfigStore>(folder_.path());
  EXPECT_TRUE(StoreZones(book, selection, OcrZoneListJson({})));
  SourceConfiguration loaded;
  ConfigStore(folder_.path()).Load(loaded);
  ASSERT_NE(loaded.FindProfile(ProfileKey("ndi", "cam")), nullptr);
  EXPECT_EQ(loaded.FindProfile(ProfileKey("ndi", "cam"))->zones, "[]") << "an emptied profile stays";
  EXPECT_EQ(book.stored.source_id, "cam");

  book.config_store = FailingStore();
  EXPECT_FALSE(StoreZones(book, selection, OcrZoneListJson({Zone("lost", "clock")})));
  EXPECT_TRUE(book.zones["ndi\ncam"].empty()) << "the previous list stays";
  EXPECT_EQ(book.stored.source_id, "cam");
}

// A change prepared leaves the book as it was until it is committed; what it writes is the book
// as the change leaves it.
TEST_F(StateFolder, APreparedChangeWritesTheChangedBookAndChangesItOnlyWhenCommitted) {
  ZoneBook book;
  const SourceSelection selection = Selected("ndi", "cam");
  book.zones["ndi\ncam"] = {Zone("old", "clock")};
  book.config_store = std::make_unique<ConfigStore>(folder_.path());
  const SettingsChange change = PrepareConfigurationChange(book, selection, [](ZoneBook& b) {
    b.hide_empty["ndi\ncam"] = true;
    b.zones["ndi\ncam"].push_back(Zone("new", "home_score"));
  });
  EXPECT_EQ(Ids(book.zones["ndi\ncam"]), std::vector<std::string>{"old"});
  EXPECT_TRUE(book.hide_empty.empty());
  ASSERT_TRUE(WriteSettingsChange(change));
  SourceConfiguration loaded;
  ConfigStore(folder_.path()).Load(loaded);
  ASSERT_NE(loaded.FindProfile(ProfileKey("ndi", "cam")), nullptr);
  EXPECT_TRUE(loaded.FindProfile(ProfileKey("ndi", "cam"))->hide_empty);
  EXPECT_EQ(Ids(ParseOcrZoneList(loaded.FindProfile(ProfileKey("ndi", "cam"))->zones)),
            (std::vector<std::string>{"old", "new"}));
  EXPECT_TRUE(book.hide_empty.empty()) << "written, not yet committed";

  CommitSettingsChange(book, change);
  EXPECT_EQ(Ids(book.zones["ndi\ncam"]), (std::vector<std::string>{"old", "new"}));
  EXPECT_TRUE(book.hide_empty["ndi\ncam"]);
  EXPECT_EQ(BuildSourceConfiguration(book, selection).FindProfile(ProfileKey("ndi", "cam"))->zones,
            loaded.FindProfile(ProfileKey("ndi", "cam"))->zones)
      << "the stored record is what was written";
}

TEST_F(StateFolder, ZonesUnderASportGoToItsZoneSet) {
  ZoneBook book;
  const SourceSelection selection = Selected("ndi", "cam");
  book.sport_active = true;
  book.active_sport = "football";
  book.config_store = std::make_unique<ConfigStore>(folder_.path());
  const std::string text = OcrZoneListJson({Zone("d", "down")});
  ASSERT_TRUE(StoreZones(book, selection, text));
  EXPECT_TRUE(std::filesystem::exists(folder_ / "sport_zones.json"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "zone_store.json"));
  EXPECT_TRUE(book.zones.empty());
  ASSERT_EQ(ReadSportZones(folder_ / "sport_zones.json").profiles.size(), 1u);

  book.config_store = FailingStore();
  EXPECT_FALSE(StoreZones(book, selection, "[]"));
  ASSERT_EQ(book.sport_zones.profiles.size(), 1u);
  EXPECT_EQ(book.sport_zones.profiles[0].zones, text) << "the old set stays";
  book.active_sport = "hockey";
  EXPECT_FALSE(StoreZones(book, selection, "[]"));
  EXPECT_EQ(book.sport_zones.profiles.size(), 1u) << "no set is appended";
}

// What the sport zone file's reader would not bring back is refused before it is stored: an entry
// it drops (a source id over 240 bytes, no source at all) or a file larger than it reads. The
// configuration files keep any source.
TEST_F(StateFolder, ZoneListsTheSportFileWouldLoseAreRefused) {
  ZoneBook book;
  book.config_store = std::make_unique<ConfigStore>(folder_.path());
  const std::string text = OcrZoneListJson({Zone("s", "home_shots")});
  const SourceSelection long_id = Selected("srt", std::string(300, 'i'));
  EXPECT_EQ(ZoneListRefusal(book, long_id, text), std::nullopt) << "no sport";
  ASSERT_TRUE(StoreZones(book, long_id, text));
  SourceConfiguration loaded;
  ConfigStore(folder_.path()).Load(loaded);
  ASSERT_NE(loaded.FindProfile(ProfileKey("srt", std::string(300, 'i'))), nullptr);

  book.sport_active = true;
  book.active_sport = "football";
  const std::string id_refusal =
      "Zones of this source cannot be stored under a sport: the source id must be 1 to 240 "
      "bytes without a zero byte";
  EXPECT_EQ(ZoneListRefusal(book, long_id, text), id_refusal);
  EXPECT_EQ(ZoneListRefusal(book, SourceSelection{}, text), id_refusal) << "no source selected";
  const SourceSelection longest = Selected("srt", std::string(240, 'i'));
  EXPECT_EQ(ZoneListRefusal(book, longest, text), std::nullopt);

  // Another source's set fills the file so that this source's first set fits exactly.
  book.sport_zones.profiles.push_back({"football", "ndi", "cam", "[]"});
  SportZonesDocument full = book.sport_zones;
  full.profiles.push_back({"football", "srt", longest.id, "[]"});
  book.sport_zones.profiles[0].zones = "[" + std::string(1048576 - SportZonesText(full).size(), ' ') + "]";
  EXPECT_EQ(ZoneListRefusal(book, longest, "[]"), std::nullopt);
  EXPECT_EQ(ZoneListRefusal(book, longest, "[ ]"),
            "Zones could not be stored: the sport zone file would be larger than 1048576 bytes");
  EXPECT_EQ(book.sport_zones.profiles.size(), 1u) << "the book is not changed by the question";
}

TEST(CurrentGeometry, TheDefaultOrTheSelectedSourcesEntry) {
  ZoneBook book;
  book.default_geometry.top_left = {0.25, 0.0};
  EXPECT_EQ(GeometryFor(book, SourceSelection{}).top_left.x, 0.25);
  EXPECT_TRUE(book.geometries.empty()) << "no selection makes no map entry";
  EXPECT_EQ(GeometryFor(book, Selected("ndi", "cam")).top_left.x, 0.0);
  EXPECT_EQ(book.geometries.count("ndi\ncam"), 1u);
}

// The setup the worker reads the selection with: the zones as the zone operations list them, the
// source's geometry (identity until it has one; asking makes no entry), the sport's roles.
TEST(AnalysisSetupOfTheSelection, FollowsTheZonesTheGeometryAndTheSport) {
  ZoneBook book;
  const SourceSelection cam = Selected("ndi", "cam");
  book.zones["ndi\ncam"] = {Zone("c", "clock"), Zone("h", "home_score")};
  AnalysisSetup setup = AnalysisSetupFor(book, cam);
  ASSERT_EQ(setup.zones.size(), 2u);
  EXPECT_EQ(setup.zones[1], ToAnalysisZone(Zone("h", "home_score")));
  EXPECT_EQ(setup.geometry, SourceGeometry{});
  EXPECT_EQ(setup.role_filter, std::nullopt);
  EXPECT_TRUE(book.geometries.empty()) << "no entry is made";

  book.geometries["ndi\ncam"].top_left = {0.1, 0.2};
  book.default_geometry.top_left = {0.3, 0.4};
  EXPECT_EQ(AnalysisSetupFor(book, cam).geometry.top_left, (GeometryPoint{0.1, 0.2}));
  EXPECT_EQ(AnalysisSetupFor(book, SourceSelection{}).geometry.top_left, (GeometryPoint{0.3, 0.4}));

  book.sport_active = true;
  book.active_sport = "hockey";
  book.active_roles = {"clock"};
  setup = AnalysisSetupFor(book, cam);
  ASSERT_EQ(setup.zones.size(), 1u);
  EXPECT_EQ(setup.zones[0].role, "clock");
  EXPECT_EQ(setup.role_filter, (std::set<std::string>{"clock"}));
}

}  // namespace
}  // namespace tessvark
