#include "settings/sport_zones.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "file_size_limit.h"
#include "settings/sport_selection.h"
#include "settings_test_support.h"

namespace tessvark {
namespace {

std::string Entry(const std::string& sport, const std::string& type, const std::string& id,
                  const std::string& zones = "[]") {
  return R"({"sport":")" + sport + R"(","source_type":")" + type + R"(","source_id":")" + id +
         R"(","zones":)" + zones + "}";
}

std::string Document(const std::string& entries) {
  return R"({"version":1,"profiles":[)" + entries + "]}";
}

TEST(ReadSportZones, UnusableFilesReadAsTheEmptyDocument) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"JSON array", "[]"},
      {"version 2", R"({"version":2,"profiles":[]})"},
      {"profiles as object", R"({"version":1,"profiles":{}})"},
      {"not JSON", R"({"version":1,"profiles":[)"},
      {"one byte too large", Document("") + std::string(1048577 - Document("").size(), ' ')},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    WriteText(folder / "sport_zones.json", c.text);
    const SportZonesDocument document = ReadSportZones(folder / "sport_zones.json");
    EXPECT_TRUE(document.profiles.empty() && document.preserved.empty()) << c.name;
  }
  TempFolder folder;
  EXPECT_TRUE(ReadSportZones(folder / "missing.json").profiles.empty());
  EXPECT_TRUE(ReadSportZones({}).profiles.empty());
  // Exactly 1 MiB is still read.
  const std::string entry = Entry("football", "ndi", "cam");
  const std::string full = Document(entry);
  WriteText(folder / "full.json", full + std::string(1048576 - full.size(), ' '));
  EXPECT_EQ(ReadSportZones(folder / "full.json").profiles.size(), 1u);
}

TEST(ReadSportZones, InvalidEntriesArePreservedCompactly) {
  struct Case {
    const char* name;
    std::string element;
    bool valid;
  };
  const std::string zone = R"({"id":"clock","role":"clock","x":0.5,"y":0,"width":0.25,"height":1})";
  const Case cases[] = {
      {"plain entry", Entry("football", "ndi", "cam", "[" + zone + "]"), true},
      {"code with digit and underscore", Entry("ice_hockey2", "ndi", "cam"), true},
      {"capital letter", Entry("Football", "ndi", "cam"), false},
      {"starts with a digit", Entry("1ball", "ndi", "cam"), false},
      {"hyphen", Entry("foot-ball", "ndi", "cam"), false},
      {"33 bytes", Entry(std::string(33, 'a'), "ndi", "cam"), false},
      {"32 bytes", Entry(std::string(32, 'a'), "ndi", "cam"), true},
      {"source id of 240 bytes", Entry("football", "ndi", std::string(240, 'i')), true},
      {"source id of 241 bytes", Entry("football", "ndi", std::string(241, 'i')), false},
      {"zero byte in the id", Entry("football", "ndi", "a\\u0000b"), false},
      {"empty source type", Entry("football", "", "cam"), false},
      {"zone without height", Entry("football", "ndi", "cam", R"([{"id":"a","role":"clock","x":0,"y":0,"width":1}])"), false},
      {"x as text", Entry("football", "ndi", "cam", R"([{"id":"a","role":"clock","x":"0","y":0,"width":1,"height":1}])"), false},
      {"81-byte role", Entry("football", "ndi", "cam", R"([{"id":"a","role":")" + std::string(81, 'r') + R"(","x":0,"y":0,"width":1,"height":1}])"), false},
      {"empty id", Entry("football", "ndi", "cam", R"([{"id":"","role":"clock","x":0,"y":0,"width":1,"height":1}])"), false},
      {"huge number", Entry("football", "ndi", "cam", R"([{"id":"a","role":"clock","x":1e999,"y":0,"width":1,"height":1}])"), false},
      {"zones not a list", Entry("football", "ndi", "cam", "{}"), false},
      {"not an object", "17", false},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    WriteText(folder / "sport_zones.json", Document(c.element));
    const SportZonesDocument document = ReadSportZones(folder / "sport_zones.json");
    EXPECT_EQ(document.profiles.size(), c.valid ? 1u : 0u) << c.name;
    EXPECT_EQ(document.preserved.size(), c.valid ? 0u : 1u) << c.name;
  }
}

