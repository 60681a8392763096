#include "settings/config_store.h"
#include "core/json_text.h"

#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "file_size_limit.h"
#include "settings_test_support.h"

namespace tessvark {
namespace {

const std::string kExample1 = ProfileKey("example", "example-1");
const std::string kBundled = ProfileKey("example", "bundled-scoreboard");
constexpr const char* kClockZone =
    R"({"id":"clock","role":"clock","name":"Clock","type":"clock","x":0.25,"y":0.125,"width":0.5,"height":0.25,"processing":null})";

void WriteFiles(const TempFolder& folder, const std::map<std::string, std::string>& files) {
  for (const auto& [name, text] : files) WriteText(folder / name, text);
}

TEST(ProfileKey, IsCompactJsonWithIdFirstAndParsesBack) {
  EXPECT_EQ(kExample1, R"({"source_id":"example-1","source_type":"example"})");
  EXPECT_EQ(ProfileKey("ndi", "Cam \"1\"\n"), R"({"source_id":"Cam \"1\"\n","source_type":"ndi"})");
  std::string type = "unchanged";
  std::string id = "unchanged";
  ASSERT_TRUE(ParseProfileKey(ProfileKey("ndi", "Cam \"1\"\n"), type, id));
  EXPECT_EQ(type, "ndi");
  EXPECT_EQ(id, "Cam \"1\"\n");
  for (const char* bad : {"", "[]", R"({"source_id":"a"})", R"({"source_id":1,"source_type":"x"})",
                          "type\nid"}) {
    type = id = "unchanged";
    EXPECT_FALSE(ParseProfileKey(bad, type, id)) << bad;
    EXPECT_EQ(type, "unchanged");
  }
}

// One stored data folder and what a load makes of it.
struct LoadCase {
  const char* name;
  std::map<std::string, std::string> files;
  std::function<void(const SourceConfiguration&, const ConfigLoadResult&)> check;
  // Copies the load itself leaves in the folder (name to text).
  std::map<std::string, std::string> copies_after_load;
};

TEST(ConfigStoreLoad, TableOfStoredFiles) {
  const std::string bare_array = std::string("[") + kClockZone + "]";
  const std::string geometry_v1 = R"({"version":1,"points":{"top_left":{"x":0,"y":0}}})";
  const LoadCase cases[] = {
      {"empty folder", {},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         EXPECT_EQ(c.source_type, "ndi");
         EXPECT_EQ(c.source_id, "");
         EXPECT_TRUE(c.profiles.empty());
         EXPECT_TRUE(c.vmix_enabled);
         EXPECT_FALSE(c.sse_enabled || c.rest_enabled || c.rss_enabled);
         EXPECT_FALSE(c.output_config_loaded);
         EXPECT_FALSE(r.zone_store_rewritten || r.geometry_needs_rewrite);
       }, {}},
      {"source config without version",
       {{"source_config.json", R"({"source_type":"example","source_id":"example-1"})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_EQ(c.source_type, "example");
         EXPECT_EQ(c.source_id, "example-1");
       }, {}},
      {"source config of version 2 is dropped",
       {{"source_config.json", R"({"version":2,"source_type":"srt","source_id":"x"})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_EQ(c.source_type, "ndi");
         EXPECT_EQ(c.source_id, "");
       }, {}},
      {"unknown source type keeps ndi",
       {{"source_config.json", R"({"version":1,"source_type":"usb","source_id":"cam"})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_EQ(c.source_type, "ndi");
         EXPECT_EQ(c.source_id, "cam");
       }, {}},
      {"rtsp is a known type",
       {{"source_config.json", R"({"version":1.0,"source_type":"rtsp","source_id":"cam"})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) { EXPECT_EQ(c.source_type, "rtsp"); },
       {}},
      {"ndi id stands in for the source id and the name",
       {{"source_config.json", R"({"source_type":"ndi","ndi_source_id":"HOST-Board"})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_EQ(c.source_id, "HOST-Board");
         EXPECT_EQ(c.ndi_source_name, "HOST-Board");
       }, {}},
      {"bare-array zone store is filed under the bundled profile, copied and rewritten",
       {{"zone_store.json", bare_array}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         ASSERT_EQ(c.profiles.size(), 1u);
         EXPECT_EQ(c.profiles[0].key, kBundled);
         EXPECT_EQ(c.profiles[0].zones, std::string("[") + kClockZone + "]");
         EXPECT_TRUE(c.profiles[0].has_zones);
         EXPECT_TRUE(r.zone_store_rewritten);
       },
       {{"zone_store.json.unreadable", bare_array}}},
      {"zone store that is not JSON is copied and rewritten",
       {{"zone_store.json", "{\"version\":1,"}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         EXPECT_TRUE(c.profiles.empty());
         EXPECT_TRUE(r.zone_store_rewritten);
       },
       {{"zone_store.json.unreadable", "{\"version\":1,"}}},
      {"empty zone store is copied and rewritten", {{"zone_store.json", ""}},
       [](const SourceConfiguration&, const ConfigLoadResult& r) { EXPECT_TRUE(r.zone_store_rewritten); },
       {{"zone_store.json.unreadable", ""}}},
      {"numbers beyond double range in a zone list are written back as null, the file kept first",
       {{"zone_store.json", R"({"version":1,"profiles":{"k":[{"x":1e999,"y":-1e999,"w":1e308}]}})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         ASSERT_NE(c.FindProfile("k"), nullptr);
         EXPECT_EQ(c.FindProfile("k")->zones, R"([{"x":null,"y":null,"w":1e+308}])");
         EXPECT_TRUE(r.zone_store_rewritten);
       },
       {{"zone_store.json.unreadable",
         R"({"version":1,"profiles":{"k":[{"x":1e999,"y":-1e999,"w":1e308}]}})"}}},
      {"the largest finite numbers keep the file as it is",
       {{"zone_store.json", R"({"version":1,"profiles":{"k":[{"x":1.7976931348623157e308,"y":4.9e-324}]}})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         ASSERT_NE(c.FindProfile("k"), nullptr);
         EXPECT_EQ(c.FindProfile("k")->zones, R"([{"x":1.7976931348623157e+308,"y":4.9406564584124654e-324}])");
         EXPECT_FALSE(r.zone_store_rewritten);
       }, {}},
      {"top-level zones win over a profiles entry of the same key; bad entries are skipped",
       {{"zone_store.json",
         R"({"version":1,"source_type":"example","source_id":"example-1","zones":[{"id":"top"}],)"
         R"("profiles":{")" + EscapeJsonText(kExample1) + R"(":[{"id":"entry"}],"obj":{},)"
         R"("dup":[1],"dup":[2]},"hide_empty":{"a":"true","b":false}})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         ASSERT_NE(c.FindProfile(kExample1), nullptr);
         EXPECT_EQ(c.FindProfile(kExample1)->zones, R"([{"id":"top"}])");
         EXPECT_EQ(c.FindProfile("obj"), nullptr);
         EXPECT_EQ(c.FindProfile("a"), nullptr);
         ASSERT_NE(c.FindProfile("dup"), nullptr);
         EXPECT_EQ(c.FindProfile("dup")->zones, "[2]");  // a repeated key: the later list stands
         ASSERT_NE(c.FindProfile("b"), nullptr);
         EXPECT_TRUE(c.FindProfile("b")->has_hide_empty);
         EXPECT_FALSE(c.FindProfile("b")->has_zones);
         EXPECT_FALSE(r.zone_store_rewritten);
         EXPECT_EQ(c.source_type, "ndi");  // the zone store never selects a source
       }, {}},
      {"version-1 geometry is retired to the legacy copy",
       {{"source_geometry.json", geometry_v1}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         EXPECT_TRUE(c.profiles.empty());
         EXPECT_TRUE(r.geometry_needs_rewrite);
       },
       {{"source_geometry.legacy-v1.json", geometry_v1}}},
      {"version-2 geometry keeps its usable entries",
       {{"source_geometry.json",
         R"({"version":2,"profiles":{"good":{"points":{"top_left":{"x":0.1,"y":0.1},"top_right":{"x":0.9,"y":0.2},"bottom_right":{"x":0.8,"y":0.9},"bottom_left":{"x":0.2,"y":0.8}}},)"
         R"("huge":{"points":{"top_left":{"x":1e308,"y":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}}},)"
         R"("ccw":{"points":{"top_left":{"x":0,"y":0},"top_right":{"x":0,"y":1},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":1,"y":0}}},)"
         R"("text":{"points":{"top_left":{"x":"0","y":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":0,"y":1}}}}})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult& r) {
         ASSERT_EQ(c.profiles.size(), 1u);
         EXPECT_EQ(c.profiles[0].key, "good");
         EXPECT_EQ(c.profiles[0].corners.top_right.y, 0.2);
         EXPECT_TRUE(r.geometry_needs_rewrite);
       }, {}},
      {"output switches from objects and bools",
       {{"output_config.json", R"({"vmix":{"enabled":false},"sse":{"enabled":true,"x":1},"rest":"yes","rss":true})"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_TRUE(c.output_config_loaded);
         EXPECT_FALSE(c.vmix_enabled);
         EXPECT_TRUE(c.sse_enabled);
         EXPECT_FALSE(c.rest_enabled);
         EXPECT_TRUE(c.rss_enabled);
         EXPECT_EQ(c.output_config_text,
                   R"({"vmix":{"enabled":false},"sse":{"enabled":true,"x":1},"rest":"yes","rss":true})");
       }, {}},
      {"output config holding an array", {{"output_config.json", "[1]"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_TRUE(c.output_config_loaded);
         EXPECT_EQ(c.output_config_text, "");
       }, {}},
      {"output config that is not JSON", {{"output_config.json", "{"}},
       [](const SourceConfiguration& c, const ConfigLoadResult&) {
         EXPECT_FALSE(c.output_config_loaded);
         EXPECT_TRUE(c.vmix_enabled);
       }, {}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    WriteFiles(folder, c.files);
    ConfigStore store(folder.path());
    SourceConfiguration config;
    const ConfigLoadResult result = store.Load(config);
    c.check(config, result);
    std::set<std::string> expected_names;
    for (const auto& [name, text] : c.files) expected_names.insert(name);
    for (const auto& [name, text] : c.copies_after_load) {
      expected_names.insert(name);
      EXPECT_EQ(ReadText(folder / name), text) << name;
    }
    EXPECT_EQ(FolderNames(folder.path()), expected_names);
  }
}

TEST(ConfigStoreLoad, ABareArrayZoneStoreIsRewrittenAsAVersionOneDocument) {
  TempFolder folder;
  WriteText(folder / "zone_store.json", "[]");
  ConfigStore store(folder.path());
  SourceConfiguration config;
  store.Load(config);
  EXPECT_EQ(ReadText(folder / "zone_store.json"),
            "{\n  \"version\": 1,\n  \"source_type\": \"ndi\",\n  \"source_id\": \"\",\n"
            "  \"zones\": [],\n  \"profiles\": {\n"
            "    \"{\\\"source_id\\\":\\\"bundled-scoreboard\\\",\\\"source_type\\\":\\\"example\\\"}\": []\n"
            "  }\n}\n");
}

// The smallest stored zone that was lost after one save: the file as it was is kept once, and
// the rewritten file loads again without another copy.
TEST(ConfigStoreLoad, AZoneStoreWithANonFiniteNumberIsKeptOnceThenRewritten) {
  const std::string stored =
      R"({"version":1,"source_type":"example","source_id":"example-1","zones":[{"id":"c","role":"clock",)"
      R"("name":"Clock","type":"clock","x":0.25,"y":1e400,"width":0.5,"height":0.2}]})";
  TempFolder folder;
  WriteText(folder / "zone_store.json", stored);
  ConfigStore store(folder.path());
  SourceConfiguration config;
  EXPECT_TRUE(store.Load(config).zone_store_rewritten);
  EXPECT_EQ(ReadText(folder / "zone_store.json.unreadable"), stored);
  const std::string rewritten = ReadText(folder / "zone_store.json");
  EXPECT_NE(rewritten.find(R"("y":null)"), std::string::npos) << rewritten;

  SourceConfiguration again;
  EXPECT_FALSE(store.Load(again).zone_store_rewritten);
  EXPECT_EQ(ReadText(folder / "zone_store.json"), rewritten);
  EXPECT_EQ(FolderNames(folder.path()),
            (std::set<std::string>{"zone_store.json", "zone_store.json.unreadable"}));
}

TEST(ConfigStoreLoad, ASecondUnusableFileIsCopiedUnderTheNanosecondName) {
  TempFolder folder;
  WriteText(folder / "zone_store.json.unreadable", "first");
  WriteText(folder / "zone_store.json", "second");
  ConfigStore store(folder.path());
  SourceConfiguration config;
  EXPECT_TRUE(store.Load(config).zone_store_rewritten);
  EXPECT_EQ(ReadText(folder / "zone_store.json.unreadable"), "first");
  int suffixed = 0;
  for (const std::string& name : FolderNames(folder.path())) {
    if (name.rfind("zone_store.json.unreadable.", 0) != 0) continue;
    ++suffixed;
    EXPECT_EQ(ReadText(folder / name), "second");
  }
  EXPECT_EQ(suffixed, 1);
}

TEST(ConfigStoreSave, WritesTheThreeDocumentsInTheirFixedLayout) {
  TempFolder folder;
  ConfigStore store(folder / "data");
  SourceConfiguration config;
  config.source_type = "example";
  config.source_id = "example-1";
  ZoneProfile& example = config.FindOrAddProfile(kExample1);
  example.zones = std::string("[") + kClockZone + "]";
  example.has_zones = true;
  example.hide_empty = true;
  example.has_hide_empty = true;
  example.has_geometry = true;
  example.corners = {{0.0625, 0.125}, {0.9375, 0.125}, {0.9375, 0.875}, {0.0625, 0.875}};
  config.FindOrAddProfile(ProfileKey("example", "example-2")).has_zones = true;
  std::string error;
  ASSERT_TRUE(store.Save(config, error)) << error;

  EXPECT_EQ(ReadText(folder / "data" / "source_config.json"),
            "{\n  \"version\": 1,\n  \"source_type\": \"example\",\n  \"source_id\": \"example-1\",\n"
            "  \"ndi_source_id\": \"\",\n  \"ndi_source_name\": \"\"\n}\n");
  const std::string key1 = R"(\"source_id\":\"example-1\",\"source_type\":\"example\")";
  const std::string key2 = R"(\"source_id\":\"example-2\",\"source_type\":\"example\")";
  EXPECT_EQ(ReadText(folder / "data" / "zone_store.json"),
            "{\n  \"version\": 1,\n  \"source_type\": \"example\",\n  \"source_id\": \"example-1\",\n"
            "  \"zones\": [" + std::string(kClockZone) + "],\n  \"profiles\": {\n"
            "    \"{" + key1 + "}\": [" + kClockZone + "],\n"
            "    \"{" + key2 + "}\": []\n  },\n"
            "  \"hide_empty\": {\n    \"{" + key1 + "}\": true\n  }\n}\n");
  const std::string points =
      R"({"top_left":{"x":0.0625,"y":0.125},"top_right":{"x":0.9375,"y":0.125},)"
      R"("bottom_right":{"x":0.9375,"y":0.875},"bottom_left":{"x":0.0625,"y":0.875}})";
  EXPECT_EQ(ReadText(folder / "data" / "source_geometry.json"),
            "{\n  \"version\": 2,\n  \"source_type\": \"example\",\n  \"source_id\": \"example-1\",\n"
            "  \"geometry\": {\"points\": " + points + "},\n  \"profiles\": {\n"
            "    \"{" + key1 + "}\": {\"points\": " + points + "}\n  }\n}\n");
}

TEST(ConfigStoreSave, AnEmptyRecordWritesEmptyMapsAndTheIdentityGeometry) {
  TempFolder folder;
  ConfigStore store(folder.path());
  SourceConfiguration config;
  std::string error;
  ASSERT_TRUE(store.Save(config, error)) << error;
  EXPECT_EQ(ReadText(folder / "zone_store.json"),
            "{\n  \"version\": 1,\n  \"source_type\": \"none\",\n  \"source_id\": \"\",\n"
            "  \"zones\": [],\n  \"profiles\": {\n  }\n}\n");
  EXPECT_EQ(ReadText(folder / "source_geometry.json"),
            "{\n  \"version\": 2,\n  \"source_type\": \"none\",\n  \"source_id\": \"\",\n"
            "  \"geometry\": {\"points\": {\"top_left\":{\"x\":0,\"y\":0},\"top_right\":{\"x\":1,\"y\":0},"
            "\"bottom_right\":{\"x\":1,\"y\":1},\"bottom_left\":{\"x\":0,\"y\":1}}},\n"
            "  \"profiles\": {\n  }\n}\n");
}

TEST(ConfigStoreSave, ValuesSurviveALoadAndSaveCycle) {
  TempFolder folder;
  const std::string id = "a\"b\\c\nd\te\x7F\xC3\xA9";
  {
    ConfigStore store(folder.path());
    SourceConfiguration config;
    config.source_type = "ndi";
    config.source_id = id;
    ZoneProfile& profile = config.FindOrAddProfile(ProfileKey("ndi", id));
    profile.zones = R"([{"id":"z","x":0.1,"width":2.0}])";
    profile.has_zones = true;
    std::string error;
    ASSERT_TRUE(store.Save(config, error)) << error;
  }
  const std::string source_config = ReadText(folder / "source_config.json");
  EXPECT_NE(source_config.find("\"source_id\": \"a\\\"b\\\\c\\nd\\u0009e\x7F\xC3\xA9\""),
            std::string::npos) << source_config;

  ConfigStore store(folder.path());
  SourceConfiguration loaded;
  store.Load(loaded);
  EXPECT_EQ(loaded.source_id, id);
  ASSERT_NE(loaded.FindProfile(ProfileKey("ndi", id)), nullptr);
  EXPECT_EQ(loaded.FindProfile(ProfileKey("ndi", id))->zones,
            R"([{"id":"z","x":0.10000000000000001,"width":2}])");
}

// Saves prepared in one order and written in another: the files always end with the save
// prepared last, and an earlier save arriving after it is refused without touching them.
TEST(ConfigStoreSave, AnEarlierSaveNeverOverwritesALaterOne) {
  TempFolder folder;
  ConfigStore store(folder.path());
  SourceConfiguration first;
  first.source_type = "ndi";
  first.source_id = "first";
  SourceConfiguration second = first;
  second.source_id = "second";
  SourceConfiguration third = first;
  third.source_id = "third";

  const ConfigSave early = store.PrepareSave(first);
  const ConfigSave late = store.PrepareSave(second);
  std::string error;
  ASSERT_TRUE(store.Write(late, error)) << error;
  EXPECT_FALSE(store.Write(early, error));
  EXPECT_EQ(error, "A later configuration was saved first");
  SourceConfiguration loaded;
  ConfigStore(folder.path()).Load(loaded);
  EXPECT_EQ(loaded.source_id, "second");

  // In order, every save is written; Save numbers its own.
  error.clear();
  ASSERT_TRUE(store.Write(store.PrepareSave(third), error)) << error;
  ASSERT_TRUE(store.Save(first, error)) << error;
  ConfigStore(folder.path()).Load(loaded);
  EXPECT_EQ(loaded.source_id, "first");
}

TEST(ConfigStoreSave, RefusesUnusableProfilesAndWritesNothing) {
  struct Case {
    const char* zones;
    bool concave;
    const char* error;
  };
  const Case cases[] = {
      {"[]", true, "Refusing a geometry that cannot define a stable perspective"},
      {"[", false, "Zone profile is not valid JSON"},
      {"{}", false, "Zone profile is not a list"},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    ConfigStore store(folder.path());
    SourceConfiguration config;
    config.FindOrAddProfile("good").has_zones = true;
    ZoneProfile& bad = config.FindOrAddProfile("bad");
    bad.zones = c.zones;
    bad.has_geometry = c.concave;
    bad.corners = {{0, 0}, {1, 0}, {0.3, 0.3}, {0, 1}};
    std::string error;
    EXPECT_FALSE(store.Save(config, error));
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(FolderNames(folder.path()).empty());
  }
}

TEST(ConfigStoreSave, KeepsTheTextOfUnusableFilesBeforeReplacingThem) {
  TempFolder folder;
  const std::string bad_geometry =
      R"({"version":2,"profiles":{"x":{"points":{"top_left":{"x":0,"y":0}}}}})";
  WriteText(folder / "source_config.json", R"({"version":2,"source_type":"srt"})");
  WriteText(folder / "source_geometry.json", bad_geometry);
  ConfigStore store(folder.path());
  SourceConfiguration config;
  EXPECT_TRUE(store.Load(config).geometry_needs_rewrite);
  // Loading alone replaces neither file.
  EXPECT_EQ(ReadText(folder / "source_geometry.json"), bad_geometry);
  std::string error;
  ASSERT_TRUE(store.Save(config, error)) << error;
  EXPECT_EQ(ReadText(folder / "source_config.json.unreadable"), R"({"version":2,"source_type":"srt"})");
  EXPECT_EQ(ReadText(folder / "source_geometry.legacy-v1.json"), bad_geometry);
  EXPECT_NE(ReadText(folder / "source_geometry.json"), bad_geometry);
  // The copies are made once: a second save adds nothing.
  const std::set<std::string> names = FolderNames(folder.path());
  ASSERT_TRUE(store.Save(config, error)) << error;
  EXPECT_EQ(FolderNames(folder.path()), names);
}

// A file that exists but cannot be read must not be replaced by the save that follows the load
// (at start the session saves at once): its bytes are kept under the copy name first.
TEST(ConfigStoreSave, KeepsFilesWhoseBytesCouldNotBeRead) {
  struct Case {
    const char* file;
    const char* copy;
  };
  const Case cases[] = {
      {"zone_store.json", "zone_store.json.unreadable"},
      {"source_config.json", "source_config.json.unreadable"},
      {"source_geometry.json", "source_geometry.legacy-v1.json"},
      {"output_config.json", "output_config.json.unreadable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempFolder folder;
    MakeUnreadableFile(folder / c.file);
    ConfigStore store(folder.path());
    SourceConfiguration config;
    const ConfigLoadResult result = store.Load(config);
    EXPECT_FALSE(result.zone_store_rewritten);
    EXPECT_TRUE(std::filesystem::is_symlink(folder / c.file));  // the load left it alone
    std::string error;
    ASSERT_TRUE(store.Save(config, error)) << error;
    ASSERT_TRUE(store.SaveOutputConfig("{\"vmix\":{\"enabled\":true}}", error)) << error;
    ASSERT_TRUE(std::filesystem::is_symlink(folder / c.copy));
    EXPECT_EQ(std::filesystem::read_symlink(folder / c.copy), "/proc/self/mem");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(folder / c.file)));
  }
}

// When the copy of an unusable file cannot be made (here: the disk is full), no save may replace
// the file; once a copy can be made, the save goes through.
TEST(ConfigStoreSave, RefusesToReplaceAFileWhoseCopyCouldNotBeMade) {
  struct Case {
    const char* file;
    const char* copy;
    std::string text;
  };
  const std::string padding(4000, ' ');
  const Case cases[] = {
      {"zone_store.json", "zone_store.json.unreadable", "{\"not\": \"a zone store\"" + padding},
      {"source_geometry.json", "source_geometry.legacy-v1.json",
       R"({"version":1,"pad":")" + padding + "\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempFolder folder;
    WriteText(folder / c.file, c.text);
    ConfigStore store(folder.path());
    SourceConfiguration config;
    std::string error;
    {
      // Small documents still fit; the copy of the large unusable text does not.
      FileSizeLimit limit(2048);
      const ConfigLoadResult result = store.Load(config);
      EXPECT_FALSE(result.zone_store_rewritten);
      EXPECT_FALSE(result.geometry_needs_rewrite);
      EXPECT_FALSE(store.Save(config, error));
      EXPECT_EQ(error, "Could not keep a copy of the unusable configuration");
    }
    EXPECT_EQ(ReadText(folder / c.file), c.text);
    EXPECT_EQ(FolderNames(folder.path()), std::set<std::string>{c.file});
    ASSERT_TRUE(store.Save(config, error)) << error;
    EXPECT_EQ(ReadText(folder / c.copy), c.text);
    EXPECT_NE(ReadText(folder / c.file), c.text);
  }
}

TEST(ConfigStoreSaveOutputConfig, WritesTheTextUnchangedAndRefusesNonJson) {
  TempFolder folder;
  ConfigStore store(folder.path());
  std::string error;
  ASSERT_TRUE(store.SaveOutputConfig("{\"vmix\": {\"enabled\": false}}\n", error)) << error;
  EXPECT_EQ(ReadText(folder / "output_config.json"), "{\"vmix\": {\"enabled\": false}}\n");
  EXPECT_FALSE(store.SaveOutputConfig("{", error));
  EXPECT_EQ(error, "Refusing to write a document that does not parse");
  EXPECT_EQ(ReadText(folder / "output_config.json"), "{\"vmix\": {\"enabled\": false}}\n");
}

// The factory defaults document and what it does to a record holding one earlier profile.
struct DefaultsCase {
  const char* name;
  std::string document;  // empty: no file at all
  const char* error;     // empty when the merge succeeds
  std::function<void(const SourceConfiguration&)> check;
};

TEST(ConfigStoreApplyFactoryDefaults, MergesTheTwoExampleProfiles) {
  const std::string points =
      R"({"top_left":{"x":0.1,"y":0.1},"top_right":{"x":0.9,"y":0.2},"bottom_right":{"x":0.8,"y":0.9},"bottom_left":{"x":0.2,"y":0.8}})";
  const std::string ccw =
      R"({"top_left":{"x":0,"y":0},"top_right":{"x":0,"y":1},"bottom_right":{"x":1,"y":1},"bottom_left":{"x":1,"y":0}})";
  const DefaultsCase cases[] = {
      {"missing file", "", "Factory defaults are unavailable", nullptr},
      {"not JSON", "{", "Factory defaults are unreadable", nullptr},
      {"version as text", R"({"version":"1","profiles":[]})",
       "Factory defaults version is not supported", nullptr},
      {"version 2", R"({"version":2,"profiles":[]})", "Factory defaults version is not supported",
       nullptr},
      {"no profiles", R"({"version":1})", "Factory defaults have no profiles", nullptr},
      {"empty profiles", R"({"version":1.0,"profiles":[]})", "",
       [](const SourceConfiguration& c) { EXPECT_EQ(c.profiles.size(), 1u); }},
      {"first element wins, geometry read",
       R"({"version":1,"profiles":[{"source_type":"example","source_id":"example-1","zones":[{"id":"a"}],"geometry":{"points":)" +
           points + R"(}},{"source_type":"example","source_id":"example-1","zones":[{"id":"b"}]},)"
           R"({"source_type":"EXAMPLE","source_id":"example-2","zones":[{"id":"c"}]}]})",
       "",
       [](const SourceConfiguration& c) {
         const ZoneProfile* p = c.FindProfile(kExample1);
         ASSERT_NE(p, nullptr);
         EXPECT_EQ(p->zones, R"([{"id":"a"}])");
         EXPECT_TRUE(p->has_geometry);
         EXPECT_EQ(p->corners.top_right.y, 0.2);
         EXPECT_TRUE(p->hide_empty);  // untouched
         EXPECT_EQ(c.FindProfile(ProfileKey("example", "example-2")), nullptr);
       }},
      {"zones of another shape and counter-clockwise geometry are ignored",
       R"({"version":1,"profiles":[{"source_type":"example","source_id":"example-2","zones":{},"geometry":{"points":)" +
           ccw + R"(}}]})",
       "",
       [](const SourceConfiguration& c) {
         const ZoneProfile* p = c.FindProfile(ProfileKey("example", "example-2"));
         ASSERT_NE(p, nullptr);
         EXPECT_EQ(p->zones, "[]");
         EXPECT_FALSE(p->has_zones || p->has_geometry);
       }},
  };
  for (const DefaultsCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const auto path = folder / "factory-defaults.json";
    if (!c.document.empty()) WriteText(path, c.document);
    SourceConfiguration config;
    ZoneProfile& earlier = config.FindOrAddProfile(kExample1);
    earlier.zones = R"([{"id":"old"}])";
    earlier.has_zones = true;
    earlier.hide_empty = earlier.has_hide_empty = true;
    ConfigStore store(folder / "data");
    std::string error;
    const bool applied = store.ApplyFactoryDefaults(config, path, error);
    EXPECT_EQ(applied, std::string(c.error).empty());
    if (!applied) {
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(config.profiles.size(), 1u);
      EXPECT_EQ(config.profiles[0].zones, R"([{"id":"old"}])");
    } else {
      c.check(config);
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "data"));
  }
}

}  // namespace
}  // namespace tessvark
