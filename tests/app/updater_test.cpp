// The updater against a scripted update server on 127.0.0.1: checks, downloads, verification
// and the launch of a stand-in installer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/descriptor_watch.h"
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
      {"a key that is not 32 bytes", {200, newer.Signed(key_)}, "AAAA", "error",
       "public_key_missing"},
      // A build given no update key has no update server to ask.
      {"no key", {200, newer.Signed(key_)}, "", "error", "not_configured"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.Serve(kManifestPath, c.manifest);
    UpdaterSettings settings = Settings();
    settings.channel.public_key = c.public_key;
    Updater updater(settings);
    const int hits = server_.Hits(kManifestPath);
    updater.CheckForUpdatesNow();
    EXPECT_EQ(server_.Hits(kManifestPath), hits + (c.public_key.empty() ? 0 : 1));
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
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  // Started from the descriptor it was verified through, which the script reads itself from.
  EXPECT_EQ(ReadWholeFile(Record()), std::to_string(kNext) + " /proc/self/fd/3\n");
  EXPECT_FALSE(std::filesystem::exists(path)) << "the started installer needs no name";
  EXPECT_FALSE(updater_->InstallUpdate()) << "an installation runs already";
  EXPECT_EQ(quits_.load(), 1);
}

// Each failed download names what failed: a body of the wrong size or digest the installer, a
// status, a redirect or a connection cut short the network.
TEST_F(UpdaterTest, FailedDownloadsReturnToTheOfferAndLeaveNoFile) {
  const std::string installer = InstallerScript(kNext);
  std::string other = installer;
  other[other.size() - 2] = 'X';
  struct Case {
    const char* what;
    ScriptedReply reply;
    const char* error;
  } cases[] = {
      {"one byte short", {200, installer.substr(0, installer.size() - 1)}, "checksum_mismatch"},
      {"one byte long", {200, installer + "\n"}, "checksum_mismatch"},
      {"one byte long, undeclared", ScriptedReply(200, installer + "\n").Chunked(),
       "checksum_mismatch"},
      {"far over the size, undeclared",
       ScriptedReply(200, installer + std::string(1 << 20, '#')).Chunked(), "checksum_mismatch"},
      {"another digest", {200, other}, "checksum_mismatch"},
      {"redirected", ScriptedReply(302).WithHeader("Location", "/updates/elsewhere.run"),
       "network"},
      {"missing", {404, ""}, "network"},
      {"a server error", {500, installer}, "network"},
      {"cut short", ScriptedReply(200, installer).CutAfter(10), "network"},
  };
  server_.Serve("/updates/elsewhere.run", {200, installer});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Announce(kNext, installer, c.reply);
    updater_->CheckForUpdatesNow();
    ASSERT_TRUE(updater_->StartUpdateDownload());
    ASSERT_TRUE(updater_->WaitForIdle(kPatience));
    CurrentStatus().ExpectOfferedAgainAfter(c.error);
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

// A newer build announced while a download runs replaces the offer: the download ends without a
// false "checksum_mismatch", its installer of the older build goes, and the newer one's download
// asked for meanwhile follows.
TEST_F(UpdaterTest, ANewerBuildAnnouncedDuringADownloadReplacesItsInstaller) {
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
  Status status = CurrentStatus();
  EXPECT_EQ(status.Text("state"), "update_available") << updater_->UpdateStatusJson();
  EXPECT_TRUE(status.ErrorIsNull());
  EXPECT_TRUE(InstallerFiles().empty());
  EXPECT_FALSE(updater_->InstallUpdate());

  // Asked for while the older one still runs (its server drips it), the newer one follows it.
  const std::string slow = InstallerScript(kNext + 1);
  Announce(kNext + 1, slow, ScriptedReply(200, slow).Dripped(50ms));
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(server_.WaitForHits(InstallerPath(kNext + 1), 1, kPatience));
  Announce(kNext + 2, InstallerScript(kNext + 2));
  updater_->CheckForUpdatesNow();
  ASSERT_TRUE(updater_->StartUpdateDownload());
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  ASSERT_EQ(CurrentStatus().Text("state"), "ready_to_install") << updater_->UpdateStatusJson();
  EXPECT_EQ(CurrentStatus().Number("build"), kNext + 2);
  EXPECT_EQ(InstallerFiles().size(), 1u);
  ASSERT_TRUE(updater_->InstallUpdate()) << updater_->UpdateStatusJson();
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()).rfind(std::to_string(kNext + 2) + " ", 0), 0u);
}

