#include "settings/atomic_write.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "file_size_limit.h"
#include "platform/atomic_file.h"
#include "settings_test_support.h"

namespace tessvark {
namespace {

bool HasTemporaryFile(const std::filesystem::path& folder) {
  for (const std::string& name : FolderNames(folder)) {
    if (name.find(".tmp") != std::string::npos) return true;
  }
  return false;
}

TEST(WriteFileAtomically, RefusesTextThatDoesNotParseAndTouchesNothing) {
  TempFolder folder;
  const auto target = folder / "zone_store.json";
  WriteText(target, "{\"old\":true}");
  for (const std::string text : {"", "   ", "{\"a\":1} x", "{\"a\":", "[1,]"}) {
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(target, text, error)) << text;
    EXPECT_EQ(error, "Refusing to write a document that does not parse");
  }
  EXPECT_EQ(ReadText(target), "{\"old\":true}");
  EXPECT_EQ(FolderNames(folder.path()), std::set<std::string>{"zone_store.json"});
}

TEST(WriteFileAtomically, CreatesMissingFoldersAndWritesBytesExactly) {
  TempFolder folder;
  const auto target = folder / "a" / "b" / "source_config.json";
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(target, "[1,2]\r\n", error)) << error;
  EXPECT_EQ(ReadText(target), "[1,2]\r\n");
  ASSERT_TRUE(WriteFileAtomically(target, "7", error)) << error;
  EXPECT_EQ(ReadText(target), "7");  // a shorter text replaces the whole file
  EXPECT_FALSE(HasTemporaryFile(target.parent_path()));
}

TEST(WriteFileAtomically, TemporaryNamesCarryTheProcessIdAndAreNeverReused) {
  TempFolder folder;
  const auto target = folder / "zone_store.json";
  const std::string first = UniqueTemporaryPath(target).filename().string();
  const std::string prefix = "zone_store.json.tmp." + std::to_string(getpid()) + ".";
  EXPECT_EQ(first.rfind(prefix, 0), 0u) << first;
  EXPECT_NE(UniqueTemporaryPath(target), UniqueTemporaryPath(target));
  // A leftover of a process that died mid-save does not get in the way.
  WriteText(folder / first, "partial");
  std::string error;
  EXPECT_TRUE(WriteFileAtomically(target, "{}", error)) << error;
  EXPECT_EQ(ReadText(target), "{}");
}

TEST(WriteFileAtomically, ReportsEachFailingStepAndLeavesTheTargetAlone) {
  TempFolder folder;
  std::string error;

  WriteText(folder / "plain-file", "x");
  EXPECT_FALSE(WriteFileAtomically(folder / "plain-file" / "zone_store.json", "{}", error));
  EXPECT_EQ(error, "Could not create the configuration directory");

  // A folder in the target's place cannot be replaced by a file.
  const auto blocked = folder / "blocked.json";
  std::filesystem::create_directories(blocked / "inside");
  EXPECT_FALSE(WriteFileAtomically(blocked, "{}", error));
  EXPECT_EQ(error, "Could not replace the configuration file");
  EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
  EXPECT_FALSE(HasTemporaryFile(folder.path()));

  const auto target = folder / "output_config.json";
  WriteText(target, "{\"old\":1}");
  {
    FileSizeLimit limit(64);
    EXPECT_FALSE(WriteFileAtomically(target, "[\"" + std::string(500, 'x') + "\"]", error));
  }
  EXPECT_EQ(error, "Configuration write stopped before the document was complete");
  EXPECT_EQ(ReadText(target), "{\"old\":1}");
  EXPECT_FALSE(HasTemporaryFile(folder.path()));
}

// A writer killed at any moment of a replacement leaves the target holding one complete document.
// The child runs the file layer directly so that the kills land in the disk work rather than in
// the JSON check that precedes it.
TEST(KilledWriter, LeavesTheOldOrTheNewText) {
  TempFolder folder;
  const auto target = folder / "zone_store.json";
  const std::string old_text = "[\"" + std::string(3 << 20, 'a') + "\"]";
  const std::string new_text = "{\"zones\":\"" + std::string(2 << 20, 'b') + "\"}";
  ASSERT_EQ(ReplaceFileWithText(target, old_text), ReplaceFileStatus::kReplaced);

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> delay_us(0, 8000);
  for (int round = 0; round < 40; ++round) {
    int saves[2];
    ASSERT_EQ(pipe(saves), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(saves[0]);
      for (int i = 0;; ++i) {
        ReplaceFileWithText(target, i % 2 == 0 ? new_text : old_text);
        const char done = 1;
        if (write(saves[1], &done, 1) != 1) _exit(1);
      }
    }
    close(saves[1]);
    // Once the first replacement is through, the writer is inside the next one: kill it there.
    char done = 0;
    ASSERT_EQ(read(saves[0], &done, 1), 1);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(saves[0]);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string on_disk = ReadText(target);
    ASSERT_TRUE(on_disk == old_text || on_disk == new_text)
        << "round " << round << ": " << on_disk.size() << " bytes, neither document";
  }
}

// A process id that no process has: a child that has ended and been reaped.
pid_t EndedProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

// Start-up clears what killed writers left: only names of the writer's own pattern, only regular
// files, only of processes that are gone. Links are never followed, nothing else is touched.
TEST(RemoveStaleTemporaryFiles, RemovesOnlyTheLeftoversOfEndedWriters) {
  TempFolder folder;
  const std::string ended = std::to_string(EndedProcessId());
  const std::string alive = std::to_string(getpid());
  const auto victim = folder / "victim";
  WriteText(victim, "precious");
  const std::set<std::string> removed = {
      "zone_store.json.tmp." + ended + ".123456789",
      "sport_zones.json.tmp." + ended + ".-42",
      "tessvark-url.tmp." + ended + ".7",
  };
  const std::set<std::string> kept_files = {
      "zone_store.json.tmp." + alive + ".123456789",  // its writer still runs
      "zone_store.json.tmp." + ended,                 // no clock reading
      "zone_store.json.tmp." + ended + ".12x",
      "zone_store.json.tmp.+" + ended + ".1",
      "zone_store.json.tmp.0.1",
      "zone_store.json.tmp.99999999999.1",
      ".tmp." + ended + ".1",                         // no target name
      "sport_zones.json.tmp",
      "zone_store.json",
  };
  for (const std::string& name : removed) WriteText(folder / name, "partial");
  for (const std::string& name : kept_files) WriteText(folder / name, "partial");
  const std::string link = "output_config.json.tmp." + ended + ".9";
  std::filesystem::create_symlink(victim, folder / link);
  const std::string directory = "source_config.json.tmp." + ended + ".9";
  std::filesystem::create_directory(folder / directory);

  EXPECT_EQ(RemoveStaleTemporaryFiles(folder.path()), 3);
  std::set<std::string> expected = kept_files;
  expected.insert({"victim", link, directory});
  EXPECT_EQ(FolderNames(folder.path()), expected);
  EXPECT_EQ(ReadText(victim), "precious");
  EXPECT_EQ(RemoveStaleTemporaryFiles(folder / "missing"), 0);
}

}  // namespace
}  // namespace tessvark
