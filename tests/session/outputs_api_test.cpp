// The vMix output routes of a started session against a vMix stand-in on loopback: saving and
// applying the configuration and the switch, the host test, the input listing, their refusals,
// and concurrent changes that must not undo one another.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "outputs/vmix/vmix_output_config.h"
#include "scripted_ndi_runtime.h"
#include "tests/outputs/vmix/vmix_stand_in.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using testing::ApiReply;
using testing::DetailJson;
using testing::ReceiverSession;

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

VmixOutputConfig SavedConfig(const std::filesystem::path& folder) {
  return ParseVmixOutputConfigFile(ReadText(folder / "output_config.json"));
}

std::string ConfigBody(int port, const std::string& input) {
  return R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(port) +
         R"(,"outputs":[{"input_key":")" + input +
         R"(","mappings":[{"source":"home_score","field":"Home.Text"}]}]})";
}

class OutputsApi : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(vmix_.Start(error)) << error;
    vmix_.SetApiDocument(test::MakeVmixApiDocument(
        "27.0.0.49", "4K", "BOOTH", {{"K1", "1", "GT", "Score Bug", {"Home.Text", "Guest.Text"}}}));
    ASSERT_TRUE(run_.Start("", ""));
  }

  test::VmixStandIn vmix_;
  ReceiverSession run_{"outputs"};
};

TEST(OutputsApiWithoutController, EveryOperationIsUnavailable) {
  testing::TempFolder folder("outputs-unstarted");
  NativeSession session(testing::TestSessionOptions(folder.path()));
  const RuntimeResponse replies[] = {
      session.GetVmixOutput(),          session.SetVmixOutput("{"),
      session.SetOutputSwitches("{"),   session.TestVmixOutput("{"),
      session.DiscoverVmixInputs("{"),  session.StartVmixLanSearch(),
      session.GetVmixLanSearch(),       session.CancelVmixLanSearch(),
  };
  for (const RuntimeResponse& reply : replies) {
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, DetailJson("This local function is not available in the native prototype."));
  }
}

TEST_F(OutputsApi, SavedConfigurationIsAppliedAndTested) {
  ApiReply reply = run_.api->Put("/api/v1/outputs/vmix", ConfigBody(vmix_.port(), "K1"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  const JsonValue status = ParseJson(reply.body);
  EXPECT_EQ(status.At("config").At("port").number, vmix_.port());
  const VmixOutputConfig saved = SavedConfig(run_.folder.path());
  EXPECT_EQ(saved.host, "127.0.0.1");
  EXPECT_EQ(saved.port, vmix_.port());
  ASSERT_EQ(saved.outputs.size(), 1u);
  EXPECT_EQ(saved.outputs[0].input_key, "K1");

  const std::size_t before = vmix_.RequestCount();
  reply = run_.api->Post("/api/v1/outputs/vmix/test", " \n");
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_GT(vmix_.RequestCount(), before) << "the stored host was asked";

  reply = run_.api->Post("/api/v1/outputs/vmix/discover", "");
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_NE(reply.body.find("Score Bug"), std::string::npos) << reply.body;

  reply = run_.api->Put("/api/v1/outputs", R"({"vmix":false,"rest":true})");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.body.rfind(R"({"enabled":{"vmix":false},"vmix":{"config":)", 0), 0u) << reply.body;
  EXPECT_FALSE(SavedConfig(run_.folder.path()).enabled);
  EXPECT_EQ(SavedConfig(run_.folder.path()).port, vmix_.port()) << "the rest of the settings stay";
  EXPECT_NE(run_.api->Get("/api/v1/outputs").body.find(R"("vmix":false)"), std::string::npos);
  EXPECT_EQ(ReadText(run_.folder / "output_config.json").find("\"rest\""),
            std::string::npos);

  reply = run_.api->Put("/api/v1/outputs", "{}");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body.rfind(R"({"enabled":{"vmix":false},)", 0), 0u) << "an empty body keeps it";

  EXPECT_EQ(run_.api->Get("/api/v1/outputs/vmix/discover-lan").status, 200);
  EXPECT_EQ(run_.api->Post("/api/v1/outputs/vmix/discover-lan/cancel", "").status, 200);
}

