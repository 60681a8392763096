#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "core/version.h"
#include "server_fixture.h"

namespace tessvark::testing {
namespace {

class RoutesTest : public ServerTest {};

TEST_F(RoutesTest, EveryRuntimeRouteCallsItsOperation) {
  const std::string body = "{\"k\":1}";
  struct Case {
    const char* method;
    const char* target;
    std::string expected_call;
  } cases[] = {
      {"GET", "/api/v1/outputs/vmix", "GetVmixOutput"},
      {"PUT", "/api/v1/outputs/vmix", "SetVmixOutput|" + body},
      {"POST", "/api/v1/outputs/vmix/test", "TestVmixOutput|" + body},
      {"POST", "/api/v1/outputs/vmix/discover", "DiscoverVmixInputs|" + body},
      {"POST", "/api/v1/outputs/vmix/discover-lan", "StartVmixLanSearch"},
      {"GET", "/api/v1/outputs/vmix/discover-lan", "GetVmixLanSearch"},
      {"POST", "/api/v1/outputs/vmix/discover-lan/cancel", "CancelVmixLanSearch"},
      {"PUT", "/api/v1/outputs", "SetOutputSwitches|" + body},
      {"GET", "/api/zones", "ListZones"},
      {"POST", "/api/zones", "CreateZone|" + body},
      {"PUT", "/api/zones/order", "ReorderZones|" + body},
      {"GET", "/api/zones/hide-empty", "GetHideEmpty"},
      {"PUT", "/api/zones/hide-empty", "SetHideEmpty|" + body},
      {"PUT", "/api/zones/z%201", "UpdateZone|z 1|" + body},
      {"DELETE", "/api/zones/z1", "DeleteZone|z1"},
      {"GET", "/api/zones/z1/crop", "GetZonePreview|z1|crop|-1"},
      {"GET", "/api/zones/z1/processed-preview", "GetZonePreview|z1|processed-preview|-1"},
      {"GET", "/api/zones/z1/slot-preview/3", "GetZonePreview|z1|slot-preview|3"},
      {"GET", "/api/source/geometry", "GetSourceGeometry"},
      {"PUT", "/api/source/geometry", "SetSourceGeometry|" + body},
      {"GET", "/api/status", "GetStatus"},
      {"GET", "/api/sources", "ListSources"},
      {"POST", "/api/sources/refresh", "RefreshSources|" + body},
      {"PUT", "/api/source", "SelectSource|" + body},
      {"PUT", "/api/source/srt", "SetSrtSettings|" + body},
      {"POST", "/api/source/srt/listening", "SetSrtListening|" + body},
      {"GET", "/api/sports/roles", "HandleSports|GET|/api/sports/roles|"},
      {"GET", "/api/sports/catalog", "HandleSports|GET|/api/sports/catalog|"},
      {"POST", "/api/sports/catalog/apply", "HandleSports|POST|/api/sports/catalog/apply|"},
      {"GET", "/api/sports/selection", "HandleSports|GET|/api/sports/selection|"},
      {"PUT", "/api/sports/selection", "HandleSports|PUT|/api/sports/selection|" + body},
      {"GET", "/api/display-format", "HandleDisplayFormat|GET|/api/display-format|"},
      {"PUT", "/api/display-format", "HandleDisplayFormat|PUT|/api/display-format|" + body},
      {"DELETE", "/api/source", "ClearSource"},
      {"GET", "/preview", "GetPreview|source"},
      {"GET", "/preview/working", "GetPreview|working"},
  };
  runtime_.reply.status = 409;
  runtime_.reply.body = "{\"detail\":\"from the runtime\"}";
  runtime_.reply.content_type = "application/x-test";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const std::size_t before = runtime_.Calls().size();
    const bool is_get = std::string(c.method) == "GET";
    // Every route gets a body; the ones that take none must not pass it on.
    const HttpReply reply = Send(Build(c.method, c.target, is_get ? "" : PageHeaders(), body));
    ASSERT_EQ(runtime_.Calls().size(), before + 1);
    EXPECT_EQ(runtime_.Calls().back(), c.expected_call);
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(reply.body, runtime_.reply.body);
    EXPECT_EQ(reply.Header("Content-Type"), "application/x-test");
    ExpectSecurityHeaders(reply);
  }
}

TEST_F(RoutesTest, OwnRoutesAnswerWithoutARuntime) {
  server_->SetRuntime(nullptr);
  struct Case {
    const char* target;
    std::string body;
  } cases[] = {
      {"/health", "{\"status\":\"ok\",\"service\":\"Tessvark Agent\",\"schema_version\":\"1\"}"},
      {"/api/health", "{\"ok\":true}"},
      {"/api/version", std::string("{\"product\":\"Tessvark\",\"version\":\"") + kProgramVersion +
                           "\",\"build\":" + std::to_string(kProgramBuild) +
                           ",\"prerelease\":\"beta\",\"platform\":\"Linux\","
                           "\"channel\":\"linux-beta\"}"},
      {"/api/v1/outputs", "{\"enabled\":{\"vmix\":true}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const HttpReply reply = Get(c.target);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, c.body);
    EXPECT_EQ(reply.Header("Content-Type"), "application/json");
    EXPECT_EQ(reply.HeaderCount("Cache-Control"), 0u);
    ExpectSecurityHeaders(reply);
  }
}

TEST_F(RoutesTest, OutputSwitchFollowsOnlyTheExactName) {
  server_->SetOutputEnabled("VMIX", false);
  server_->SetOutputEnabled("vmix ", false);
  EXPECT_EQ(Get("/api/v1/outputs").body, "{\"enabled\":{\"vmix\":true}}");
  server_->SetOutputEnabled("vmix", false);
  EXPECT_EQ(Get("/api/v1/outputs").body, "{\"enabled\":{\"vmix\":false}}");
}

TEST_F(RoutesTest, LongZoneIdsReachTheRuntime) {
  const std::string id(8000, 'z');
  const HttpReply reply = Change("PUT", "/api/zones/" + id, "{}");
  EXPECT_EQ(reply.status, 200);
  ASSERT_EQ(runtime_.Calls().size(), 1u);
  EXPECT_EQ(runtime_.Calls()[0], "UpdateZone|" + id + "|{}");
}

class HostServicesTest : public ServerTest {};

TEST_F(HostServicesTest, AbsentUpdaterAndSamplerAnswerAsUnservedFunctions) {
  struct Case {
    const char* method;
    const char* target;
    int status;
  } cases[] = {
      {"GET", "/api/updates", 404},           {"POST", "/api/updates/check", 405},
      {"POST", "/api/updates/download", 503}, {"POST", "/api/updates/install", 503},
      {"GET", "/api/system/resources", 404},  {"POST", "/api/system/resources/release", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const HttpReply reply =
        Send(Build(c.method, c.target, std::string(c.method) == "GET" ? "" : PageHeaders()));
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.Header("Content-Type"), "application/json");
  }
}

TEST_F(HostServicesTest, UpdateAndResourceRoutesUseTheHostServices) {
  server_->Stop();
  std::atomic<int> checks{0};
  std::atomic<int> releases{0};
  std::atomic<bool> download_ready{false};
  UpdateServices updates;
  updates.start_check = [&] { ++checks; };
  updates.status_json = [&] {
    return std::string(download_ready ? "{\"state\":\"downloading\"}" : "{\"state\":\"idle\"}");
  };
  updates.start_download = [&] { return download_ready.load(); };
  updates.install = [] { return false; };
  ResourceServices resources;
  resources.sample_json = [] { return std::string("{\"cpu\":1}"); };
  resources.release = [&] { ++releases; };
  server_->SetHostServices(std::move(updates), std::move(resources));
  ASSERT_TRUE(server_->Start());
  port_ = server_->Port();

  const HttpReply check = Change("POST", "/api/updates/check");
  EXPECT_EQ(check.body, "{\"configured\":true,\"started\":true}");
  EXPECT_EQ(check.Header("Cache-Control"), "no-store, max-age=0");
  EXPECT_EQ(checks.load(), 1);
  const HttpReply not_ready = Change("POST", "/api/updates/download");
  EXPECT_EQ(not_ready.status, 503);
  EXPECT_EQ(not_ready.body, "{\"detail\":\"Update download is not ready\"}");
  download_ready = true;
  const HttpReply started = Change("POST", "/api/updates/download");
  EXPECT_EQ(started.status, 200);
  EXPECT_EQ(started.body, "{\"state\":\"downloading\"}");
  EXPECT_EQ(started.Header("Cache-Control"), "no-store, max-age=0");
  const HttpReply install = Change("POST", "/api/updates/install");
  EXPECT_EQ(install.status, 503);
  EXPECT_EQ(install.body, "{\"detail\":\"Update installation is not ready\"}");
  EXPECT_EQ(Get("/api/updates").body, "{\"state\":\"downloading\"}");

  const HttpReply sample = Get("/api/system/resources");
  EXPECT_EQ(sample.body, "{\"cpu\":1}");
  EXPECT_EQ(sample.Header("Cache-Control"), "no-store, max-age=0");
  EXPECT_EQ(Change("POST", "/api/system/resources/release").body, "{\"released\":true}");
  EXPECT_EQ(releases.load(), 1);
}

}  // namespace
}  // namespace tessvark::testing
