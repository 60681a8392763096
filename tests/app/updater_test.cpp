// The updater against a scripted update server on 127.0.0.1: checks, downloads, verification
// and the launch of a stand-in installer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "update_fixture.h"

namespace tessvark::testing {
namespace {

using namespace std::chrono_literals;

using UpdaterTest = UpdateFixture;

TEST_F(UpdaterTest, ChecksSetTheStateTheManifestCalls) {
  TestManifest newer;
  newer.version = kProgramVersion;
  newer.build = kNext;
  newer.url = std::string("https://www.") + kTestUpdateHost + InstallerPath(kNext);
  TestManifest same;
  same.version = kProgramVersion;
  same.build = kProgramBuild;
  TestManifest foreign;
  foreign.platform = "windows-x64";
  // A signed manifest padded with white space to exactly the limit, and one byte beyond it.
  std::string at_limit = newer.Signed(key_);
  at_limit.resize(65536, ' ');
  struct Case {
    const char* what;
    ScriptedReply manifest;
    std::string public_key;
    const char* state;
    const char* error;  // null: no error
  } cases[] = {
      {"newer", {200, newer.Signed(key_)}, key_.PublicKeyBase64(), "update_available", nullptr},
      {"newer, exactly 64 KiB",
       {200, at_limit},
       key_.PublicKeyBase64(),
       "update_available",
       nullptr},
      {"same build", {200, same.Signed(key_)}, key_.PublicKeyBase64(), "up_to_date", nullptr},
      {"over 64 KiB", {200, at_limit + " "}, key_.PublicKeyBase64(), "error", "network"},
      {"not found", {404, ""}, key_.PublicKeyBase64(), "error", "network"},
      {"redirected", ScriptedReply(302).WithHeader("Location", kManifestPath),
       key_.PublicKeyBase64(), "error", "network"},
      {"signed by another key",
       {200, newer.Json(TestSigningKey().Sign(newer.Payload()))},
       key_.PublicKeyBase64(),
       "error",
       "signature_invalid"},
      {"another platform",
       {200, foreign.Signed(key_)},
       key_.PublicKeyBase64(),
       "error",
       "invalid_metadata"},
      {"not JSON", {200, "<html>"}, key_.PublicKeyBase64(), "error", "invalid_metadata"},
      {"no usable key", {200, newer.Signed(key_)}, "", "error", "public_key_missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.Serve(kManifestPath, c.manifest);
    UpdaterSettings settings = Settings();
    settings.channel.public_key = c.public_key;
    Updater updater(settings);
    updater.CheckForUpdatesNow();
    const Status status{ParseJson(updater.UpdateStatusJson())};
    EXPECT_EQ(status.Text("state"), c.state);
    if (c.error == nullptr) {
      EXPECT_TRUE(status.ErrorIsNull()) << updater.UpdateStatusJson();
    } else {
      EXPECT_EQ(status.Text("error"), c.error);
    }
    EXPECT_EQ(status.Text("phase"), "idle");
    EXPECT_EQ(status.Flag("update_available"), std::string(c.state) == "update_available");
    EXPECT_FALSE(status.Flag("installable"));
  }
}

TEST_F(UpdaterTest, NewerManifestFillsTheStatus) {
  const std::string installer = InstallerScript(kNext);
  const TestManifest manifest = Announce(kNext, installer);
  EXPECT_EQ(CurrentStatus().Text("state"), "unknown");
  updater_->CheckForUpdatesNow();
  const Status status = CurrentStatus();
  EXPECT_EQ(status.Text("state"), "update_available");
  EXPECT_EQ(status.Text("presentation"), "linux");
  EXPECT_EQ(status.Text("version"), kProgramVersion);
  EXPECT_EQ(status.Number("build"), kNext);
  EXPECT_EQ(status.Text("notes"), manifest.notes);
  EXPECT_EQ(status.Text("download_url"), manifest.url);
  EXPECT_EQ(status.Number("bytes_total"), static_cast<double>(installer.size()));
  EXPECT_EQ(status.Number("size"), static_cast<double>(installer.size()));
  EXPECT_EQ(status.Number("bytes_downloaded"), 0);
}

TEST_F(UpdaterTest, PendingUpdateIsNeverHiddenByLaterChecks) {
  Announce(kNext, "installer");
  updater_->CheckForUpdatesNow();
  server_.Serve(kManifestPath, {503, ""});
  updater_->CheckForUpdatesNow();
  Status status = CurrentStatus();
  EXPECT_EQ(status.Text("state"), "update_available");
  EXPECT_EQ(status.Text("error"), "network");
  EXPECT_EQ(status.Number("build"), kNext);

  TestManifest same;
  same.version = kProgramVersion;
  same.build = kProgramBuild;
  server_.Serve(kManifestPath, {200, same.Signed(key_)});
  updater_->CheckForUpdatesNow();
  status = CurrentStatus();
  EXPECT_EQ(status.Text("state"), "update_available");
  EXPECT_EQ(status.Number("build"), kNext);

  Announce(kNext + 1, "installer 37");
  updater_->CheckForUpdatesNow();
  status = CurrentStatus();
  EXPECT_EQ(status.Number("build"), kNext + 1);
  EXPECT_TRUE(status.ErrorIsNull());
}

TEST_F(UpdaterTest, CheckOnRequestRunsOnceWhileOneRuns) {
  const TestManifest manifest = Announce(kNext, "installer");
  server_.Serve(kManifestPath, ScriptedReply(200, manifest.Signed(key_)).Held());
  updater_->StartUpdateCheck();
  ASSERT_TRUE(server_.WaitForHits(kManifestPath, 1, kPatience));
  EXPECT_EQ(CurrentStatus().Text("state"), "checking");
  updater_->StartUpdateCheck();
  updater_->CheckForUpdatesNow();  // returns at once: a check runs
  server_.Release();
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  EXPECT_EQ(CurrentStatus().Text("state"), "update_available");
  EXPECT_EQ(server_.Hits(kManifestPath), 1);
}

TEST_F(UpdaterTest, DownloadedInstallerIsVerifiedAndLaunched) {
  const std::string installer = InstallerScript(kNext);
  Announce(kNext, installer);
  EXPECT_FALSE(updater_->StartUpdateDownload()) << "nothing announced yet";
  updater_->CheckForUpdatesNow();
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));

