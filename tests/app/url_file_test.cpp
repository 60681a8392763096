#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app_log.h"
#include "app/url_file.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using testing::ReadWholeFile;
using testing::TempFolder;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(UrlFileTest, RecognisesOnlyInterfaceAddresses) {
  const std::pair<const char*, bool> cases[] = {
      {"http://127.0.0.1:28790/", true},  {"http://127.0.0.1:1/", true},
      {"http://127.0.0.1:65535/", true},  {"http://127.0.0.1:65536/", false},
      {"http://127.0.0.1:0/", false},     {"http://127.0.0.1:/", false},
      {"http://127.0.0.1:28790", false},  {"http://127.0.0.1:28790/x", false},
      {"http://127.0.0.1:80@evil/", false}, {"http://localhost:28790/", false},
      {"http://127.0.0.1:123456/", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(IsUiUrl(text), valid) << text;
  EXPECT_EQ(UiUrlForPort(28790), "http://127.0.0.1:28790/");
}

TEST(UrlFileTest, WrittenWithoutLineEndAndRemoved) {
  TempFolder folder;
  const std::string path = folder.Join("tessvark-url");
  WriteText(path, "http://127.0.0.1:1/ stale and longer than the new one\n");
  ASSERT_TRUE(WriteUrlFile(path, "http://127.0.0.1:28791/"));
  EXPECT_EQ(ReadWholeFile(path), "http://127.0.0.1:28791/");
  RemoveUrlFile(path);
  struct stat info {};
  EXPECT_NE(stat(path.c_str(), &info), 0);
  RemoveUrlFile(path);  // a missing file is no error
  EXPECT_FALSE(WriteUrlFile("", "http://127.0.0.1:28791/"));
}

TEST(UrlFileTest, HandOverOpensTheAddressOnceItAppears) {
  TempFolder folder;
  const std::string path = folder.Join("tessvark-url");
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    WriteUrlFile(path, "http://127.0.0.1:28795/");
  });
  std::vector<std::string> opened;
  // Attempts enough to outlast any delay of the writer: the hand-over ends as soon as it reads.
  constexpr std::chrono::milliseconds kInterval(10);
  const bool found = HandOverToRunningInstance(
      folder.Join("no-record"), path,
      [&](const RunningInstance& running) { opened.push_back(running.url); },
      static_cast<int>(testing::kPatience / kInterval), kInterval);
  writer.join();
  EXPECT_TRUE(found);
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:28795/"});
}

TEST(UrlFileTest, HandOverGivesUpOrOpensNothingForABadAddress) {
  TempFolder folder;
  const std::string path = folder.Join("tessvark-url");
  std::vector<std::string> opened;
  const auto record = [&](const RunningInstance& running) { opened.push_back(running.url); };

  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(HandOverToRunningInstance("", path, record, 5, std::chrono::milliseconds(20)));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100))
      << "every attempt waits, the last one included";

  WriteText(path, "file:///etc/passwd\n");
  EXPECT_FALSE(HandOverToRunningInstance("", path, record, 2, std::chrono::milliseconds(1)));
  WriteText(path, "http://127.0.0.1:28790/@elsewhere\n");
  EXPECT_TRUE(HandOverToRunningInstance("", path, record, 2, std::chrono::milliseconds(1)));
  EXPECT_TRUE(opened.empty());
  WriteText(path, "http://127.0.0.1:28790/\nrest");
  EXPECT_TRUE(HandOverToRunningInstance("", path, record, 1, std::chrono::milliseconds(1)));
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:28790/"});
}

