// The sports and display-format routes of a started session: the catalog, the sport choice and
// what it restricts (zones and vMix fields), the display format, and concurrent changes.

#include <gtest/gtest.h>

#include <thread>

#include "scripted_ndi_runtime.h"
#include "session/role_vocabulary.h"
#include "settings/display_format_file.h"
#include "tests/outputs/vmix/vmix_stand_in.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::ApiReply;
using testing::DetailJson;
using testing::ReceiverSession;

std::string BundledCatalog() { return std::string(TESSVARK_SOURCE_DIR) + "/resources/sports-catalog.json"; }

bool StartWithCatalog(ReceiverSession& run, const std::string& type = "",
                      const std::string& id = "") {
  run.sports_catalog_path = BundledCatalog();
  return run.Start(type, id);
}

TEST(SportsApi, CatalogAndSelectionRoutes) {
  ReceiverSession run("sports-routes");
  ASSERT_TRUE(StartWithCatalog(run));
  ApiReply reply = run.api->Get("/api/sports/catalog");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("code":"ice_hockey")"), std::string::npos);
  reply = run.api->Post("/api/sports/catalog/apply", "");
  EXPECT_EQ(reply.status, 409);
  EXPECT_EQ(reply.body, DetailJson("ocr is running"));
  reply = run.api->Get("/api/sports/selection");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("selected_sport":null)"), std::string::npos) << reply.body;

  NativeSession& session = *run.session;
  EXPECT_EQ(session.HandleSports("DELETE", "/api/sports/selection", "").status, 404);
  EXPECT_EQ(session.HandleSports("GET", "/api/sports/other", "").body, DetailJson("Not Found"));
  EXPECT_EQ(session.HandleDisplayFormat("POST", "/api/display-format", "").body,
            DetailJson("Method Not Allowed"));
  EXPECT_EQ(session.HandleDisplayFormat("GET", "/api/display", "").status, 404);
}

TEST(SportsApi, TheRoleVocabularyIsAReadOnlyRouteUnderTheServersRules) {
  ReceiverSession run("sports-roles");
  ASSERT_TRUE(StartWithCatalog(run));
  const ApiReply reply = run.api->Get("/api/sports/roles");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.content_type, "application/json");
  EXPECT_EQ(reply.body, RoleVocabularyJson(AgentRoleTable()));
  // Read only: another method is refused as on the catalog.
  EXPECT_EQ(run.api->Put("/api/sports/roles", "{}").status, 405);
  EXPECT_EQ(run.api->Put("/api/sports/catalog", "{}").status, 405);
  EXPECT_EQ(run.session->HandleSports("POST", "/api/sports/roles", "").status, 404);

  // A page of another site may not read it.
  httplib::Client foreign("127.0.0.1", run.session->Server().Port());
  const httplib::Result refused = foreign.Get("/api/sports/roles", {{"Host", "attacker.example"}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);
}

TEST(SportsApi, InvalidChoicesChangeNothing) {
  ReceiverSession run("sports-invalid");
  ASSERT_TRUE(StartWithCatalog(run));
  for (const char* body : {"nope", R"({"sport":5})", R"({"sport":"football","x":1})", "[]",
                           R"({"sport":"curling"})", R"({"code":"football"})"}) {
    const ApiReply reply = run.api->Put("/api/sports/selection", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.body, DetailJson("sport is invalid")) << body;
  }
  EXPECT_FALSE(std::filesystem::exists(run.folder / "sport_selection.json"));

  ReceiverSession bare("sports-nocatalog");
  ASSERT_TRUE(bare.Start("", ""));
  EXPECT_NE(bare.api->Get("/api/sports/catalog").body.find(R"("origin":"unavailable")"),
            std::string::npos);
  EXPECT_EQ(bare.api->Put("/api/sports/selection", R"({"sport":"football"})").status, 400);
}

TEST(SportsApi, ChoiceIsSavedWithTheSourceAndMarksFootball) {
  ReceiverSession run("sports-choice");
  ASSERT_TRUE(StartWithCatalog(run, "ndi", "Cam"));
  const ApiReply reply = run.api->Put("/api/sports/selection", R"({"sport":"football"})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("selected_sport":"football")"), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find(R"("agent_roles":{)"), std::string::npos) << reply.body;
  const SportSelection stored =
      SportSelectionStore(run.folder / "sport_selection.json").ReadSelection();
  ASSERT_TRUE(stored.valid);
  ASSERT_EQ(stored.by_source.size(), 1u);
  EXPECT_EQ(stored.by_source[0].first, ProfileKey("ndi", "Cam"));
  EXPECT_NE(run.api->Get("/api/display-format").body.find(R"("football":true)"), std::string::npos);
  ASSERT_EQ(run.api->Put("/api/sports/selection", R"({"sport":"soccer"})").status, 200);
  EXPECT_NE(run.api->Get("/api/display-format").body.find(R"("football":false)"), std::string::npos);
}

