#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "core/descriptor.h"
#include "core/json_text.h"
#include "core/paths.h"
#include "core/text.h"

namespace tessvark {
namespace {

TEST(CloseSocketOrFile, ClosesSocketsAndFilesOnce) {
  EXPECT_EQ(CloseSocketOrFile(-1), -1);
  const int socket_fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(socket_fd, 0);
  EXPECT_EQ(CloseSocketOrFile(socket_fd), 0);
  EXPECT_EQ(fcntl(socket_fd, F_GETFD), -1);

  char path[] = "/tmp/tessvark-descriptor-XXXXXX";
  const int file_fd = mkstemp(path);
  ASSERT_GE(file_fd, 0);
  unlink(path);
  EXPECT_EQ(CloseSocketOrFile(file_fd), 0);
  EXPECT_EQ(CloseSocketOrFile(file_fd), -1);
}

TEST(IsInOldDataFolder, OnlyTheOldFolderNameCounts) {
  const struct {
    const char* path;
    bool old;
  } cases[] = {
      {R"(C:\Users\x\Library\Application Support\Tessvark\sport_zones.json)", true},
      {"/Users/x/Library/Application Support/Tessvark Unified Native/sport_zones.json", false},
      {"/Users/x/Library/Application Support/Tessvark", true},
      {"/a/Application Support/Tessvark Unified Native/b/Application Support/Tessvark/c", true},
      {"/a/Application Support/Tessvark Unified Nativ", true},
      {"/a/application support/tessvark/x", false},
      {"/home/x/.local/share/Tessvark Unified Native/sport_zones.json", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsInOldDataFolder(c.path), c.old) << c.path;
}

TEST(EscapeJsonText, OnlyQuoteBackslashAndNewlineHaveShortForms) {
  EXPECT_EQ(EscapeJsonText("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  EXPECT_EQ(EscapeJsonText("\t\r\b\f\x01"), "\\u0009\\u000d\\u0008\\u000c\\u0001");
  EXPECT_EQ(EscapeJsonText("caf\xC3\xA9/\x7F"), "caf\xC3\xA9/\x7F");
}

TEST(AppendJsonEscaped, EachSetKeepsItsOwnShortForms) {
  const std::string controls = "\"\\\b\t\n\f\r\x01";
  const struct {
    JsonEscapeSet set;
    const char* escaped;
  } cases[] = {
      {JsonEscapeSet::kState, R"(\"\\\b\t\n\f\r\u0001)"},
      {JsonEscapeSet::kApi, R"(\"\\\u0008\u0009\n\u000c\u000d\u0001)"},
      {JsonEscapeSet::kCatalog, R"(\"\\\u0008\t\n\u000c\r\u0001)"},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    AppendJsonEscaped(controls + "\xC3\xA9", c.set, out);
    EXPECT_EQ(out, std::string("x") + c.escaped + "\xC3\xA9");
  }
}

TEST(FormatJsonNumber, SeventeenDigitsOrNull) {
  EXPECT_EQ(FormatJsonNumber(0.1), "0.10000000000000001");
  EXPECT_EQ(FormatJsonNumber(1.0), "1");
  EXPECT_EQ(FormatJsonNumber(-0.0), "-0");
  EXPECT_EQ(FormatJsonNumber(1e300 * 1e300), "null");
  EXPECT_EQ(FormatJsonNumber(std::nan("")), "null");
}

TEST(AsciiText, LowerAndTrimTouchOnlyAscii) {
  EXPECT_EQ(ToLowerAscii("Home.TEXT \xC3\x89"), "home.text \xC3\x89");
  EXPECT_EQ(TrimAsciiWhitespace(" \t\v\f\r\n a b \n"), "a b");
  EXPECT_EQ(TrimAsciiWhitespace("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
  EXPECT_EQ(TrimAsciiWhitespace("   "), "");
}

}  // namespace
}  // namespace tessvark
