// The zone operations through the real server on loopback: a session on its own data folder
// showing the Example still picture.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/example_media/example_scenes.h"
#include "zone_api_client.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::ApiReply;
using testing::DetailJson;
using testing::FindZone;
using testing::ListedZones;

std::string RectJson(const JsonValue& zone) {
  return "\"x\":" + zone.At("x").text + ",\"y\":" + zone.At("y").text +
         ",\"width\":" + zone.At("width").text + ",\"height\":" + zone.At("height").text;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Member(const std::string& body, const std::string& key) {
  const JsonValue reply = ParseJson(body);
  const JsonValue* value = reply.Find("zone")->Find(key);
  return value == nullptr ? "<absent>" : value->kind == JsonKind::kObject ? "{object}" : value->text;
}

// Starts `run` with the shipped sports catalog and the source `type`/`id` selected.
bool StartWithCatalog(testing::ExampleStillSession& run, const std::string& type = "example",
                      const std::string& id = "example-2") {
  run.sports_catalog_path = std::string(TESSVARK_SOURCE_DIR) + "/resources/sports-catalog.json";
  return run.Start(type, id);
}

int ChooseIceHockey(testing::ExampleStillSession& run) {
  return run.api().Put("/api/sports/selection", R"({"sport":"ice_hockey"})").status;
}

// The still picture's source with ice hockey chosen.
bool StartUnderIceHockey(testing::ExampleStillSession& run) {
  return StartWithCatalog(run) && ChooseIceHockey(run) == 200;
}

class ZonesApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(run_.Start()); }
  testing::ZoneApiClient& api() { return run_.api(); }

  testing::ExampleStillSession run_{"zones-api"};
};

TEST_F(ZonesApiTest, CreatedZoneIsReadAtOnceAndSurvivesRestart) {
  const auto truth = testing::TruthByStateKey(RenderFootballScene().fields, {"home", "guest"});
  ASSERT_NE(truth.at("home"), truth.at("guest")) << "the scene tells the two scores apart";
  const JsonValue before = ListedZones(api());
  const JsonValue* guest = FindZone(before, "guest_score");
  ASSERT_NE(guest, nullptr);
  const std::string guest_rect = RectJson(*guest);
  EXPECT_EQ(api().Delete("/api/zones/home_score").body, R"({"success":true})");

  // A home score zone drawn over the guest's digits: the next pass reads the guest's number.
  const ApiReply created = api().Post(
      "/api/zones", R"({"id":"api-home","role":"home_score",)" + guest_rect + "}");
  ASSERT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(created.content_type, "application/json");
  EXPECT_EQ(Member(created.body, "name"), "Home Score");
  EXPECT_EQ(Member(created.body, "created_sequence"),
            std::to_string(before.items.size() + 1)) << "numbered after the factory zones";
  const auto state = testing::WaitForStateEvent(
      run_.session().Server().Port(),
      [&](const JsonValue& event) { return testing::StateText(event, "home") == truth.at("guest"); },
      testing::kPatience);
  EXPECT_TRUE(state.has_value()) << "the new zone was read";

  ASSERT_TRUE(run_.Restart());
  const JsonValue after = ListedZones(api());
  ASSERT_EQ(after.items.size(), before.items.size());
  EXPECT_EQ(after.items.back().At("id").text, "api-home");
  EXPECT_EQ(FindZone(after, "home_score"), nullptr);
}