// vMix takes text for a field its title does not have, so a save never hears of a typo from
// vMix: the reply names it, and a mapping the title has is saved without a word.
TEST_F(OutputsApi, SavingAFieldTheTitleLacksIsSavedWithAWarning) {
  const std::string body = R"({"enabled":true,"host":"127.0.0.1","port":)" +
                           std::to_string(vmix_.port()) +
                           R"(,"outputs":[{"input_key":"K1","mappings":[)"
                           R"({"source":"home_score","field":"Home.Text"},)"
                           R"({"source":"period_display","field":"Perod.Text"}]}]})";
  ApiReply reply = run_.api->Put("/api/v1/outputs/vmix", body);
  ASSERT_EQ(reply.status, 200) << reply.body;
  const JsonValue saved = ParseJson(reply.body);
  const JsonValue* warnings = saved.Find("field_warnings");
  ASSERT_NE(warnings, nullptr) << reply.body;
  ASSERT_EQ(warnings->items.size(), 1u) << reply.body;
  EXPECT_EQ(warnings->items[0].At("field").text, "Perod.Text");
  EXPECT_EQ(warnings->items[0].At("message").text,
            "\xE2\x80\x9CPerod.Text\xE2\x80\x9D is not a text field of \xE2\x80\x9CScore Bug\xE2\x80\x9D.");
  EXPECT_EQ(SavedConfig(run_.folder.path()).outputs.at(0).mappings.size(), 2u) << "saved all the same";

  reply = run_.api->Put("/api/v1/outputs/vmix", ConfigBody(vmix_.port(), "K1"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(ParseJson(reply.body).Find("field_warnings"), nullptr) << reply.body;
}

TEST_F(OutputsApi, TestWithABodyStoresNothing) {
  const ApiReply reply = run_.api->Post("/api/v1/outputs/vmix/test", ConfigBody(vmix_.port(), "K1"));
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_TRUE(vmix_.WaitForRequests(1, testing::kPatience));
  EXPECT_FALSE(std::filesystem::exists(run_.folder / "output_config.json"));
  EXPECT_NE(ParseJson(run_.api->Get("/api/v1/outputs/vmix").body).At("config").At("port").number,
            vmix_.port());
}

TEST_F(OutputsApi, RefusalsChangeNothing) {
  const struct {
    const char* method;
    const char* path;
    std::string body;
    int status;
    const char* detail;
  } refusals[] = {
      {"PUT", "/api/v1/outputs/vmix", "{", 400, "Request body is not valid JSON"},
      {"PUT", "/api/v1/outputs/vmix", "[]", 422, "Request body must be an object"},
      {"PUT", "/api/v1/outputs/vmix", R"({"host":1})", 422, "host must be a string"},
      {"PUT", "/api/v1/outputs", "{", 400, "Request body is not valid JSON"},
      {"PUT", "/api/v1/outputs", "3", 422, "Request body must be an object"},
      {"PUT", "/api/v1/outputs", R"({"enabled":true})", 422, "Unknown output switch"},
      {"PUT", "/api/v1/outputs", R"({"vmix":false,"rest":1})", 422, "Output switches must be booleans"},
      {"POST", "/api/v1/outputs/vmix/test", R"({"port":"1"})", 422, "port must be an integer"},
      {"POST", "/api/v1/outputs/vmix/discover", R"({"host":"127.0.0.1"})", 422,
       "vMix discovery accepts only host and port"},
      {"POST", "/api/v1/outputs/vmix/discover", R"({"host":1,"port":1})", 422,
       "vMix host must be a string"},
      {"POST", "/api/v1/outputs/vmix/discover", R"({"host":"127.0.0.1","port":80.5})", 422,
       "vMix port must be an integer"},
      {"POST", "/api/v1/outputs/vmix/discover", R"({"host":"127.0.0.1","port":1e300})", 422,
       "vMix port must be from 1 to 65535"},
      {"POST", "/api/v1/outputs/vmix/discover", R"({"host":"8.8.8.8","port":8088})", 422,
       "vMix discovery cannot target this address"},
      {"POST", "/api/v1/outputs/vmix/discover", "", 422, "vMix host is required"},
      {"POST", "/api/v1/outputs/vmix/discover", "x", 400, "Request body is not valid JSON"},
  };
  for (const auto& refusal : refusals) {
    const ApiReply reply = std::string(refusal.method) == "PUT"
                               ? run_.api->Put(refusal.path, refusal.body)
                               : run_.api->Post(refusal.path, refusal.body);
    EXPECT_EQ(reply.status, refusal.status) << refusal.path << " " << refusal.body;
    EXPECT_EQ(reply.body, DetailJson(refusal.detail)) << refusal.path << " " << refusal.body;
  }
  EXPECT_FALSE(std::filesystem::exists(run_.folder / "output_config.json"));
  EXPECT_EQ(vmix_.RequestCount(), 0u);
}

TEST_F(OutputsApi, UnsavedConfigurationIsNotApplied) {
  testing::BreakDataFolder(run_.folder.path());
  ApiReply reply = run_.api->Put("/api/v1/outputs/vmix", ConfigBody(vmix_.port(), "K1"));
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, DetailJson("Configuration could not be saved"));
  reply = run_.api->Put("/api/v1/outputs", R"({"vmix":false})");
  EXPECT_EQ(reply.status, 500);
  const JsonValue status = ParseJson(run_.api->Get("/api/v1/outputs/vmix").body);
  EXPECT_NE(status.At("config").At("port").number, vmix_.port());
  EXPECT_TRUE(status.At("config").At("enabled").bool_value);
}

TEST(OutputsApiConcurrency, SwitchesDoNotUndoAConfigurationSavedBesideThem) {
  ReceiverSession run("outputs-race");
  ASSERT_TRUE(run.Start("", ""));
  NativeSession& session = *run.session;
  constexpr int kConfigurations = 60;
  std::atomic<bool> configuring{true};
  // Without a host nothing is sent; only the port tells the configurations apart.
  std::thread configure([&] {
    for (int i = 1; i <= kConfigurations; ++i) {
      const std::string body = R"({"enabled":true,"host":"","port":)" + std::to_string(1000 + i) + "}";
      EXPECT_EQ(session.SetVmixOutput(body).status, 200);
    }
    configuring = false;
  });
  std::thread toggle([&] {
    bool on = false;
    int after = 0;
    while (configuring || after++ < 3) {
      EXPECT_EQ(session.SetOutputSwitches(on ? R"({"vmix":true})" : R"({"vmix":false})").status, 200);
      on = !on;
    }
  });
  configure.join();
  toggle.join();
  const JsonValue status = ParseJson(session.GetVmixOutput().body);
  const VmixOutputConfig saved = SavedConfig(run.folder.path());
  EXPECT_EQ(status.At("config").At("port").number, 1000 + kConfigurations)
      << "the last configuration is in force";
  EXPECT_EQ(saved.port, 1000 + kConfigurations) << "and saved";
  EXPECT_EQ(saved.enabled, status.At("config").At("enabled").bool_value);
}

}  // namespace
}  // namespace tessvark