  const Status ready = CurrentStatus();
  EXPECT_EQ(ready.Text("state"), "ready_to_install");
  EXPECT_EQ(ready.Text("phase"), "ready");
  EXPECT_TRUE(ready.Flag("installable"));
  EXPECT_EQ(ready.Number("bytes_downloaded"), static_cast<double>(installer.size()));
  EXPECT_TRUE(ready.ErrorIsNull());

  // The installer lies in a folder of its own that only this user may enter.
  const std::vector<std::string> files = InstallerFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::filesystem::path path = files[0];
  EXPECT_EQ(path.filename(), "Tessvark-update-" + std::to_string(kNext) + ".run");
  EXPECT_EQ(path.parent_path().parent_path(), TempParent());
  struct stat folder {};
  ASSERT_EQ(lstat(path.parent_path().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  struct stat file {};
  ASSERT_EQ(lstat(path.c_str(), &file), 0);
  EXPECT_TRUE(S_ISREG(file.st_mode));
  EXPECT_EQ(file.st_mode & 0077, 0u) << "no one else may read or change it";
  EXPECT_NE(file.st_mode & S_IXUSR, 0u);
  EXPECT_EQ(ReadWholeFile(path), installer);

  ASSERT_TRUE(updater_->InstallUpdate());
  EXPECT_EQ(quits_.load(), 1);
  const Status installing = CurrentStatus();
  EXPECT_EQ(installing.Text("state"), "installing");
  EXPECT_EQ(installing.Text("phase"), "installing");
  ASSERT_TRUE(WaitFor([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()), std::to_string(kNext) + " " + path.string() + "\n");
  EXPECT_FALSE(updater_->InstallUpdate()) << "an installation runs already";
  EXPECT_EQ(quits_.load(), 1);
}

TEST_F(UpdaterTest, FailedDownloadsReturnToTheOfferAndLeaveNoFile) {
  const std::string installer = InstallerScript(kNext);
  std::string other = installer;
  other[other.size() - 2] = 'X';
  struct Case {
    const char* what;
    ScriptedReply reply;
  } cases[] = {
      {"one byte short", {200, installer.substr(0, installer.size() - 1)}},
      {"one byte long", {200, installer + "\n"}},
      {"one byte long, undeclared", ScriptedReply(200, installer + "\n").Chunked()},
      {"far over the size, undeclared",
       ScriptedReply(200, installer + std::string(1 << 20, '#')).Chunked()},
      {"another digest", {200, other}},
      {"redirected", ScriptedReply(302).WithHeader("Location", "/updates/elsewhere.run")},
      {"missing", {404, ""}},
  };
  server_.Serve("/updates/elsewhere.run", {200, installer});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Announce(kNext, installer, c.reply);
    updater_->CheckForUpdatesNow();
    ASSERT_TRUE(updater_->StartUpdateDownload());
    ASSERT_TRUE(updater_->WaitForIdle(kPatience));
    CurrentStatus().ExpectOfferedAgainAfter("checksum_mismatch");
    EXPECT_TRUE(InstallerFiles().empty());
    EXPECT_FALSE(updater_->InstallUpdate());
  }
  EXPECT_EQ(server_.Hits("/updates/elsewhere.run"), 0);
  EXPECT_EQ(quits_.load(), 0);
}

TEST_F(UpdaterTest, InstallerChangedOnDiskIsDeletedInsteadOfLaunched) {
  const std::string installer = InstallerScript(kNext);
  const std::string path = DownloadReady(installer);
  ASSERT_FALSE(path.empty());
  std::string changed = installer;
  changed.replace(changed.find("printf"), 6, "prontf");  // same size, other bytes
  std::ofstream(path, std::ios::binary | std::ios::trunc) << changed;

  EXPECT_FALSE(updater_->InstallUpdate());
  CurrentStatus().ExpectOfferedAgainAfter("checksum_mismatch");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(updater_->InstallUpdate()) << "the installer is gone";
  EXPECT_EQ(quits_.load(), 0);
  EXPECT_FALSE(std::filesystem::exists(Record()));
}

TEST_F(UpdaterTest, InstallerThatCannotStartReturnsToTheOffer) {
  ASSERT_FALSE(DownloadReady("no interpreter line, not an executable format\n").empty());
  EXPECT_FALSE(updater_->InstallUpdate());
  CurrentStatus().ExpectOfferedAgainAfter("install_failed");
  EXPECT_EQ(quits_.load(), 0);
}

TEST_F(UpdaterTest, LinkPlantedAtTheInstallerNameIsReplacedNotFollowed) {
  const std::string installer = InstallerScript(kNext);
  const std::string path = DownloadReady(installer);
  ASSERT_FALSE(path.empty());
  const std::string victim = folder_.Join("victim.txt");
  std::ofstream(victim) << "keep me";
  ASSERT_TRUE(std::filesystem::remove(path));
  std::filesystem::create_symlink(victim, path);

  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  EXPECT_EQ(CurrentStatus().Text("state"), "ready_to_install");
  EXPECT_EQ(ReadWholeFile(victim), "keep me");
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(ReadWholeFile(path), installer);
}

// Two download requests, the second while the first runs: one download, one writer of the file.
TEST_F(UpdaterTest, OneDownloadRunsAtATime) {
  const std::string installer = InstallerScript(kNext);
  Announce(kNext, installer, ScriptedReply(200, installer).Held());
  updater_->CheckForUpdatesNow();
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(server_.WaitForHits(InstallerPath(kNext), 1, kPatience));
  EXPECT_TRUE(updater_->StartUpdateDownload()) << "the running download is reported";
  EXPECT_EQ(CurrentStatus().Text("state"), "downloading");
  EXPECT_FALSE(updater_->InstallUpdate());
  server_.Release();
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  EXPECT_EQ(CurrentStatus().Text("state"), "ready_to_install");
  // A request that a second download had sent before this whole check would have arrived by
  // the check's end.
  updater_->CheckForUpdatesNow();
  EXPECT_EQ(server_.Hits(kManifestPath), 2);
  EXPECT_EQ(server_.Hits(InstallerPath(kNext)), 1);
}

// A newer manifest accepted while a download runs does not make the downloaded installer look
// tampered with: it is checked against the manifest it was downloaded for.
TEST_F(UpdaterTest, InstallerIsCheckedAgainstTheManifestItWasDownloadedFor) {
  const std::string first = InstallerScript(kNext);
  Announce(kNext, first, ScriptedReply(200, first).Held());
  updater_->CheckForUpdatesNow();
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(server_.WaitForHits(InstallerPath(kNext), 1, kPatience));

  Announce(kNext + 1, InstallerScript(kNext + 1));
  updater_->CheckForUpdatesNow();
  EXPECT_EQ(CurrentStatus().Number("build"), kNext + 1);
  server_.Release();
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  ASSERT_EQ(CurrentStatus().Text("state"), "ready_to_install") << updater_->UpdateStatusJson();

  ASSERT_TRUE(updater_->InstallUpdate()) << updater_->UpdateStatusJson();
  EXPECT_TRUE(CurrentStatus().ErrorIsNull());
  ASSERT_TRUE(WaitFor([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()).rfind(std::to_string(kNext) + " ", 0), 0u);
}

TEST_F(UpdaterTest, InstallerThatCannotBePlacedReturnsToTheOffer) {
  const std::string installer = InstallerScript(kNext);
  Announce(kNext, installer);
  // No temporary folder to make the private folder in.
  UpdaterSettings settings = Settings();
  settings.temp_parent = folder_.Join("missing");
  Updater homeless(settings);
  homeless.CheckForUpdatesNow();
  ASSERT_TRUE(homeless.StartUpdateDownload());
  ASSERT_TRUE(homeless.WaitForIdle(kPatience));
  Status{ParseJson(homeless.UpdateStatusJson())}.ExpectOfferedAgainAfter("install_failed");

  // A folder that stands at the installer's name and cannot be replaced.
  const std::string path = DownloadReady(installer);
  ASSERT_FALSE(path.empty());
  ASSERT_TRUE(std::filesystem::remove(path));
  ASSERT_TRUE(std::filesystem::create_directories(path + "/inside"));
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  CurrentStatus().ExpectOfferedAgainAfter("install_failed");
  EXPECT_FALSE(updater_->InstallUpdate());
}

// The state is shared with the threads: a download goes on safely after the updater that
// started it is gone (the program may exit while one runs).
TEST_F(UpdaterTest, DownloadOutlivesTheUpdaterThatStartedIt) {
  const std::string installer = InstallerScript(kNext);
  Announce(kNext, installer, ScriptedReply(200, installer).Held());
  updater_->CheckForUpdatesNow();
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(server_.WaitForHits(InstallerPath(kNext), 1, kPatience));
  updater_.reset();
  server_.Release();
  EXPECT_TRUE(WaitFor([&] {
    const std::vector<std::string> files = InstallerFiles();
    return files.size() == 1 && ReadWholeFile(files[0]) == installer;
  }));
}

TEST_F(UpdaterTest, PeriodicChecksRepeatUntilTheUpdaterGoes) {
  Announce(kNext, "installer");
  UpdaterSettings settings = Settings();
  settings.first_check_delay = 0ms;
  settings.check_interval = 20ms;
  auto periodic = std::make_unique<Updater>(settings);
  periodic->StartPeriodicUpdateChecks();
  periodic->StartPeriodicUpdateChecks();
  EXPECT_TRUE(server_.WaitForHits(kManifestPath, 3, kPatience));
  periodic.reset();  // returns once the periodic thread has ended

  // A first check an hour away does not hold the updater up when it goes.
  const int hits = server_.Hits(kManifestPath);
  settings.first_check_delay = std::chrono::hours(1);
  periodic = std::make_unique<Updater>(settings);
  periodic->StartPeriodicUpdateChecks();
  periodic.reset();
  EXPECT_EQ(server_.Hits(kManifestPath), hits);
}

}  // namespace
}  // namespace tessvark::testing