TEST(SportZonesText, SortsEntriesAndWritesPreservedElementsBack) {
  TempFolder folder;
  WriteText(folder / "sport_zones.json",
            R"({"version": 1.0, "other": 1, "profiles": [)" + Entry("b", "x", "2") + "," +
                Entry("a", "y", "1", R"([{"id":"z","role":"clock","x":0.1,"y":0,"width":1.0,"height":1,"extra":"\t"}])") +
                R"(, {"sport": "Bad", "value": 1.0}, )" + Entry("b", "x", "1") + R"(, [1, 2]]})");
  const SportZonesDocument document = ReadSportZones(folder / "sport_zones.json");
  ASSERT_EQ(document.profiles.size(), 3u);
  EXPECT_EQ(document.profiles[0].source_id, "2");  // file order in memory
  EXPECT_EQ(SportZonesText(document),
            R"({"profiles":[{"source_id":"1","source_type":"y","sport":"a","zones":[{"id":"z","role":"clock","x":0.10000000000000001,"y":0,"width":1,"height":1,"extra":"\u0009"}]},)"
            R"({"source_id":"1","source_type":"x","sport":"b","zones":[]},)"
            R"({"source_id":"2","source_type":"x","sport":"b","zones":[]}],)"
            R"("preserved":[{"sport":"Bad","value":1},[1,2]],"version":1})");
  EXPECT_EQ(SportZonesText(SportZonesDocument{}), R"({"profiles":[],"version":1})");
}

TEST(ReadSportZones, KeepsEntriesForTheSameSourceAndSportAsTheyStand) {
  TempFolder folder;
  WriteText(folder / "sport_zones.json",
            Document(Entry("soccer", "ndi", "cam", R"([{"id":"a","role":"clock","x":0,"y":0,"width":1,"height":1}])") +
                     "," + Entry("soccer", "ndi", "cam")));
  const SportZonesDocument document = ReadSportZones(folder / "sport_zones.json");
  ASSERT_EQ(document.profiles.size(), 2u);
  EXPECT_NE(document.profiles[0].zones, "[]");  // the first match is the one the session uses
  EXPECT_EQ(document.profiles[1].zones, "[]");
}

TEST(SaveSportZones, WritesTheDocumentAndReadsItBack) {
  TempFolder folder;
  const auto path = folder / "data" / "sport_zones.json";
  SportZonesDocument document;
  document.version = 7;
  document.profiles.push_back({"football", "ndi", "cam \"1\"", R"([{"id":"a"}])"});
  std::string error;
  ASSERT_TRUE(SaveSportZones(path, document, error)) << error;
  EXPECT_EQ(ReadText(path),
            R"({"profiles":[{"source_id":"cam \"1\"","source_type":"ndi","sport":"football","zones":[{"id":"a"}]}],"version":1})");
  EXPECT_EQ(FolderNames(folder / "data"), std::set<std::string>{"sport_zones.json"});
  EXPECT_TRUE(SaveSportZones({}, document, error));

  // A file under the fixed temporary name of earlier versions is neither used nor in the way.
  WriteText(folder / "data" / "sport_zones.json.tmp", std::string(5000, 'x'));
  document.profiles.clear();
  ASSERT_TRUE(SaveSportZones(path, document, error)) << error;
  EXPECT_EQ(ReadText(path), R"({"profiles":[],"version":1})");
  EXPECT_EQ(ReadText(folder / "data" / "sport_zones.json.tmp"), std::string(5000, 'x'));
}

// Elements the reader could not use survive every later save, not only the first.
TEST(SaveSportZones, PreservedElementsSurviveTheSecondSave) {
  TempFolder folder;
  const auto path = folder / "sport_zones.json";
  const std::string clock =
      R"([{"id":"c","role":"clock","x":0.25,"y":1e400,"width":0.5,"height":0.2}])";
  WriteText(path, Document(Entry("football", "ndi", "cam", "[]") + "," +
                           Entry("football", "ndi", "bad", clock) + R"(,[1,2])"));
  std::string error;
  const SportZonesDocument first = ReadSportZones(path);
  ASSERT_EQ(first.preserved.size(), 2u);
  ASSERT_TRUE(SaveSportZones(path, first, error)) << error;
  const std::string once = ReadText(path);
  const SportZonesDocument second = ReadSportZones(path);
  EXPECT_EQ(second.preserved, first.preserved);
  ASSERT_TRUE(SaveSportZones(path, second, error)) << error;
  EXPECT_EQ(ReadText(path), once);
  EXPECT_EQ(SportZonesText(ReadSportZones(path)), once);
}

