#pragma once

// An updater pointed at a scripted update server on 127.0.0.1, with a test certificate
// authority, a test signing key and a temporary folder of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/updater.h"
#include "core/json_value.h"
#include "core/sha256.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_until.h"
#include "update_signing.h"
#include "update_test_server.h"

namespace tessvark::testing {

inline constexpr char kManifestPath[] = "/updates/linux-update.json";
// The build after the running one.
inline constexpr int kNext = kProgramBuild + 1;

inline std::string InstallerPath(int build) {
  return "/updates/Tessvark-update-" + std::to_string(build) + ".run";
}

// The status document's members.
struct Status {
  JsonValue document;
  std::string Text(const char* key) const { return document.At(key).text; }
  bool Flag(const char* key) const { return document.At(key).bool_value; }
  double Number(const char* key) const { return document.At(key).number; }
  bool ErrorIsNull() const { return document.At("error").kind == JsonKind::kNull; }

  // After a failed download or installation the pending update is offered again.
  void ExpectOfferedAgainAfter(const char* error) const {
    EXPECT_EQ(Text("state"), "update_available");
    EXPECT_EQ(Text("phase"), "failed");
    EXPECT_EQ(Text("error"), error);
    EXPECT_FALSE(Flag("installable"));
  }
};

class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(TempParent().c_str(), 0700), 0);
    updater_ = std::make_unique<Updater>(Settings());
    updater_->SetQuitCallback([this] { ++quits_; });
  }

  std::string TempParent() const { return folder_.Join("tmp"); }
  std::string Record() const { return folder_.Join("installer-ran"); }

  UpdaterSettings Settings() const {
    UpdaterSettings settings;
    settings.channel.host = kTestUpdateHost;
    settings.channel.port = server_.port();
    settings.channel.connect_address = "127.0.0.1";
    settings.channel.ca_file = authority_.ca_file();
    settings.channel.public_key = key_.PublicKeyBase64();
    settings.temp_parent = TempParent();
    return settings;
  }

  // A stand-in installer: a script that writes its build and where it ran from into the record
  // file.
  std::string InstallerScript(int build) const {
    return "#!/bin/sh\nprintf '%s %s\\n' '" + std::to_string(build) + "' \"$0\" > '" + Record() +
           "'\n";
  }

  // Serves a signed manifest for `build` whose installer is `installer`, and the installer
  // itself as `reply` (by default exactly those bytes).
  TestManifest Announce(int build, const std::string& installer,
                        std::optional<ScriptedReply> reply = std::nullopt) {
    TestManifest manifest;
    manifest.version = kProgramVersion;
    manifest.build = build;
    manifest.size = installer.size();
    manifest.sha256 = Sha256Hex(installer);
    manifest.url = std::string("https://") + kTestUpdateHost + InstallerPath(build);
    server_.Serve(kManifestPath, {200, manifest.Signed(key_)});
    server_.Serve(InstallerPath(build), reply ? *reply : ScriptedReply(200, installer));
    return manifest;
  }

  Status CurrentStatus() const { return {ParseJson(updater_->UpdateStatusJson())}; }

  // Every installer file under the temporary parent.
  std::vector<std::string> InstallerFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(TempParent())) {
      if (entry.path().filename().string().rfind("Tessvark-update-", 0) == 0) {
        files.push_back(entry.path().string());
      }
    }
    return files;
  }

  // Announces `installer` as the next build, checks, downloads and waits until the installer is
  // ready; its path.
  std::string DownloadReady(const std::string& installer) {
    Announce(kNext, installer);
    updater_->CheckForUpdatesNow();
    EXPECT_TRUE(updater_->StartUpdateDownload());
    EXPECT_TRUE(updater_->WaitForIdle(kPatience));
    EXPECT_EQ(CurrentStatus().Text("state"), "ready_to_install") << updater_->UpdateStatusJson();
    const std::vector<std::string> files = InstallerFiles();
    return files.size() == 1 ? files[0] : std::string();
  }

  TempFolder folder_;
  TestCertificateAuthority authority_{
      folder_.path(), "updates", {kTestUpdateHost, std::string("www.") + kTestUpdateHost}};
  ScriptedUpdateServer server_{authority_};
  TestSigningKey key_;
  std::atomic<int> quits_{0};
  std::unique_ptr<Updater> updater_;  // before the server goes: it may still check
};

}  // namespace tessvark::testing
