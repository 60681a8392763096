#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
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
      path, [&](const std::string& url) { opened.push_back(url); },
      static_cast<int>(testing::kPatience / kInterval), kInterval);
  writer.join();
  EXPECT_TRUE(found);
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:28795/"});
}

TEST(UrlFileTest, HandOverGivesUpOrOpensNothingForABadAddress) {
  TempFolder folder;
  const std::string path = folder.Join("tessvark-url");
  std::vector<std::string> opened;
  const auto record = [&](const std::string& url) { opened.push_back(url); };

  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(HandOverToRunningInstance(path, record, 5, std::chrono::milliseconds(20)));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100))
      << "every attempt waits, the last one included";

  WriteText(path, "file:///etc/passwd\n");
  EXPECT_FALSE(HandOverToRunningInstance(path, record, 2, std::chrono::milliseconds(1)));
  WriteText(path, "http://127.0.0.1:28790/@elsewhere\n");
  EXPECT_TRUE(HandOverToRunningInstance(path, record, 2, std::chrono::milliseconds(1)));
  EXPECT_TRUE(opened.empty());
  WriteText(path, "http://127.0.0.1:28790/\nrest");
  EXPECT_TRUE(HandOverToRunningInstance(path, record, 1, std::chrono::milliseconds(1)));
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:28790/"});
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