// The judgement the session asks before it stores a zone set is the reader's own: whatever it
// accepts comes back from a save and a read, whatever it refuses would not.
TEST(SportZoneEntryProblem, AcceptsExactlyWhatTheReaderBringsBack) {
  struct Case {
    const char* name;
    std::string sport;
    std::string type;
    std::string id;
    std::string zones;
    std::string problem;
  };
  const std::string zone = R"([{"id":"clock","role":"clock","x":0.5,"y":0,"width":0.25,"height":1}])";
  const std::string id_problem = "the source id must be 1 to 240 bytes without a zero byte";
  const Case cases[] = {
      {"plain", "football", "srt", "cam", zone, ""},
      {"source id of 240 bytes", "football", "srt", std::string(240, 'i'), zone, ""},
      {"source id of 241 bytes", "football", "srt", std::string(241, 'i'), zone, id_problem},
      {"source id of 300 bytes", "football", "srt", std::string(300, 'i'), "[]", id_problem},
      {"empty source id", "football", "none", "", "[]", id_problem},
      {"zero byte in the id", "football", "srt", std::string("a\0b", 3), "[]", id_problem},
      {"33-byte source type", "football", std::string(33, 't'), "cam", "[]",
       "the source type must be 1 to 32 bytes without a zero byte"},
      {"sport code with a capital", "Football", "srt", "cam", "[]", "the sport code is not valid"},
      {"81-byte zone id", "football", "srt", "cam",
       R"([{"id":")" + std::string(81, 'z') + R"(","role":"clock","x":0,"y":0,"width":1,"height":1}])",
       "each zone needs an id and a role of 1 to 80 bytes and finite coordinates"},
      {"not a list", "football", "srt", "cam", "null",
       "each zone needs an id and a role of 1 to 80 bytes and finite coordinates"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SportZoneEntryProblem(c.sport, c.type, c.id, ParseJson(c.zones)), c.problem);
    TempFolder folder;
    SportZonesDocument document;
    document.profiles.push_back({c.sport, c.type, c.id, c.zones});
    std::string error;
    ASSERT_TRUE(SaveSportZones(folder / "sport_zones.json", document, error)) << error;
    EXPECT_EQ(ReadSportZones(folder / "sport_zones.json").profiles.size(),
              c.problem.empty() ? 1u : 0u);
  }
}

// A document its reader would refuse as a whole (over 1 MiB) is not written: the file on disk
// stays as it was, nothing is kept aside and no temporary file remains. 1 MiB exactly is written.
TEST(SaveSportZones, RefusesADocumentLargerThanItsReaderTakes) {
  TempFolder folder;
  const auto path = folder / "sport_zones.json";
  SportZonesDocument document;
  document.profiles.push_back({"football", "ndi", "cam", "[]"});
  const std::size_t base = SportZonesText(document).size();
  document.profiles[0].zones = "[" + std::string(1048576 - base, ' ') + "]";
  ASSERT_EQ(SportZonesText(document).size(), 1048576u);
  std::string error;
  ASSERT_TRUE(SaveSportZones(path, document, error)) << error;
  EXPECT_EQ(ReadSportZones(path).profiles.size(), 1u);

  const std::string before = ReadText(path);
  document.profiles[0].zones.insert(1, " ");
  EXPECT_FALSE(SaveSportZones(path, document, error));
  EXPECT_EQ(error, "sport zones would be larger than 1048576 bytes");
  EXPECT_EQ(ReadText(path), before);
  EXPECT_EQ(FolderNames(folder.path()), std::set<std::string>{"sport_zones.json"});
}