// The zone roles and the vMix fields that a chosen sport lets through, on the Example still.
TEST(SportsApi, ChosenSportRestrictsZonesAndVmixFields) {
  const struct {
    const char* sport;
    bool down_shown;
  } cases[] = {{"football", true}, {"ice_hockey", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sport);
    test::VmixStandIn vmix;
    std::string error;
    ASSERT_TRUE(vmix.Start(error)) << error;
    ReceiverSession run(std::string("sports-restrict-") + c.sport);
    ASSERT_TRUE(StartWithCatalog(run, "example", "example-2"));
    ASSERT_EQ(run.api->Put("/api/sports/selection", std::string(R"({"sport":")") + c.sport + "\"}").status,
              200);

    const JsonValue zones = ParseJson(run.api->Get("/api/zones").body);
    bool has_down = false;
    for (const JsonValue& zone : zones.items) has_down = has_down || zone.At("role").text == "down";
    EXPECT_EQ(has_down, c.down_shown);
    EXPECT_FALSE(zones.items.empty());

    // "down" comes first, so a pass that would send it does so before the score.
    const std::string config =
        R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(vmix.port()) +
        R"(,"outputs":[{"input_key":"K1","mappings":[{"source":"down","field":"Down.Text"},)"
        R"({"source":"home_score","field":"Home.Text"}]}]})";
    ASSERT_EQ(run.api->Put("/api/v1/outputs/vmix", config).status, 200);
    ASSERT_TRUE(testing::WaitUntil([&] { return vmix.Field("K1", "Home.Text").has_value(); }))
        << "the score reaches vMix";
    if (c.down_shown) {
      EXPECT_TRUE(testing::WaitUntil([&] { return vmix.Field("K1", "Down.Text").has_value(); }));
    } else {
      for (const test::SetTextCall& call : vmix.SetTextCalls()) EXPECT_NE(call.field, "Down.Text");
    }
  }
}

TEST(SportsApi, DisplayFormatIsSavedAndRefusalsKeepIt) {
  ReceiverSession run("sports-format");
  ASSERT_TRUE(StartWithCatalog(run));
  ApiReply reply = run.api->Get("/api/display-format");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("separator":"&")"), std::string::npos) << reply.body;
  reply = run.api->Put("/api/display-format", R"({"separator":"and","goal_text":"GTG"})");
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_NE(reply.body.find(R"("separator":"and")"), std::string::npos) << reply.body;
  reply = run.api->Put("/api/display-format", R"({"separator":"or"})");
  EXPECT_EQ(reply.status, 422);
  EXPECT_EQ(reply.body, DetailJson("Separator must be &, et, and, or custom"));

  DisplayFormat stored;
  std::string error;
  ASSERT_TRUE(ReadDisplayFormat(run.folder / "display_format.json", stored, error)) << error;
  EXPECT_EQ(stored.separator, "and");
  EXPECT_EQ(stored.goal_text, "GTG");
  EXPECT_NE(run.api->Get("/api/display-format").body.find(R"("separator":"and")"),
            std::string::npos);
}

TEST(SportsApi, ConcurrentChangesAllStay) {
  ReceiverSession run("sports-race");
  ASSERT_TRUE(StartWithCatalog(run));
  NativeSession& session = *run.session;
  const auto put_format = [&](const std::string& body) {
    EXPECT_EQ(session.HandleDisplayFormat("PUT", "/api/display-format", body).status, 200);
  };
  const auto choose = [&](const char* sport) {
    EXPECT_EQ(session.HandleSports("PUT", "/api/sports/selection",
                                   std::string(R"({"sport":")") + sport + "\"}").status,
              200);
  };
  // Each round changes two members of the format and chooses two sports at the same time.
  for (int round = 1; round <= 60; ++round) {
    SCOPED_TRACE(round);
    const std::string goal = "G" + std::to_string(round);
    const char* separator = round % 2 ? "et" : "and";
    std::thread threads[] = {
        std::thread([&] { put_format(R"({"goal_text":")" + goal + "\"}"); }),
        std::thread([&] { put_format(std::string(R"({"separator":")") + separator + "\"}"); }),
        std::thread([&] { choose("football"); }),
        std::thread([&] { choose("ice_hockey"); }),
    };
    for (std::thread& thread : threads) thread.join();

    const std::string format = session.HandleDisplayFormat("GET", "/api/display-format", "").body;
    EXPECT_NE(format.find(R"("goal_text":")" + goal + "\""), std::string::npos) << format;
    EXPECT_NE(format.find(std::string(R"("separator":")") + separator + "\""), std::string::npos)
        << format;
    DisplayFormat stored;
    std::string error;
    ASSERT_TRUE(ReadDisplayFormat(run.folder / "display_format.json", stored, error)) << error;
    EXPECT_EQ(stored.goal_text, goal);
    EXPECT_EQ(stored.separator, separator);

    const SportSelection selection =
        SportSelectionStore(run.folder / "sport_selection.json").ReadSelection();
    ASSERT_TRUE(selection.selected_sport.has_value());
    const bool football_applied = format.find(R"("football":true)") != std::string::npos;
    EXPECT_EQ(football_applied, *selection.selected_sport == "football")
        << "the sport in force is the one saved last";
  }
}

}  // namespace
}  // namespace tessvark
