#include <gtest/gtest.h>

#include <string>

#include "server/server_state.h"
#include "server_fixture.h"

namespace tessvark::testing {
namespace {

class UiFilesTest : public ServerTest {};

TEST_F(UiFilesTest, IndexPageCarriesTheTokenInPlaceOfTheFirstPlaceholderOnly) {
  const HttpReply reply = Get("/");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "<!doctype html><meta name=\"t\" content=\"" + token_ +
                            "\"><p>__TESSVARK_CSRF_TOKEN__</p>");
  EXPECT_EQ(reply.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(reply.Header("Cache-Control"), "no-store, max-age=0");
  EXPECT_EQ(reply.Header("Pragma"), "no-cache");
  ExpectSecurityHeaders(reply);
}

TEST_F(UiFilesTest, PagesWithoutThePlaceholderAreServedByteForByte) {
  for (const std::string& page : {std::string("<p>no token here</p>"), std::string("__TESSVARK"),
                                  std::string("a\0b\xff", 4)}) {
    WriteFile(ui_root_ / "index.html", page);
    EXPECT_EQ(Get("/").body, page);
  }
}

TEST_F(UiFilesTest, EmptyOrOversizedFilesAreNotFound) {
  WriteFile(ui_root_ / "index.html", std::string(kUiFileLimit, 'x'));
  EXPECT_EQ(Get("/").body.size(), kUiFileLimit);
  for (const std::string& page : {std::string(kUiFileLimit + 1, 'x'), std::string()}) {
    WriteFile(ui_root_ / "index.html", page);
    const HttpReply reply = Get("/");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, "{\"detail\":\"Not Found\"}");
  }
}

TEST_F(UiFilesTest, IconsAndWordmarkAreThePngFiles) {
  for (const char* target : {"/favicon.png", "/favicon.ico"}) {
    const HttpReply reply = Get(target);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, "\x89PNG-favicon-bytes") << target;
    EXPECT_EQ(reply.Header("Content-Type"), "image/png") << target;
    EXPECT_EQ(reply.Header("Cache-Control"), "no-store, max-age=0") << target;
  }
  EXPECT_EQ(Get("/assets/tessvark-wordmark.png").body, "\x89PNG-wordmark-bytes");
  // A file replaced on disk is served in its new form.
  WriteFile(ui_root_ / "assets" / "tessvark-wordmark.png", "new wordmark");
  EXPECT_EQ(Get("/assets/tessvark-wordmark.png").body, "new wordmark");
  std::filesystem::remove(ui_root_ / "assets" / "favicon.png");
  const HttpReply missing = Get("/favicon.png");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "{\"detail\":\"Not Found\"}");
  EXPECT_EQ(missing.Header("Content-Type"), "application/json");
  // No other file of the UI root is served.
  EXPECT_EQ(Get("/assets/favicon.png").status, 404);
  EXPECT_EQ(Get("/index.html").status, 404);
}

TEST(ReadFileLimitedUnits, LimitIsInclusive) {
  const TempFolder folder("read-limited");
  const std::filesystem::path path = folder / "file";
  WriteFile(path, "12345");
  EXPECT_EQ(ReadFileLimited(path.string(), 5), "12345");
  EXPECT_EQ(ReadFileLimited(path.string(), 4), "");
  EXPECT_EQ(ReadFileLimited(path.string() + ".missing", 100), "");
  EXPECT_EQ(ReadFileLimited(path.parent_path().string(), 1u << 30), "");
}

}  // namespace
}  // namespace tessvark::testing