TEST_F(ZonesApiTest, FirstZoneGetsAnEstimatedThresholdAndTheNextCopiesIt) {
  const JsonValue zones = ListedZones(api());
  const std::string score_rect = RectJson(*FindZone(zones, "guest_score"));
  for (const JsonValue& zone : zones.items) {
    ASSERT_EQ(api().Delete("/api/zones/" + zone.At("id").text).status, 200);
  }
  EXPECT_EQ(api().Get("/api/zones").body, "[]");

  // Off the picture there is nothing to measure.
  ApiReply first = api().Post("/api/zones",
                              R"({"id":"off","role":"period","x":1.5,"y":0,"width":0.1,"height":0.1})");
  ASSERT_EQ(first.status, 200) << first.body;
  EXPECT_EQ(Member(first.body, "processing"), "null");
  EXPECT_EQ(Member(first.body, "x"), "1.5") << "stored unclamped on creation";
  ASSERT_EQ(api().Delete("/api/zones/off").status, 200);

  first = api().Post("/api/zones", R"({"id":"g","role":"guest_score",)" + score_rect + "}");
  ASSERT_EQ(first.status, 200) << first.body;
  const JsonValue first_zone = *ParseJson(first.body).Find("zone");
  const JsonValue* processing = first_zone.Find("processing");
  ASSERT_EQ(processing->kind, JsonKind::kObject) << first.body;
  const int threshold = std::stoi(processing->At("threshold").text);
  EXPECT_GT(threshold, 2);
  EXPECT_LT(threshold, 253);
  EXPECT_NE(threshold, 150) << "measured, not the default";

  const ApiReply second = api().Post(
      "/api/zones", R"({"id":"h","role":"home_score","x":0.1,"y":0.1,"width":0.1,"height":0.1})");
  ASSERT_EQ(second.status, 200) << second.body;
  const JsonValue copied = *ParseJson(second.body).Find("zone")->Find("processing");
  EXPECT_EQ(copied.At("threshold").text, processing->At("threshold").text) << second.body;
  EXPECT_EQ(copied.At("invert").text, processing->At("invert").text);
  EXPECT_EQ(Member(second.body, "created_sequence"), "2");
}

TEST_F(ZonesApiTest, CreateRefusals) {
  const std::string rect = R"("x":0.1,"y":0.1,"width":0.1,"height":0.1)";
  const std::vector<testing::Refusal> cases = {
      {"{", 400, "Request body is not valid JSON"},
      {"[]", 422, "Request body must be an object"},
      {R"({"id":"a","role":"period","x":0,"y":0,"width":0.1})", 422,
       "Zone is missing a required field"},
      {R"({"id":5,"role":"period",)" + rect + "}", 422, "Zone id and role must be strings"},
      {R"({"id":"a/b","role":"period",)" + rect + "}", 422, "Zone id and role must be strings"},
      {R"({"id":"a","role":null,)" + rect + "}", 422, "Zone id and role must be strings"},
      // Ids that the server's path check would make unreachable afterwards.
      {R"({"id":"a%2Eb","role":"home_score",)" + rect + "}", 422,
       "Zone id must not contain %2e, %5c or %00"},
      {R"({"id":"a%5cb","role":"home_score",)" + rect + "}", 422,
       "Zone id must not contain %2e, %5c or %00"},
      {R"({"id":"%00","role":"home_score",)" + rect + "}", 422,
       "Zone id must not contain %2e, %5c or %00"},
      {R"({"id":"a","role":"goalie",)" + rect + "}", 400, "Unknown OCR zone role"},
      {R"({"id":"a","role":"period","x":true,"y":0,"width":0.1,"height":0.1})", 422,
       "Zone coordinates must be numeric"},
      {R"({"id":"a","role":"period","x":"0","y":0,"width":0.1,"height":0.1})", 422,
       "Zone coordinates must be numeric"},
      // A literal too large for a double is a number, but not one that could be stored.
      {R"({"id":"a","role":"period","x":0.25,"y":1e400,"width":0.5,"height":0.2})", 422,
       "y is not a finite number"},
      {R"({"id":"new","role":"period",)" + rect + "}", 409, "This OCR zone already exists"},
      {R"({"id":"period","role":"shot_clock",)" + rect + "}", 409,
       "This OCR zone already exists"},
      {R"({"id":"a","role":"shot_clock","processing":{"threshold":"x"},)" + rect + "}", 422,
       "threshold must be numeric"},
      {R"({"id":"a","role":"shot_clock","perspective":5,)" + rect + "}", 422,
       "Perspective must be an object"},
      {R"({"id":"a","role":"home_penalty_1","clock_format":"hh:mm",)" + rect + "}", 422,
       "Clock format must be auto, m:ss, or mm:ss"},
  };
  const std::string before = api().Get("/api/zones").body;
  ASSERT_NE(testing::FindZone(ParseJson(before), "period"), nullptr);
  ASSERT_EQ(testing::FindZone(ParseJson(before), "home_penalty_1"), nullptr);
  testing::ExpectRefusals(cases, [&](const std::string& body) { return api().Post("/api/zones", body); });
  EXPECT_EQ(api().Get("/api/zones").body, before) << "no refusal changed the zones";

  // A clock format only matters for the roles read as times.
  const ApiReply score = api().Post(
      "/api/zones", R"({"id":"a","role":"shot_clock","clock_format":"hh:mm",)" + rect + "}");
  ASSERT_EQ(score.status, 200) << score.body;
  EXPECT_EQ(Member(score.body, "clock_format"), "<absent>");
}