TEST_F(UpdaterTest, AVerifiedInstallerIsKeptAcrossLaterChecks) {
  const std::string installer = InstallerScript(kNext);
  ASSERT_FALSE(DownloadReady(installer).empty());
  // The periodic check, or one on request, finds the same manifest again; or none at all.
  updater_->CheckForUpdatesNow();
  EXPECT_EQ(CurrentStatus().Text("state"), "ready_to_install") << updater_->UpdateStatusJson();
  server_.Serve(kManifestPath, {503, ""});
  updater_->CheckForUpdatesNow();
  EXPECT_EQ(CurrentStatus().Text("state"), "ready_to_install");
  EXPECT_EQ(CurrentStatus().Text("error"), "network");
  ASSERT_TRUE(updater_->InstallUpdate());
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()).rfind(std::to_string(kNext) + " ", 0), 0u);
}

TEST_F(UpdaterTest, ASignedManifestOfAnOlderBuildNeverReplacesTheOffer) {
  Announce(kNext + 1, InstallerScript(kNext + 1));
  updater_->CheckForUpdatesNow();
  // Signed and newer than the running build, but older than the build on offer: a replay.
  Announce(kNext, InstallerScript(kNext));
  updater_->CheckForUpdatesNow();
  const Status status = CurrentStatus();
  EXPECT_EQ(status.Text("state"), "update_available");
  EXPECT_EQ(status.Number("build"), kNext + 1);
  EXPECT_EQ(status.Text("download_url"),
            std::string("https://") + kTestUpdateHost + InstallerPath(kNext + 1));
}

// The bytes verified are the bytes started: an installer renamed over the verified one while it
// is checked never runs. A large installer makes its check a long moment.
TEST_F(UpdaterTest, AnInstallerRenamedOverTheVerifiedOneNeverRuns) {
  const std::string installer =
      InstallerScript(kNext) + "exit 0\n#" + std::string(8 << 20, '#') + "\n";
  const std::string path = DownloadReady(installer);
  ASSERT_FALSE(path.empty());
  const std::string other = folder_.Join("other.run");
  std::ofstream(other) << "#!/bin/sh\necho other > '" + Record() + "'\n";
  ASSERT_EQ(chmod(other.c_str(), 0700), 0);
  WhenFileIsOpened swap(path, [&] { std::filesystem::rename(other, path); });
  ASSERT_TRUE(updater_->InstallUpdate());
  swap.Stop();
  ASSERT_TRUE(swap.acted());
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()), std::to_string(kNext) + " /proc/self/fd/3\n");
}

// The installer runs from a sealed copy of the checked bytes: a process that holds a hard link to
// the file and rewrites it as the installer starts changes nothing the installer runs or reads.
TEST_F(UpdaterTest, AWriteThroughAHardLinkNeverChangesWhatRuns) {
  const std::string link = folder_.Join("held-link.run");
  // The shell reads the whole group before it runs it; the group rewrites the downloaded file
  // through the link, then records the last line of what it is run from.
  const std::string installer =
      "#!/bin/sh\n{ printf '#!/bin/sh\\necho rewritten\\n#changed\\n' > '" + link +
      "'; tail -n 1 \"$0\" > '" + Record() + "'; exit 0; }\n#checked\n";
  const std::string path = DownloadReady(installer);
  ASSERT_FALSE(path.empty());
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(updater_->InstallUpdate());
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()), "#checked\n");
  EXPECT_EQ(ReadWholeFile(link), "#!/bin/sh\necho rewritten\n#changed\n") << "the write was made";
}

// The installer gets no descriptor of this program but its own file, which it can read itself
// through (as a self-extracting shell installer does).
TEST_F(UpdaterTest, NothingButItsOwnFileReachesTheInstaller) {
  const std::string installer =
      "#!/bin/sh\nif [ -e /proc/$$/fd/47 ]; then inherited=yes; else inherited=no; fi\n"
      "printf '%s %s\\n' \"$inherited\" \"$(wc -c < \"$0\")\" > '" + Record() + "'\n";
  ASSERT_FALSE(DownloadReady(installer).empty());
  const int inheritable = open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_EQ(dup2(inheritable, 47), 47);
  const bool started = updater_->InstallUpdate();
  close(47);
  close(inheritable);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitUntil([&] { return !ReadWholeFile(Record()).empty(); }));
  EXPECT_EQ(ReadWholeFile(Record()), "no " + std::to_string(installer.size()) + "\n");
}

