// The source routes of a started session: listing and refreshing the NDI sources, choosing and
// clearing a source, and what a refused or unsaved choice leaves.

#include <gtest/gtest.h>

#include <thread>

#include "scripted_ndi_runtime.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::ApiReply;
using testing::DetailJson;
using testing::ReceiverSession;

SourceConfiguration StoredConfiguration(const std::filesystem::path& folder) {
  SourceConfiguration configuration;
  ConfigStore(folder).Load(configuration);
  return configuration;
}

TEST(SourcesApi, ListsDiscoveryWithTheRememberedSource) {
  ReceiverSession run("sources-list");
  ASSERT_TRUE(run.Start("", ""));
  ASSERT_EQ(run.api->Put("/api/source", R"({"type":"ndi","id":"Gone"})").status, 200);
  run.runtime->SetSources({{"a", "Cam A", "10.0.0.2:5961", true}, {"b", "", "", false}, {"", "x", "", true}},
                          1700000000.5);
  const ApiReply reply = run.api->Get("/api/sources");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body,
            R"({"type":"ndi","selected":"Gone","sources":[)"
            R"({"id":"a","name":"Cam A","online":true,"url_address":"10.0.0.2:5961"},)"
            R"({"id":"b","name":"b","online":false},{"id":"Gone","name":"Gone","online":false}],)"
            R"("updated_at":1700000000.5,"runtime_available":true,"runtime_message":null,)"
            R"("omt":{"type":"omt","sources":[],"runtime_available":false,"runtime_message":null}})");

  NdiLinkSnapshot refused;
  refused.message = "NDI runtime did not load";
  run.runtime->SetSnapshot(refused);
  EXPECT_NE(run.api->Get("/api/sources").body.find(
                R"("runtime_available":false,"runtime_message":"NDI runtime did not load")"),
            std::string::npos);
}

TEST(SourcesApi, TheFirstListingShowsARefusedRuntimeWithoutStartingIt) {
  ReceiverSession run("sources-refused-runtime");
  ASSERT_TRUE(run.Start("", ""));
  run.runtime->RefuseLibrary("The NDI runtime is not installed. Examples remain available.");
  const ApiReply reply = run.api->Get("/api/sources");
  EXPECT_NE(reply.body.find(R"("runtime_available":false,)"
                            R"("runtime_message":"The NDI runtime is not installed. Examples remain available.")"),
            std::string::npos)
      << reply.body;
  EXPECT_GE(run.runtime->checks(), 1);
  EXPECT_EQ(run.runtime->starts(), 0) << "knowing costs no start";
}

TEST(SourcesApi, RefreshAsksDiscoveryAndStartsOnlyWhenTyped) {
  ReceiverSession run("sources-refresh");
  ASSERT_TRUE(run.Start("", ""));
  ApiReply reply = run.api->Post("/api/sources/refresh", " \n");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body.rfind(R"({"refresh_requested":true,"type":"ndi","selected":null,)", 0), 0u)
      << reply.body;
  EXPECT_EQ(run.runtime->refreshes(), 1);
  EXPECT_EQ(run.runtime->starts(), 0);

  reply = run.api->Post("/api/sources/refresh", R"({"type":"ndi"})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(run.runtime->refreshes(), 2);
  EXPECT_EQ(run.runtime->starts(), 1);

  const struct {
    const char* body;
    int status;
    const char* detail;
  } refusals[] = {
      {R"({"type":"ndi","all":true})", 400, "Discovery requires type ndi or omt"},
      {R"({"type":"srt"})", 400, "Discovery requires type ndi or omt"},
      {R"({"type":1})", 400, "Discovery requires type ndi or omt"},
      {"{", 400, "Request body is not valid JSON"},
      {"[]", 422, "Request body must be an object"},
  };
  for (const auto& refusal : refusals) {
    reply = run.api->Post("/api/sources/refresh", refusal.body);
    EXPECT_EQ(reply.status, refusal.status) << refusal.body;
    EXPECT_EQ(reply.body, DetailJson(refusal.detail)) << refusal.body;
  }
  EXPECT_EQ(run.runtime->refreshes(), 2);
}

TEST(SourcesApi, RefusedChoicesKeepTheSelection) {
  ReceiverSession run("sources-refused");
  ASSERT_TRUE(run.Start("example", "example-2"));
  const struct {
    const char* body;
    int status;
    const char* detail;
  } refusals[] = {
      {R"({"type":"ndi"})", 422, "Source selection requires type and id"},
      {R"({"type":"ndi","id":5})", 422, "Source selection requires type and id"},
      {R"({"type":"capture","id":"x"})", 503,
       "This local function is not available in the native prototype."},
      {R"({"type":"video","id":"x"})", 400, "Unknown Example source id"},
      {R"({"type":"example","id":"example-9"})", 400, "Unknown Example source id"},
      {R"({"type":"ndi","id":" \t\r\n"})", 400, "A non-empty NDI source id is required"},
      {R"({"type":"ndi","id":"a\u0000b"})", 400, "Invalid NDI source id"},
      {R"({"type":"omt","id":"  "})", 400, "A non-empty OMT source id is required"},
      {R"({"type":"omt","id":"cam"})", 503, "The OMT runtime is not available."},
      {R"({"type":"srt","id":""})", 400, "A non-empty SRT source id is required"},
      {"nope", 400, "Request body is not valid JSON"},
  };
  for (const auto& refusal : refusals) {
    const ApiReply reply = run.api->Put("/api/source", refusal.body);
    EXPECT_EQ(reply.status, refusal.status) << refusal.body;
    EXPECT_EQ(reply.body, DetailJson(refusal.detail)) << refusal.body;
  }
  EXPECT_NE(run.api->Get("/api/status").body.find(R"("source_id":"example-2")"), std::string::npos);
  EXPECT_EQ(StoredConfiguration(run.folder.path()).source_id, "example-2");
}