TEST_F(ZonesApiTest, UpdateClampsTheRectangleAndKeepsIdRoleAndProcessing) {
  const std::string perspective =
      R"("perspective":{"enabled":true,"corners":[{"x":0.1,"y":0.1},{"x":0.3,"y":0.1},)"
      R"({"x":0.3,"y":0.3},{"x":0.1,"y":0.3}]})";
  ApiReply reply = api().Put(
      "/api/zones/period",
      R"({"id":"other","role":"clock","x":0.1,"y":0.1,"width":0.2,"height":0.2,)"
      R"("processing":{"threshold":99},)" + perspective + "}");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(Member(reply.body, "id"), "period");
  EXPECT_EQ(Member(reply.body, "role"), "period");
  EXPECT_EQ(Member(reply.body, "perspective"), "{object}");

  reply = api().Put("/api/zones/period", R"({"x":1.5,"y":-1,"width":0.5,"height":0})");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(Member(reply.body, "x"), "1");
  EXPECT_EQ(Member(reply.body, "width"), "0");
  EXPECT_EQ(Member(reply.body, "y"), "0");
  EXPECT_EQ(Member(reply.body, "height"), "0.001");
  EXPECT_EQ(Member(reply.body, "perspective"), "<absent>") << "a missing perspective removes it";
  const JsonValue listed = ListedZones(api());
  EXPECT_EQ(FindZone(listed, "period")->At("processing").At("threshold").text, "99")
      << "a missing processing keeps it";

  // Numbers far beyond the whole-number fields end at their limits.
  reply = api().Put("/api/zones/period", R"({"x":0.1,"y":0.1,"width":0.1,"height":0.1,)"
                                         R"("processing":{"threshold":1e300,"blur":-1e300,)"
                                         R"("brightness":1e20,"morph_size":1e300}})");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_NE(reply.body.find(R"("threshold":255,)"), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find(R"("brightness":150,)"), std::string::npos);
  EXPECT_NE(reply.body.find(R"("blur":0,)"), std::string::npos);

  // Each request is the zone id, a space and the body.
  const std::vector<testing::Refusal> cases = {
      {R"(nothing {"x":0,"y":0,"width":0.1,"height":0.1})", 404, "Zone not found"},
      {"period {", 400, "Request body is not valid JSON"},
      {R"(period {"x":0,"y":0,"width":0.1})", 422, "Zone is missing a required field"},
      {R"(period {"x":0,"y":false,"width":0.1,"height":0.1})", 422,
       "Zone coordinates must be numeric"},
      {R"(period {"x":0,"y":0,"width":-1e999,"height":1e999})", 422,
       "width is not a finite number"},
      {R"(clock {"x":0,"y":0,"width":0.1,"height":0.1,"clock_format":"ss"})", 422,
       "Clock format must be auto, m:ss, or mm:ss"},
      {R"(clock {"x":0,"y":0,"width":0.1,"height":0.1,"processing":[]})", 422,
       "Zone processing must be an object"},
  };
  const std::string before = api().Get("/api/zones").body;
  testing::ExpectRefusals(cases, [&](const std::string& request) {
    const std::size_t space = request.find(' ');
    return api().Put("/api/zones/" + request.substr(0, space), request.substr(space + 1));
  });
  // The server refuses such a path itself; the operation answers alike before reading the body.
  EXPECT_EQ(run_.session().UpdateZone("a..b", "{").body, DetailJson("Zone not found"));
  EXPECT_EQ(api().Delete("/api/zones/nothing").body, DetailJson("Zone not found"));
  EXPECT_EQ(api().Get("/api/zones").body, before);
}

