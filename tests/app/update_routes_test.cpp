// The update routes of the real local server, answered by an updater that talks to a scripted
// update server.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <string>

#include "server/local_http_server.h"
#include "update_fixture.h"

namespace tessvark::testing {
namespace {

constexpr char kPlaceholder[] = "__TESSVARK_CSRF_TOKEN__";
constexpr char kNoStore[] = "no-store, max-age=0";

class UpdateRoutesTest : public UpdateFixture {
 protected:
  void SetUp() override {
    UpdateFixture::SetUp();
    const std::string ui_root = folder_.Join("ui");
    std::filesystem::create_directories(ui_root);
    std::ofstream(ui_root + "/index.html") << kPlaceholder;
    Serve(*updater_);
  }

  // The real local server on a free port with `updater` behind its update routes, and a client
  // holding the page's headers.
  void Serve(const Updater& updater) {
    server_http_.reset();
    LocalHttpServerOptions options;
    options.ui_root = folder_.Join("ui");
    options.port = 20000 + static_cast<int>(getpid() % 20000);
    options.port_attempts = 200;
    server_http_ = std::make_unique<LocalHttpServer>(options);
    server_http_->SetHostServices(updater.Services(), ResourceServices{});
    ASSERT_TRUE(server_http_->Start());
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_http_->Port());
    client_->set_read_timeout(30, 0);
    const httplib::Result page = client_->Get("/");
    ASSERT_TRUE(page);
    headers_ = {{"Origin", "http://127.0.0.1:" + std::to_string(server_http_->Port())},
                {"X-Tessvark-CSRF", page->body}};
  }

  void TearDown() override { server_http_.reset(); }

  httplib::Result Post(const char* path) { return client_->Post(path, headers_, "", "text/plain"); }

  std::unique_ptr<LocalHttpServer> server_http_;
  std::unique_ptr<httplib::Client> client_;
  httplib::Headers headers_;
};

void ExpectStatusReply(const httplib::Result& reply, const char* state) {
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(reply->get_header_value("Cache-Control"), kNoStore);
  EXPECT_EQ(ParseJson(reply->body).At("state").text, state) << reply->body;
}

void ExpectRefusal(const httplib::Result& reply, const std::string& detail) {
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 503);
  EXPECT_EQ(reply->body, "{\"detail\":\"" + detail + "\"}");
}

TEST_F(UpdateRoutesTest, CheckDownloadAndInstallThroughTheRoutes) {
  const std::string installer = InstallerScript(kNext);
  Announce(kNext, installer, ScriptedReply(200, installer).Held());
  ExpectStatusReply(client_->Get("/api/updates"), "unknown");
  ExpectRefusal(Post("/api/updates/download"), "Update download is not ready");
  ExpectRefusal(Post("/api/updates/install"), "Update installation is not ready");

  const httplib::Result check = Post("/api/updates/check");
  ASSERT_TRUE(check);
  EXPECT_EQ(check->status, 200);
  EXPECT_EQ(check->body, "{\"configured\":true,\"started\":true}");
  EXPECT_EQ(check->get_header_value("Cache-Control"), kNoStore);
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  ExpectStatusReply(client_->Get("/api/updates"), "update_available");

  ExpectStatusReply(Post("/api/updates/download"), "downloading");
  ASSERT_TRUE(server_.WaitForHits(InstallerPath(kNext), 1, kPatience));
  ExpectStatusReply(Post("/api/updates/download"), "downloading");
  ExpectRefusal(Post("/api/updates/install"), "Update installation is not ready");
  server_.Release();
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  EXPECT_EQ(server_.Hits(InstallerPath(kNext)), 1);
  const httplib::Result ready = client_->Get("/api/updates");
  ExpectStatusReply(ready, "ready_to_install");
  EXPECT_NE(ready->body.find("\"installable\":true"), std::string::npos);

  ExpectStatusReply(Post("/api/updates/install"), "installing");
  EXPECT_EQ(quits_.load(), 1);
  EXPECT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  ExpectRefusal(Post("/api/updates/install"), "Update installation is not ready");
}

// A build that names no update server says so in the check's reply as in its state, and asks
// nothing of the network.
TEST_F(UpdateRoutesTest, ACheckWithoutAnUpdateServerSaysItIsNotConfigured) {
  UpdaterSettings settings = Settings();
  settings.channel.public_key.clear();
  Updater unconfigured(settings);
  Serve(unconfigured);

  const httplib::Result check = Post("/api/updates/check");
  ASSERT_TRUE(check);
  EXPECT_EQ(check->status, 200);
  EXPECT_EQ(check->body, "{\"configured\":false,\"started\":true}");
  ASSERT_TRUE(unconfigured.WaitForIdle(kPatience));
  const httplib::Result status = client_->Get("/api/updates");
  ASSERT_TRUE(status);
  EXPECT_EQ(ParseJson(status->body).At("error").text, "not_configured") << status->body;
  server_http_.reset();
  EXPECT_EQ(server_.Hits(kManifestPath), 0);
}

// A second request while a check runs still answers as started; only one check runs.
TEST_F(UpdateRoutesTest, CheckRequestsWhileOneRunsAnswerAlike) {
  const TestManifest manifest = Announce(kNext, "installer");
  server_.Serve(kManifestPath, ScriptedReply(200, manifest.Signed(key_)).Held());
  for (int i = 0; i < 3; ++i) {
    const httplib::Result check = Post("/api/updates/check");
    ASSERT_TRUE(check);
    EXPECT_EQ(check->body, "{\"configured\":true,\"started\":true}");
  }
  ASSERT_TRUE(server_.WaitForHits(kManifestPath, 1, kPatience));
  ExpectStatusReply(client_->Get("/api/updates"), "checking");
  server_.Release();
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  EXPECT_EQ(server_.Hits(kManifestPath), 1);
  ExpectStatusReply(client_->Get("/api/updates"), "update_available");
}

}  // namespace
}  // namespace tessvark::testing
