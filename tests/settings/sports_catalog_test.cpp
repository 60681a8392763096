#include "settings/sports_catalog.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "settings/catalog_text.h"
#include "settings_test_support.h"

namespace tessvark {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A valid catalog; the cases below change one piece of it at a time.
const std::string kFootball =
    R"({"id":"11111111-2222-4333-8444-555555555555","code":"football","name":"Football",)"
    R"("description":"Downs and yards.","enabled":true,"sort_order":10,"definitions":[)"
    R"({"id":"aaaaaaaa-0000-4000-8000-000000000001","group_name":"Score","data_key":"home_score",)"
    R"("display_name":"Home Score","data_type":"integer","data_format":"integer","ocr_interval_ms":500,)"
    R"("enabled":true,"sort_order":1,"parameters":{"support":"native","reader":"two_cell","agent_role":"home_score"}},)"
    R"({"id":"aaaaaaaa-0000-4000-8000-000000000002","group_name":"Time","data_key":"clock",)"
    R"("display_name":"Game Clock","data_type":"timer","data_format":"mm:ss","ocr_interval_ms":200,)"
    R"("enabled":true,"sort_order":2,"parameters":{"support":"native","reader":"clock","agent_role":"clock","detected_formats":["mm:ss","ss.s"]}},)"
    R"({"id":"aaaaaaaa-0000-4000-8000-000000000003","group_name":"Time","data_key":"play_clock",)"
    R"("display_name":"Play Clock","data_type":"timer","data_format":"ss","ocr_interval_ms":200,)"
    R"("enabled":false,"sort_order":3,"parameters":{"support":"native","reader":"two_cell","agent_role":"shot_clock","aliases":["shot_clock"]}},)"
    R"({"id":"aaaaaaaa-0000-4000-8000-000000000004","group_name":"Stats","data_key":"penalty_yards",)"
    R"("display_name":"Penalty Yards","data_type":"integer","data_format":"integer","ocr_interval_ms":1000,)"
    R"("enabled":true,"sort_order":4,"parameters":{"support":"unsupported"}}]})";
const std::string kHockey =
    R"({"id":"66666666-7777-4888-9999-AAAAAAAAAAAA","code":"ice_hockey","name":"  Ice \n\t Hockey ",)"
    R"("description":null,"enabled":true,"sort_order":20,"definitions":[)"
    R"({"id":"bbbbbbbb-0000-4000-8000-000000000001","group_name":"Time","data_key":"play_clock",)"
    R"("display_name":"Penalty","data_type":"timer","data_format":"mm:ss","ocr_interval_ms":500,)"
    R"("enabled":true,"sort_order":1,"parameters":{"support":"native","reader":"clock","agent_role":"home_penalty_1","aliases":["home_penalty_1","shot_clock"]}}]})";

std::string CatalogText(const std::string& sports = kFootball + "," + kHockey) {
  return R"({"schema_version":"1","catalog_version":3,"catalog_id":"0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9",)"
         R"("published_at":"2026-12-01T10:20:30Z","sports":[)" + sports + "]}";
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("fixture text not found: " + from);
  return text.replace(at, from.size(), to);
}

struct CatalogCase {
  const char* from;
  std::string to;
  const char* reason;  // empty: the changed catalog is still valid
};

TEST(ParseCatalog, EachRuleRefusesTheWholeFileWithItsReason) {
  const CatalogCase cases[] = {
      {R"({"schema_version")", R"([{"schema_version")", "catalog is invalid"},
      {R"("catalog_version":3,)", R"("catalog_version":3,"extra":1,)", "catalog version is invalid"},
      {R"("schema_version":"1")", R"("schema_version":1)", "catalog version is invalid"},
      {R"("catalog_version":3)", R"("catalog_version":7.5)", "catalog version is invalid"},
      {R"("catalog_version":3)", R"("catalog_version":-1)", "catalog version is invalid"},
      {R"("catalog_version":3)", R"("catalog_version":2147483648)", "catalog version is invalid"},
      {R"("catalog_version":3)", R"("catalog_version":7.0)", ""},
      {"2026-12-01T10:20:30Z", "2026-1-01T10:20:30Z", "published time is invalid"},
      {"2026-12-01T10:20:30Z", "2026-13-45T99:20:30Z", ""},
      {"2026-12-01T10:20:30Z", "2026-12-01 10:20:30Z", "published time is invalid"},
      {R"("catalog_id":"0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9")",
       R"("catalog_id":"0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F")", "identifier is invalid"},
      {R"("catalog_id":"0F1E2D3C-4B5A)", R"("catalog_id":"0F1E2D3C4-B5A)", "identifier is invalid"},
      {R"("code":"football",)", R"("code":"football","extra":1,)", "sport is invalid"},
      {R"("code":"ice_hockey")", R"("code":"football")", "sport code is invalid"},
      {R"("code":"ice_hockey")", R"("code":"Ice_hockey")", "sport code is invalid"},
      {R"("code":"ice_hockey")", R"("code":"2hockey")", "sport code is invalid"},
      {R"("code":"ice_hockey")", R"("code":"_hockey")", "sport code is invalid"},
      {R"("code":"ice_hockey")", R"("code":")" + std::string(33, 'h') + "\"", "sport code is invalid"},
      {R"("code":"ice_hockey")", R"("code":")" + std::string(32, 'h') + "\"", ""},
      {R"("enabled":true,"sort_order":10)", R"("enabled":1,"sort_order":10)", "enabled is invalid"},
      {R"("sort_order":20,"definitions":[)", R"("sort_order":20,"definitions":[],"x":[)", "sport is invalid"},
      {R"("id":"66666666-7777-4888-9999-AAAAAAAAAAAA")", R"("id":"66666666-7777-4888-9999-AAAAAAAAAAA")",
       "identifier is invalid"},
      {R"("id":"66666666-7777-4888-9999-AAAAAAAAAAAA")", R"("id":"66666666-7777-4888-9999-AAAAAAAAAAAG")",
       "text is invalid"},
      {R"("name":"  Ice \n\t Hockey ")", R"("name":" \t ")", "text is invalid"},
      {R"("description":null)", R"("description":"   ")", "text is invalid"},
      {R"("description":null)", R"("description":"")", ""},
      {R"("sort_order":20)", R"("sort_order":-1)", "sort order is invalid"},
      {R"("group_name":"Stats",)", R"("group_name":"Stats","unit":"yd",)", "definition is invalid"},
      {R"("data_key":"penalty_yards")", R"("data_key":"Penalty")", "data key is invalid"},
      {R"("data_type":"integer","data_format":"integer","ocr_interval_ms":1000)",
       R"("data_type":"integer","data_format":"decimal","ocr_interval_ms":1000)", "type is invalid"},
      {R"("data_format":"ss")", R"("data_format":"m:ss")", "type is invalid"},
      {R"("ocr_interval_ms":1000)", R"("ocr_interval_ms":99)", "interval is invalid"},
      {R"("ocr_interval_ms":1000)", R"("ocr_interval_ms":150.5)", "interval is invalid"},
      {R"("ocr_interval_ms":1000)", R"("ocr_interval_ms":60001)", "interval is invalid"},
      {R"("ocr_interval_ms":1000)", R"("ocr_interval_ms":60000)", ""},
      {R"("ocr_interval_ms":500,)", R"("ocr_interval_ms":100,)", ""},
      {R"("enabled":false)", R"("enabled":null)", "enabled is invalid"},
      {R"("sort_order":4)", R"("sort_order":4.5)", "sort order is invalid"},
      {R"("display_name":"Penalty Yards")", R"("display_name":")" + std::string(81, 'p') + "\"",
       "text is invalid"},
      {R"({"support":"unsupported"})", R"({"support":"unsupported","unit":"yd"})", "parameters are invalid"},
      {R"({"support":"unsupported"})", R"({"support":"sometimes"})", "support is invalid"},
      {R"({"support":"unsupported"})", R"({"reader":"two_cell"})", "support is invalid"},
      {R"({"support":"unsupported"})", R"({"support":"unsupported","reader":"two_cell"})",
       "unsupported data claims a reader"},
      {R"("reader":"two_cell","agent_role":"home_score")", R"("reader":"digits","agent_role":"home_score")",
       "reader is invalid"},
      {R"("reader":"two_cell","agent_role":"home_score")", R"("reader":"two_cell","agent_role":"score")",
       "reader is invalid"},
      {R"("aliases":["shot_clock"])", R"("aliases":["shot_clock","Shot"])", "alias is invalid"},
      {R"("aliases":["shot_clock"])", R"("aliases":[])", "agent role is hidden"},
      {R"("detected_formats":["mm:ss","ss.s"])", R"("detected_formats":["m:s"])", "format is invalid"},
      {R"("detected_formats":["mm:ss","ss.s"])", R"("detected_formats":[],"public_key":" ")", "text is invalid"},
      {R"("aliases":["shot_clock"])", R"("aliases":["shot_clock","home_score"])", "alias collides"},
      {R"("aliases":["shot_clock"])", R"("aliases":["shot_clock","play_clock"])", ""},
  };
  for (const CatalogCase& c : cases) {
    const std::string text = Replaced(CatalogText(), c.from, c.to);
    SportsCatalog catalog;
    catalog.origin = "kept";
    const CatalogParseResult result = ParseCatalog(text, catalog);
    EXPECT_EQ(result.ok, std::string(c.reason).empty()) << c.to;
    EXPECT_EQ(result.reason, c.reason) << c.to;
    if (!result.ok) {
      EXPECT_EQ(catalog.origin, "kept") << "a refused file must change nothing";
    }
  }
}