TEST_F(ZonesApiTest, ReorderTakesEveryIdOnce) {
  const JsonValue zones = ListedZones(api());
  ASSERT_GE(zones.items.size(), 3u);
  std::string reversed;
  for (auto zone = zones.items.rbegin(); zone != zones.items.rend(); ++zone) {
    reversed += (reversed.empty() ? "\"" : ",\"") + zone->At("id").text + "\"";
  }
  const std::string first = "\"" + zones.items[0].At("id").text + "\"";
  const std::string second = "\"" + zones.items[1].At("id").text + "\"";
  const std::vector<testing::Refusal> cases = {
      {"{}", 422, "Zone order requires zone_ids"},
      {R"({"zone_ids":[)" + reversed + R"(],"x":1})", 422, "Zone order requires zone_ids"},
      {R"({"zone_ids":"a"})", 422, "Zone order requires zone_ids"},
      {R"({"zone_ids":[)" + reversed + ",1]}", 422, "Zone order ids must be strings"},
      {R"({"zone_ids":[)" + first + "," + first + "]}", 400, "Zone order contains duplicate IDs"},
      {R"({"zone_ids":[)" + reversed + R"(,"zz"]})", 400, "Zone order contains unknown IDs"},
      {R"({"zone_ids":[)" + first + "," + second + "]}", 400, "Zone order is missing existing IDs"},
      {"nope", 400, "Request body is not valid JSON"},
  };
  const std::string before = api().Get("/api/zones").body;
  testing::ExpectRefusals(
      cases, [&](const std::string& body) { return api().Put("/api/zones/order", body); });
  EXPECT_EQ(api().Get("/api/zones").body, before);

  const ApiReply reply = api().Put("/api/zones/order", R"({"zone_ids":[)" + reversed + "]}");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.body, R"({"success":true,"zone_ids":[)" + reversed + "]}");
  const JsonValue after = ListedZones(api());
  EXPECT_EQ(after.items.front().At("id").text, zones.items.back().At("id").text);
  EXPECT_EQ(after.items.front().At("created_sequence").text,
            zones.items.back().At("created_sequence").text);
}

TEST_F(ZonesApiTest, HideEmptyIsKeptPerSource) {
  EXPECT_EQ(api().Get("/api/zones/hide-empty").body, R"({"enabled":true})")
      << "the still picture hides empty fields until told otherwise";
  const std::vector<testing::Refusal> cases = {
      {R"({"enabled":1})", 400, "Hide empty requires a boolean"},
      {R"({"enabled":true,"x":1})", 422, "Hide empty accepts only enabled"},
      {"{}", 422, "Hide empty accepts only enabled"},
      {"true", 422, "Request body must be an object"},
  };
  testing::ExpectRefusals(
      cases, [&](const std::string& body) { return api().Put("/api/zones/hide-empty", body); });
  EXPECT_EQ(api().Put("/api/zones/hide-empty", R"({"enabled":false})").body, R"({"enabled":false})");
  ASSERT_TRUE(run_.Restart());
  EXPECT_EQ(api().Get("/api/zones/hide-empty").body, R"({"enabled":false})");
}

TEST_F(ZonesApiTest, FailedSavesLeaveEverythingAsItWas) {
  const std::string zones = api().Get("/api/zones").body;
  testing::BreakDataFolder(run_.folder());
  const std::string saved = DetailJson("Configuration could not be saved");
  const std::string rect = R"("x":0.1,"y":0.1,"width":0.1,"height":0.1)";
  EXPECT_EQ(api().Post("/api/zones", R"({"id":"a","role":"shot_clock",)" + rect + "}").body, saved);
  EXPECT_EQ(api().Put("/api/zones/period", "{" + rect + "}").body, saved);
  EXPECT_EQ(api().Delete("/api/zones/period").body, saved);
  EXPECT_EQ(api().Put("/api/zones/hide-empty", R"({"enabled":false})").body, saved);
  EXPECT_EQ(api().Get("/api/zones").body, zones);
  EXPECT_EQ(api().Get("/api/zones/hide-empty").body, R"({"enabled":true})");
}