// A temporary folder in which another user could rename the private folder away (and put one of
// theirs in its place) is not used; one with the sticky bit is.
TEST_F(UpdaterTest, ATemporaryFolderOthersMayChangeIsRefused) {
  const std::string installer = InstallerScript(kNext);
  Announce(kNext, installer);
  struct Case {
    const char* what;
    mode_t mode;
    const char* state;
  } cases[] = {
      {"writable by everyone", 0777, "update_available"},
      {"writable by its group", 0770, "update_available"},
      {"writable by everyone, sticky", 01777, "ready_to_install"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string parent = folder_.Join(std::string("parent-") + std::to_string(c.mode));
    ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
    ASSERT_EQ(chmod(parent.c_str(), c.mode), 0);
    UpdaterSettings settings = Settings();
    settings.temp_parent = parent;
    Updater updater(settings);
    updater.CheckForUpdatesNow();
    ASSERT_TRUE(updater.StartUpdateDownload());
    ASSERT_TRUE(updater.WaitForIdle(kPatience));
    const Status status{ParseJson(updater.UpdateStatusJson())};
    EXPECT_EQ(status.Text("state"), c.state);
    if (std::string(c.state) != "ready_to_install") {
      status.ExpectOfferedAgainAfter("install_failed");
      EXPECT_TRUE(std::filesystem::is_empty(parent));
    }
  }
}

// A server that drips its answer holds neither a check nor a download beyond its pace, says so,
// and later checks run.
TEST_F(UpdaterTest, ASlowServerEndsTheFetchAsANetworkFailure) {
  const std::string installer = InstallerScript(kNext);
  const TestManifest manifest = Announce(kNext, installer);
  UpdaterSettings settings = Settings();
  settings.manifest_pace = {1000ms, 0, 0, 10000ms};
  settings.installer_pace = {60000ms, 0, 200, 500ms};
  Updater updater(settings);
  server_.Serve(kManifestPath, ScriptedReply(200, manifest.Signed(key_)).Dripped(50ms));
  updater.CheckForUpdatesNow();
  Status status{ParseJson(updater.UpdateStatusJson())};
  EXPECT_EQ(status.Text("state"), "error");
  EXPECT_EQ(status.Text("error"), "network");

  // A later check runs; each has only the short pace too, so a busy machine may need more than one.
  server_.Serve(kManifestPath, {200, manifest.Signed(key_)});
  EXPECT_TRUE(WaitUntil([&] {
    updater.StartUpdateCheck();
    return updater.WaitForIdle(kPatience) &&
           ParseJson(updater.UpdateStatusJson()).At("state").text == "update_available";
  })) << updater.UpdateStatusJson();

  server_.Serve(InstallerPath(kNext), ScriptedReply(200, installer).Dripped(50ms));
  ASSERT_TRUE(updater.StartUpdateDownload());
  ASSERT_TRUE(updater.WaitForIdle(kPatience));
  Status{ParseJson(updater.UpdateStatusJson())}.ExpectOfferedAgainAfter("network");
  EXPECT_TRUE(InstallerFiles().empty());
}

// The installer goes to its file as it arrives, not after it arrived whole.
TEST_F(UpdaterTest, TheInstallerIsWrittenAsItArrives) {
  const std::string installer = InstallerScript(kNext) + "#" + std::string(1 << 20, '#') + "\n";
  Announce(kNext, installer, ScriptedReply(200, installer).HeldAfter(512 << 10));
  updater_->CheckForUpdatesNow();
  ASSERT_TRUE(updater_->StartUpdateDownload());
  EXPECT_TRUE(WaitUntil([&] {
    const std::vector<std::string> files = InstallerFiles();
    return files.size() == 1 && std::filesystem::file_size(files[0]) >= (512u << 10);
  })) << "nothing on disk while half the installer has arrived";
  server_.Release();
  ASSERT_TRUE(updater_->WaitForIdle(kPatience));
  EXPECT_EQ(CurrentStatus().Text("state"), "ready_to_install");
}

// Installer folders that a killed run left behind go at the next start; those of a running
// process, and anything not ours by its name, stay.
TEST_F(UpdaterTest, InstallerFoldersOfKilledRunsGoAtTheNextStart) {
  // A process that makes its folder with an installer in it, as a download does, and is killed.
  const std::string script = "d=\"$1/tessvark-update-$$-abc123\"; mkdir -m 700 \"$d\" && "
                             "echo installer > \"$d/Tessvark-update-36.run\" && exec sleep 600";
  std::vector<std::string> arguments = {"/bin/sh", "-c", script, "sh", TempParent()};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t killed = -1;
  ASSERT_EQ(posix_spawn(&killed, "/bin/sh", nullptr, nullptr, argv.data(), environ), 0);
  const std::string left = TempParent() + "/tessvark-update-" + std::to_string(killed) + "-abc123";
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(left + "/Tessvark-update-36.run"); }));
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_EQ(waitpid(killed, nullptr, 0), killed);

  const std::string running = TempParent() + "/tessvark-update-1-abc123";  // init's pid
  const std::string other =
      TempParent() + "/tessvark-updates-" + std::to_string(killed) + "-abc123";
  std::filesystem::create_directories(running);
  std::filesystem::create_directories(other);
  Updater next_start(Settings());
  EXPECT_FALSE(std::filesystem::exists(left));
  EXPECT_TRUE(std::filesystem::exists(running));
  EXPECT_TRUE(std::filesystem::exists(other));
}