TEST(ParseCatalog, KeepsNormalisedValuesAndDropsLoaderMembers) {
  const std::string text = Replaced(CatalogText(), R"("catalog_version":3,)",
                                    R"("catalog_version":3,"origin":"bundled","downloads_enabled":true,)"
                                    R"("intervals_applied":true,"origin":"x",)");
  SportsCatalog catalog;
  const CatalogParseResult result = ParseCatalog(text, catalog);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(catalog.catalog_id, "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9");
  EXPECT_EQ(catalog.origin, "");
  EXPECT_FALSE(catalog.downloads_enabled || catalog.intervals_applied);
  ASSERT_EQ(catalog.sports.size(), 2u);
  EXPECT_EQ(catalog.sports[0].label, "American Football");
  EXPECT_EQ(catalog.sports[1].name, "Ice Hockey");
  EXPECT_EQ(catalog.sports[1].label, "Ice Hockey");
  EXPECT_EQ(catalog.sports[1].id, "66666666-7777-4888-9999-aaaaaaaaaaaa");
  EXPECT_FALSE(catalog.sports[1].description.has_value());
  const DataDefinition& clock = catalog.sports[0].definitions[1];
  EXPECT_EQ(clock.zone_type, "clock");
  EXPECT_EQ(clock.ocr_name, "Clock");
  EXPECT_TRUE(clock.ocr_available);
  const DataDefinition& yards = catalog.sports[0].definitions[3];
  EXPECT_EQ(yards.support, DefinitionSupport::kUnsupported);
  EXPECT_FALSE(yards.ocr_available);
}