TEST(ZonesApiSport, ChosenSportKeepsItsOwnZoneSet) {
  testing::ExampleStillSession run("zones-sport");
  ASSERT_TRUE(StartUnderIceHockey(run));
  const std::string rect = R"("x":0.1,"y":0.5,"width":0.1,"height":0.1)";
  EXPECT_EQ(run.api().Post("/api/zones", R"({"id":"d","role":"down",)" + rect + "}").body,
            DetailJson("This field is not available for the selected sport"));
  EXPECT_EQ(run.api().Delete("/api/zones/down").body, DetailJson("Zone not found"))
      << "a zone of another sport is not there";
  ASSERT_EQ(run.api().Post("/api/zones", R"({"id":"s","role":"home_shots",)" + rect + "}").status,
            200);
  const JsonValue listed = ListedZones(run.api());
  EXPECT_NE(FindZone(listed, "s"), nullptr);
  EXPECT_EQ(FindZone(listed, "down"), nullptr);

  SourceConfiguration stored;
  ConfigStore(run.folder()).Load(stored);
  const std::string own = stored.FindProfile(ProfileKey("example", "example-2"))->zones;
  EXPECT_NE(own.find(R"("id":"down")"), std::string::npos) << "the source's own zones stay";
  EXPECT_EQ(own.find(R"("id":"s")"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(run.folder() / "sport_zones.json"));
}

// A zone the sport zone file could not bring back after a restart is refused with 422 and changes
// nothing, where it used to answer 200 and be gone at the next start. Without a sport the same
// source keeps its zones in the configuration files, which take any source id.
TEST(ZonesApiSport, ZonesTheSportFileWouldLoseAreRefused) {
  testing::ExampleStillSession run("zones-sport-long-id");
  ASSERT_TRUE(StartWithCatalog(run, "srt", std::string(300, 'i')));
  const std::string rect = R"("x":0.1,"y":0.5,"width":0.1,"height":0.1)";
  ASSERT_EQ(run.api().Post("/api/zones", R"({"id":"h","role":"home_shots",)" + rect + "}").status,
            200);
  ASSERT_TRUE(run.Restart());
  const std::string zones = run.api().Get("/api/zones").body;
  EXPECT_NE(FindZone(ParseJson(zones), "h"), nullptr) << "kept without a sport";

  ASSERT_EQ(ChooseIceHockey(run), 200);
  const std::string refusal = DetailJson(
      "Zones of this source cannot be stored under a sport: the source id must be 1 to 240 bytes "
      "without a zero byte");
  const ApiReply created =
      run.api().Post("/api/zones", R"({"id":"g","role":"guest_shots",)" + rect + "}");
  EXPECT_EQ(created.status, 422);
  EXPECT_EQ(created.body, refusal);
  EXPECT_EQ(run.api().Put("/api/zones/h", "{" + rect + "}").body, refusal);
  EXPECT_EQ(run.api().Delete("/api/zones/h").body, refusal);
  EXPECT_EQ(run.api().Get("/api/zones").body, zones);
  EXPECT_FALSE(std::filesystem::exists(run.folder() / "sport_zones.json"));
  ASSERT_TRUE(run.Restart());
  EXPECT_EQ(run.api().Get("/api/zones").body, zones);
}

// With enough sources the sport zone file would outgrow what its reader takes, and every source's
// sets would read as none at the next start: the change that would do it is refused instead.
TEST(ZonesApiSport, ZoneSetsThatWouldOutgrowTheFileAreRefused) {
  testing::ExampleStillSession run("zones-sport-full");
  ASSERT_TRUE(StartUnderIceHockey(run));
  const std::string rect = R"("x":0.5,"y":0.5,"width":0.25,"height":0.25)";
  ASSERT_EQ(run.api().Post("/api/zones", R"({"id":"s","role":"home_shots",)" + rect + "}").status,
            200);

  // Other sources' sets fill the file to 20 bytes short of 1 MiB, less than any further zone.
  const std::filesystem::path path = run.folder() / "sport_zones.json";
  SportZonesDocument document = ReadSportZones(path);
  ASSERT_EQ(document.profiles.size(), 1u);
  const std::string other = "[{" + rect + R"(,"id":"s","role":"home_shots"}])";
  const std::size_t target = 1048576 - 20;
  const std::size_t base = SportZonesText(document).size();
  document.profiles.push_back({"ice_hockey", "ndi", "x", other});
  const std::size_t short_entry = SportZonesText(document).size() - base;
  document.profiles.pop_back();
  // Entries of ids of 8 bytes, then one whose id (of at most 240 bytes) makes up the rest.
  const std::size_t entry = short_entry + 7;
  const std::size_t count = (target - base - short_entry - 50) / entry;
  for (std::size_t i = 0; i < count; ++i) {
    document.profiles.push_back({"ice_hockey", "ndi", std::to_string(10000000 + i), other});
  }
  const std::size_t rest = target - base - count * entry;
  document.profiles.push_back({"ice_hockey", "ndi", std::string(1 + rest - short_entry, 'x'), other});
  ASSERT_EQ(SportZonesText(document).size(), target);
  std::string error;
  ASSERT_TRUE(SaveSportZones(path, document, error)) << error;
  const std::string full = ReadFileBytes(path);

  ASSERT_TRUE(run.Restart());
  const std::string zones = run.api().Get("/api/zones").body;
  ASSERT_NE(FindZone(ParseJson(zones), "s"), nullptr);
  const ApiReply refused =
      run.api().Post("/api/zones", R"({"id":"g","role":"guest_shots",)" + rect + "}");
  EXPECT_EQ(refused.status, 422);
  EXPECT_EQ(refused.body, DetailJson("Zones could not be stored: the sport zone file would be "
                                     "larger than 1048576 bytes"));
  EXPECT_EQ(run.api().Get("/api/zones").body, zones);
  EXPECT_EQ(ReadFileBytes(path), full);
  ASSERT_TRUE(run.Restart());
  EXPECT_EQ(run.api().Get("/api/zones").body, zones);
  EXPECT_EQ(ReadSportZones(path).profiles.size(), document.profiles.size());
}

// Zones written by earlier versions: ids that the API no longer accepts stay usable, and a list
// without creation numbers is numbered when a zone is added.
TEST(ZonesApiStored, OldZonesStayReadableAndAreNumberedOnCreate) {
  testing::ExampleStillSession run("zones-stored");
  {
    std::string error;
    ASSERT_TRUE(testing::StoreSelection(run.folder(), "example", "example-2", "", error)) << error;
    ConfigStore store(run.folder());
    SourceConfiguration configuration;
    store.Load(configuration);
    ZoneProfile& profile = configuration.FindOrAddProfile(ProfileKey("example", "example-2"));
    profile.zones =
        R"([{"id":"a%2eb","role":"home_score","x":0.1,"y":0.1,"width":0.1,"height":0.1},)"
        R"({"id":"dup","role":"period","x":0.3,"y":0.1,"width":0.1,"height":0.1},)"
        R"({"id":"dup","role":"clock","x":0.5,"y":0.1,"width":0.1,"height":0.1}])";
    profile.has_zones = true;
    ASSERT_TRUE(store.Save(configuration, error)) << error;
  }
  ASSERT_TRUE(run.Start(""));
  const JsonValue listed = ListedZones(run.api());
  ASSERT_NE(FindZone(listed, "a%2eb"), nullptr);
  EXPECT_EQ(run.api().Put("/api/zones/order", R"({"zone_ids":["a%2eb","dup"]})").body,
            DetailJson("Stored OCR zones contain duplicate IDs"));
  EXPECT_EQ(run.session().UpdateZone("a%2eb", R"({"x":0.2,"y":0.2,"width":0.1,"height":0.1})").status,
            200);
  ASSERT_EQ(run.api().Delete("/api/zones/dup").status, 200) << "the first of the two goes";

  const ApiReply created = run.api().Post(
      "/api/zones", R"({"id":"g","role":"guest_score","x":0.7,"y":0.1,"width":0.1,"height":0.1})");
  ASSERT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(Member(created.body, "created_sequence"), "3");
  const JsonValue after = ListedZones(run.api());
  ASSERT_EQ(after.items.size(), 3u);
  EXPECT_EQ(after.items[0].At("x").text, "0.20000000000000001");
  EXPECT_EQ(after.items[0].At("created_sequence").text, "1");
  EXPECT_EQ(after.items[1].At("role").text, "clock");
  EXPECT_EQ(after.items[1].At("created_sequence").text, "2");
  EXPECT_EQ(run.session().DeleteZone("a%2eb").status, 200);
}

}  // namespace
}  // namespace tessvark