TEST(SourcesApi, NdiChoiceStartsTheRuntimeAndClearingStopsIt) {
  ReceiverSession run("sources-ndi");
  ASSERT_TRUE(run.Start("", ""));
  ApiReply reply = run.api->Put("/api/source", R"({"type":"ndi","id":"Cam 1"})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("source_type":"ndi","source_id":"Cam 1")"), std::string::npos)
      << reply.body;
  EXPECT_EQ(run.runtime->starts(), 1);
  EXPECT_EQ(run.runtime->selected(), "Cam 1");
  SourceConfiguration stored = StoredConfiguration(run.folder.path());
  EXPECT_EQ(stored.source_type, "ndi");
  EXPECT_EQ(stored.ndi_source_id, "Cam 1");

  const int stops = run.runtime->stops();
  reply = run.api->Delete("/api/source");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("source_type":"none")"), std::string::npos) << reply.body;
  EXPECT_GT(run.runtime->stops(), stops);
  stored = StoredConfiguration(run.folder.path());
  EXPECT_EQ(stored.source_id, "");
  EXPECT_EQ(stored.ndi_source_id, "Cam 1") << "the remembered NDI source stays";
  EXPECT_NE(run.api->Get("/api/sources").body.find(R"("selected":"Cam 1")"), std::string::npos);
}

TEST(SourcesApi, SrtChoiceKeepsTheIdAsGiven) {
  ReceiverSession run("sources-srt");
  ASSERT_TRUE(run.Start("", ""));
  const ApiReply reply = run.api->Put("/api/source", R"({"type":"srt","id":" x "})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(R"("source_type":"srt","source_id":" x ","source_name":"SRT listener")"),
            std::string::npos)
      << reply.body;
  EXPECT_NE(reply.body.find(R"("signal":"stopped")"), std::string::npos) << reply.body;
  EXPECT_EQ(StoredConfiguration(run.folder.path()).source_id, " x ");
}

TEST(SourcesApi, ExampleVideoChoicePlaysTheClip) {
  ReceiverSession run("sources-clip");
  ASSERT_TRUE(run.Start("", ""));
  const ApiReply reply = run.api->Put("/api/source", R"({"type":"example","id":"example-1"})");
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_NE(reply.body.find(R"("source_id":"example-1","source_name":"Example 1")"),
            std::string::npos);
  std::string status;
  testing::WaitUntil([&] {
    status = run.api->Get("/api/status").body;
    return status.find(R"("receiver_state":"connected")") != std::string::npos &&
           status.find(R"("frame_rate":)") != std::string::npos &&
           status.find(R"("frame_rate":null)") == std::string::npos;
  }, testing::kClipPatience);
  EXPECT_NE(status.find(R"("source_online":true,"receiver_state":"connected")"), std::string::npos)
      << status;
  EXPECT_NE(status.find(R"("source_format":"MP4")"), std::string::npos) << status;
  EXPECT_NE(status.find(R"("frame_rate_d":1,)"), std::string::npos) << status;
  EXPECT_NE(status.find(R"("status":"online")"), std::string::npos) << status;
}

TEST(SourcesApi, UnsavedChoiceLeavesTheSelection) {
  ReceiverSession run("sources-unsaved");
  ASSERT_TRUE(run.Start("example", "example-2"));
  testing::BreakDataFolder(run.folder.path());
  for (const char* body : {R"({"type":"ndi","id":"Cam"})", R"({"type":"srt","id":"s"})",
                           R"({"type":"example","id":"example-1"})"}) {
    const ApiReply reply = run.api->Put("/api/source", body);
    EXPECT_EQ(reply.status, 500) << body;
    EXPECT_EQ(reply.body, DetailJson("Configuration could not be saved")) << body;
  }
  EXPECT_EQ(run.api->Delete("/api/source").status, 500);
  const std::string status = run.api->Get("/api/status").body;
  EXPECT_NE(status.find(R"("source_type":"example","source_id":"example-2")"), std::string::npos)
      << status;
  EXPECT_EQ(run.api->Get("/api/sources").body.find("\"Cam\""), std::string::npos)
      << "the refused NDI source is not remembered";
}

}  // namespace
}  // namespace tessvark