TEST(ParseCatalog, AcceptsOneToOneHundredSports) {
  const auto sports = [](int count) {
    std::string list;
    for (int i = 0; i < count; ++i) {
      if (i > 0) list += ',';
      list += Replaced(kHockey, R"("code":"ice_hockey")", "\"code\":\"sport" + std::to_string(i) + "\"");
    }
    return list;
  };
  SportsCatalog catalog;
  EXPECT_TRUE(ParseCatalog(CatalogText(sports(100)), catalog).ok);
  EXPECT_EQ(catalog.sports.size(), 100u);
  EXPECT_EQ(ParseCatalog(CatalogText(sports(101)), catalog).reason, "sports are invalid");
  EXPECT_EQ(ParseCatalog(CatalogText(""), catalog).reason, "sports are invalid");
}

TEST(SportsCatalog, LooksUpSportsRolesAndDataKeys) {
  SportsCatalog catalog;
  ASSERT_TRUE(ParseCatalog(CatalogText(), catalog).ok);
  EXPECT_EQ(catalog.FindSport("ice_hockey")->code, "ice_hockey");
  EXPECT_EQ(catalog.FindSport("hockey"), nullptr);
  // A disabled native definition still gives its role.
  EXPECT_EQ(catalog.AgentRoles("football"),
            (std::vector<std::string>{"home_score", "clock", "shot_clock"}));
  EXPECT_TRUE(catalog.AgentRoles("curling").empty());
  EXPECT_EQ(catalog.ResolveRole("football", "shot_clock"), "play_clock");
  EXPECT_EQ(catalog.ResolveRole("football", "clock"), "clock");
  // The same alias in another sport stands for that sport's own key.
  EXPECT_EQ(catalog.ResolveRole("ice_hockey", "shot_clock"), "play_clock");
  EXPECT_EQ(catalog.ResolveRole("football", "penalty_yards"), "penalty_yards");
  EXPECT_FALSE(catalog.ResolveRole("football", "down").has_value());
  EXPECT_FALSE(catalog.ResolveRole("curling", "clock").has_value());
}