// Earlier versions wrote the sport files through a fixed temporary name, opened with truncation:
// a link planted there made a save overwrite the link's target. Now the name is of no account.
TEST(SportFiles, ALinkAtTheOldTemporaryNameIsNeverWrittenThrough) {
  const std::string victim_text = "precious";
  struct Case {
    const char* file;
    std::function<bool(const std::filesystem::path&, std::string&)> save;
    std::string expected;
  };
  SportZonesDocument document;
  document.profiles.push_back({"football", "ndi", "cam", "[]"});
  const Case cases[] = {
      {"sport_zones.json",
       [&](const std::filesystem::path& path, std::string& error) {
         return SaveSportZones(path, document, error);
       },
       SportZonesText(document)},
      {"sport_selection.json",
       [](const std::filesystem::path& path, std::string& error) {
         SportSelectionStore store(path);
         return store.SaveSelection("football", "", error);
       },
       R"({"by_source":{},"selected_sport":"football","version":1})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempFolder folder;
    const auto victim = folder / "victim";
    WriteText(victim, victim_text);
    std::filesystem::create_symlink(victim, folder / (std::string(c.file) + ".tmp"));
    std::string error;
    ASSERT_TRUE(c.save(folder / c.file, error)) << error;
    EXPECT_EQ(ReadText(victim), victim_text);
    EXPECT_EQ(ReadText(folder / c.file), c.expected);
    EXPECT_TRUE(std::filesystem::is_symlink(folder / (std::string(c.file) + ".tmp")));
    EXPECT_EQ(FolderNames(folder.path()),
              (std::set<std::string>{c.file, std::string(c.file) + ".tmp", "victim"}));
  }
}

TEST(SaveSportZones, RefusesPathsOutsideTheStoreAndReportsFailedWrites) {
  TempFolder folder;
  std::string error;
  for (const std::filesystem::path& path :
       {std::filesystem::path("../sport_zones.json"),
        std::filesystem::path("/home/u/Library/Application Support/Tessvark/sport_zones.json")}) {
    EXPECT_TRUE(IsRefusedStorePath(path)) << path;
    EXPECT_FALSE(WriteSportZonesFile(path, "{}", error));
    EXPECT_EQ(error, "sport zone path is not the development store");
  }
  EXPECT_FALSE(WriteSportZonesFile({}, "{}", error));
  EXPECT_EQ(error, "sport zone path is not the development store");
  EXPECT_FALSE(IsRefusedStorePath(folder / "a" / ".." / "sport_zones.json"));
  EXPECT_FALSE(IsRefusedStorePath("/x/Application Support/Tessvark Unified Native/sport_zones.json"));

  std::filesystem::create_directories(folder / "sport_zones.json" / "inside");
  EXPECT_FALSE(SaveSportZones(folder / "sport_zones.json", SportZonesDocument{}, error));
  EXPECT_EQ(error, "sport zones could not be saved");
  EXPECT_FALSE(std::filesystem::exists(folder / "sport_zones.json.tmp"));
}

// An existing file that reads as the empty document is kept before the first save replaces it.
TEST(SaveSportZones, KeepsAnUnusableFileBeforeReplacingIt) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"not JSON", "{\"version\":1,\"profiles\":[" + Entry("football", "ndi", "cam")},
      {"another version", R"({"version":2,"profiles":[)" + Entry("football", "ndi", "cam") + "]}"},
      {"too large", Document(Entry("football", "ndi", "cam")) + std::string(1048576, ' ')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const auto path = folder / "sport_zones.json";
    WriteText(path, c.text);
    SportZonesDocument document = ReadSportZones(path);
    EXPECT_TRUE(document.profiles.empty());
    document.profiles.push_back({"soccer", "ndi", "cam", "[]"});
    std::string error;
    ASSERT_TRUE(SaveSportZones(path, document, error)) << error;
    EXPECT_EQ(ReadText(folder / "sport_zones.json.unreadable"), c.text);
    EXPECT_EQ(ReadSportZones(path).profiles.size(), 1u);
    // A usable file needs no further copy.
    ASSERT_TRUE(SaveSportZones(path, document, error)) << error;
    EXPECT_EQ(FolderNames(folder.path()),
              (std::set<std::string>{"sport_zones.json", "sport_zones.json.unreadable"}));
  }
}

TEST(SaveSportZones, DoesNotReplaceAFileWhoseCopyCannotBeMade) {
  TempFolder folder;
  const auto path = folder / "sport_zones.json";
  MakeUnreadableFile(path);
  std::string error;
  ASSERT_TRUE(SaveSportZones(path, SportZonesDocument{}, error)) << error;
  EXPECT_EQ(std::filesystem::read_symlink(folder / "sport_zones.json.unreadable"), "/proc/self/mem");

  const std::string text = "[" + std::string(4000, ' ') + "]";
  WriteText(path, text);
  {
    FileSizeLimit limit(1024);
    EXPECT_FALSE(SaveSportZones(path, SportZonesDocument{}, error));
    EXPECT_EQ(error, "sport zones could not be saved");
  }
  EXPECT_EQ(ReadText(path), text);
}

}  // namespace
}  // namespace tessvark