// The record beside the lock names the running instance whatever data folder a start has; only
// this user's own regular file counts, since its fallback place is shared with every user.
TEST(UrlFileTest, InstanceRecordIsReadOnlyFromThisUsersOwnFile) {
  TempFolder folder;
  const std::string record = folder.Join("tessvark-url");
  const std::string own_url_file = folder.Join("data-tessvark-url");
  WriteText(own_url_file, "http://127.0.0.1:28799/");
  ASSERT_TRUE(WriteInstanceRecord(record, {"http://127.0.0.1:28791/", "4242", "/home/a b/data"}));
  EXPECT_EQ(ReadWholeFile(record), "http://127.0.0.1:28791/\n4242\n/home/a b/data\n");
  struct stat info {};
  ASSERT_EQ(stat(record.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  std::vector<std::string> opened;
  const auto open = [&](const RunningInstance& running) {
    opened.push_back(running.url + " " + running.pid + " " + running.data_folder);
  };
  EXPECT_TRUE(HandOverToRunningInstance(record, own_url_file, open, 1, std::chrono::milliseconds(1)));
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:28791/ 4242 /home/a b/data"});

  // What does not count as a record leaves the start's own URL file to be read.
  const std::string elsewhere = folder.Join("elsewhere");
  ASSERT_TRUE(WriteInstanceRecord(elsewhere, {"http://127.0.0.1:28792/", "1", "/x"}));
  struct Case {
    const char* what;
    std::function<bool()> plant;
  };
  const Case cases[] = {
      {"a link", [&] { return symlink(elsewhere.c_str(), record.c_str()) == 0; }},
      {"a pipe", [&] { return mkfifo(record.c_str(), 0600) == 0; }},
      {"another user's file",
       [&] {
         WriteText(record, "http://127.0.0.1:28792/\n1\n/x\n");
         return geteuid() == 0 ? chown(record.c_str(), 65534, 65534) == 0
                               : false;  // only root can give a file away
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(record.c_str());
    if (!c.plant()) continue;
    opened.clear();
    RunningInstance running;
    EXPECT_EQ(ReadInstanceRecord(record, running), UrlFileReading::kNotYet);
    EXPECT_TRUE(
        HandOverToRunningInstance(record, own_url_file, open, 1, std::chrono::milliseconds(1)));
    EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:28799/  "});
  }
}

TEST(AppLogTest, AppendsLinesEndingWithCarriageReturnAndLineFeed) {
  TempFolder folder;
  const AppLog log(folder.Join("tessvark.log"));
  log.Append("first");
  log.Append("second");
  EXPECT_EQ(ReadWholeFile(log.path()), "first\r\nsecond\r\n");
  const AppLog reopened(log.path());
  reopened.Append("third");
  EXPECT_EQ(ReadWholeFile(log.path()), "first\r\nsecond\r\nthird\r\n");
  AppLog().Append("dropped");  // no path: nothing happens
  AppLog(folder.Join("missing/tessvark.log")).Append("dropped");
}

// Text from outside cannot grow the log without bound: long lines are cut (never inside a
// character), and a full file rolls over to one older file.
TEST(AppLogTest, LinesAreCutAndTheFileRollsOver) {
  TempFolder folder;
  const AppLog log(folder.Join("tessvark.log"));
  const std::string accented = "tray=" + std::string(1015, 'x') + "\xc3\xa9\xc3\xa9" + std::string(5000, 'y');
  log.Append(accented);
  const std::string cut = "tray=" + std::string(1015, 'x') + "...\r\n";
  EXPECT_EQ(ReadWholeFile(log.path()), cut);
  log.Append(std::string(AppLog::kMaxLineBytes, 'z'));
  EXPECT_EQ(ReadWholeFile(log.path()), cut + std::string(AppLog::kMaxLineBytes, 'z') + "\r\n")
      << "a line of exactly the bound stays whole";

  // Lines of a kilobyte until the file is full: the next one starts a new file.
  const std::string line(AppLog::kMaxLineBytes - 2, 'a');
  const std::size_t per_file = AppLog::kMaxFileBytes / AppLog::kMaxLineBytes;
  std::filesystem::remove(log.path());
  for (std::size_t i = 0; i < per_file; ++i) log.Append(line);
  EXPECT_EQ(std::filesystem::file_size(log.path()), AppLog::kMaxFileBytes);
  EXPECT_FALSE(std::filesystem::exists(log.path() + ".1"));
  log.Append("next");
  EXPECT_EQ(ReadWholeFile(log.path()), "next\r\n");
  EXPECT_EQ(std::filesystem::file_size(log.path() + ".1"), AppLog::kMaxFileBytes);
  for (std::size_t i = 0; i < per_file; ++i) log.Append(line);
  EXPECT_EQ(ReadWholeFile(log.path()), line + "\r\n") << "rolled over again";
  EXPECT_EQ(ReadWholeFile(log.path() + ".1").substr(0, 6), "next\r\n")
      << "only one older file is kept";
}

TEST(AppLogTest, LinesFromManyThreadsStayWhole) {
  TempFolder folder;
  const AppLog log(folder.Join("tessvark.log"));
  const std::string line(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) log.Append(line);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::string expected;
  for (int i = 0; i < 400; ++i) expected += line + "\r\n";
  EXPECT_EQ(ReadWholeFile(log.path()), expected);
}

}  // namespace
}  // namespace tessvark