TEST(CatalogJson, WritesTheApiForm) {
  SportsCatalog catalog;
  ASSERT_TRUE(ParseCatalog(CatalogText(kFootball), catalog).ok);
  catalog.origin = "bundled";
  const std::string json = CatalogJson(catalog);
  EXPECT_THAT(json, StartsWith(
            R"({"schema_version":"1","catalog_version":3,"catalog_id":"0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9",)"
            R"("published_at":"2026-12-01T10:20:30Z","origin":"bundled","downloads_enabled":false,)"
            R"("intervals_applied":false,"sports":[{"id":"11111111-2222-4333-8444-555555555555",)"));
  EXPECT_THAT(json, HasSubstr(R"("code":"football","name":"Football","label":"American Football","description":"Downs and yards.","enabled":true,"sort_order":10,)"));
  EXPECT_EQ(DefinitionJson(catalog.sports[0].definitions[1]),
            R"({"id":"aaaaaaaa-0000-4000-8000-000000000002","group_name":"Time","data_key":"clock",)"
            R"("display_name":"Game Clock","data_type":"timer","data_format":"mm:ss","ocr_interval_ms":200,)"
            R"("enabled":true,"sort_order":2,"parameters":{"support":"native","reader":"clock","agent_role":"clock",)"
            R"("detected_formats":["mm:ss","ss.s"]},"ocr":{"available":true,"reader":"historical","role":"clock",)"
            R"("zone_type":"clock","name":"Clock","interval_ms":200,"produced_formats":["M:SS","MM:SS","S.t","SS.t"]}})");
  EXPECT_THAT(DefinitionJson(catalog.sports[0].definitions[2]), EndsWith(
            R"("parameters":{"support":"native","reader":"two_cell","agent_role":"shot_clock","aliases":["shot_clock"]},)"
            R"("ocr":{"available":true,"reader":"historical","role":"shot_clock","zone_type":"score","name":"Shot Clock","interval_ms":200}})"));
  EXPECT_THAT(DefinitionJson(catalog.sports[0].definitions[3]),
              EndsWith(R"("parameters":{"support":"unsupported"},"ocr":{"available":false}})"));
  EXPECT_EQ(CatalogJson(EmptyCatalog()),
            R"({"schema_version":"1","catalog_version":0,"catalog_id":"00000000-0000-4000-8000-000000000000",)"
            R"("published_at":"1970-01-01T00:00:00Z","origin":"unavailable","downloads_enabled":false,)"
            R"("intervals_applied":false,"reason":"no valid catalog","sports":[]})");
}

TEST(QuoteCatalogJson, EscapesTheCatalogSet) {
  EXPECT_EQ(QuoteCatalogJson("a\x01\t\n\r\b\f\"\\\x7F\xC3"), "\"a\\u0001\\t\\n\\r\\u0008\\u000c\\\"\\\\\x7F\xC3\"");
  EXPECT_EQ(CollapseWhitespace("  Ice \n\t Hockey \v"), "Ice Hockey");
  EXPECT_TRUE(IsCatalogCode("a_1", 3));
  EXPECT_FALSE(IsCatalogCode("a_12", 3));
}