// In a temporary folder that others may change, a folder of this user that another user renamed
// into the form of a killed run's installer folder is left alone, with everything in it.
TEST_F(UpdaterTest, NothingIsRemovedFromATemporaryFolderOthersMayChange) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  for (const mode_t mode : {mode_t{0777}, mode_t{02775}}) {
    SCOPED_TRACE(mode);
    const std::string parent = folder_.Join("shared-" + std::to_string(mode));
    ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
    ASSERT_EQ(chmod(parent.c_str(), mode), 0);
    if (geteuid() == 0) {
      // The other user may pass through to the folder and, for a group folder, is in its group.
      ASSERT_EQ(chmod(folder_.path().c_str(), 0711), 0);
      ASSERT_EQ(chown(parent.c_str(), 0, 65534), 0);
    }
    const std::string precious = parent + "/work";
    ASSERT_EQ(mkdir(precious.c_str(), 0755), 0);
    std::ofstream(precious + "/notes.txt") << "precious";
    const std::string renamed =
        parent + "/tessvark-update-" + std::to_string(ended) + "-abc123";
    // The rename is another user's where the test may act as one; the folder stays this user's.
    const pid_t other = fork();
    if (other == 0) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
      _exit(rename(precious.c_str(), renamed.c_str()) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the rename failed";

    UpdaterSettings settings = Settings();
    settings.temp_parent = parent;
    Updater next_start(settings);
    EXPECT_EQ(ReadWholeFile(renamed + "/notes.txt"), "precious");
  }
}

// Through the proxy the environment names, as the Linux tools read it, unless no_proxy names the
// update host; a proxy that cannot be used is a network failure, never a way around it.
TEST_F(UpdaterTest, ChecksGoThroughTheProxyTheEnvironmentNames) {
  Announce(kNext, "installer");
  ConnectProxy proxy(server_.port());
  const std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
  struct Case {
    const char* what;
    std::map<std::string, std::string> environment;
    std::size_t tunnels;
    const char* state;
  } cases[] = {
      {"https_proxy", {{"https_proxy", address}}, 1, "update_available"},
      {"HTTPS_PROXY", {{"HTTPS_PROXY", address}}, 1, "update_available"},
      {"no_proxy names the host", {{"https_proxy", address}, {"no_proxy", ".tessvark.test"}}, 0,
       "update_available"},
      {"a proxy of another kind", {{"https_proxy", "socks5://127.0.0.1:1"}}, 0, "error"},
  };
  std::size_t tunnels = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UpdaterSettings settings = Settings();
    settings.environment = [&c](const char* name) -> const char* {
      const auto found = c.environment.find(name);
      return found == c.environment.end() ? nullptr : found->second.c_str();
    };
    Updater updater(settings);
    updater.CheckForUpdatesNow();
    EXPECT_EQ(ParseJson(updater.UpdateStatusJson()).At("state").text, c.state);
    tunnels += c.tunnels;
    const std::vector<std::string> heads = proxy.Heads();
    ASSERT_EQ(heads.size(), tunnels);
    if (c.tunnels > 0) {
      EXPECT_EQ(heads.back().rfind(std::string("CONNECT ") + kTestUpdateHost + ":", 0), 0u);
    }
  }
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
  EXPECT_TRUE(WaitUntil([&] {
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