TEST(SportsCatalogStore, LoadsTheCacheThenTheBundledCopyThenNothing) {
  TempFolder folder;
  const auto cache = folder / "cache.json";
  const auto bundled = folder / "bundled.json";
  const std::string valid = CatalogText();
  WriteText(bundled, Replaced(valid, R"("catalog_version":3)", R"("catalog_version":4)"));
  // Exactly 1 MiB is read; one byte more is skipped.
  WriteText(cache, valid + std::string(1048576 - valid.size(), ' '));
  SportsCatalogStore store;
  store.LoadCatalog(cache, bundled);
  EXPECT_EQ(store.catalog.origin, "cache");
  EXPECT_EQ(store.catalog.catalog_version, 3);
  WriteText(cache, valid + std::string(1048577 - valid.size(), ' '));
  std::string text;
  std::string reason;
  EXPECT_FALSE(SportsCatalogStore::ReadCatalogFile(cache, text, reason));
  EXPECT_EQ(reason, "catalog is too large");
  store.LoadCatalog(cache, bundled);
  EXPECT_EQ(store.catalog.origin, "bundled");
  EXPECT_EQ(store.catalog.catalog_version, 4);
  WriteText(bundled, "{}");
  store.LoadCatalog({}, bundled);
  EXPECT_EQ(store.catalog.origin, "unavailable");
  EXPECT_EQ(store.catalog.reason, "no valid catalog");
  EXPECT_TRUE(store.catalog.sports.empty());
  EXPECT_FALSE(SportsCatalogStore::ReadCatalogFile(folder / "missing.json", text, reason));
  EXPECT_EQ(reason, "unreadable");
}

TEST(SportsCatalogStore, AppliesTheCachedCatalogOnlyWhileOcrIsStopped) {
  TempFolder folder;
  const auto cache = folder / "cache.json";
  SportsCatalogStore store;
  store.LoadCatalog(cache, {});
  EXPECT_EQ(store.ApplyCachedCatalog(false), "invalid");
  WriteText(cache, CatalogText());
  EXPECT_EQ(store.ApplyCachedCatalog(true), "busy");
  EXPECT_EQ(store.catalog.origin, "unavailable");
  EXPECT_EQ(store.ApplyCachedCatalog(false), "applied");
  EXPECT_EQ(store.catalog.origin, "cache");
  EXPECT_EQ(store.catalog.sports.size(), 2u);
}

// The catalog the program ships passes every rule and covers the boards operators run.
TEST(BundledSportsCatalog, IsValidAndCoversTheCommonSports) {
  const std::string text = ReadText(std::filesystem::path(TESSVARK_SOURCE_DIR) / "resources" /
                                    "sports-catalog.json");
  SportsCatalog catalog;
  const CatalogParseResult result = ParseCatalog(text, catalog);
  ASSERT_TRUE(result.ok) << result.reason;
  for (const char* code : {"basketball", "ice_hockey", "football", "soccer", "volleyball", "handball"}) {
    ASSERT_NE(catalog.FindSport(code), nullptr) << code;
    const std::vector<std::string> roles = catalog.AgentRoles(code);
    EXPECT_NE(std::find(roles.begin(), roles.end(), "home_score"), roles.end()) << code;
    EXPECT_NE(std::find(roles.begin(), roles.end(), "guest_score"), roles.end()) << code;
    EXPECT_NE(std::find(roles.begin(), roles.end(), "period"), roles.end()) << code;
  }
  EXPECT_EQ(catalog.FindSport("football")->label, "American Football");
  const std::vector<std::string> football = catalog.AgentRoles("football");
  for (const char* role : {"clock", "down", "to_go", "ball_on", "shot_clock"}) {
    EXPECT_NE(std::find(football.begin(), football.end(), role), football.end()) << role;
  }
  const std::vector<std::string> hockey = catalog.AgentRoles("ice_hockey");
  for (const char* role : {"home_penalty_1", "guest_penalty_player_2", "home_shots"}) {
    EXPECT_NE(std::find(hockey.begin(), hockey.end(), role), hockey.end()) << role;
  }
  EXPECT_EQ(catalog.AgentRoles("basketball").size(), 9u);
}

}  // namespace
}  // namespace tessvark
