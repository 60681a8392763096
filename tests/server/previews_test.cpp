#include <gtest/gtest.h>

#include <string>

#include "server_fixture.h"

namespace tessvark::testing {
namespace {

class PreviewsTest : public ServerTest {};

TEST_F(PreviewsTest, SlotIndexMustBeAWholeNumberFrom0To16) {
  struct Case {
    const char* segment;
    int slot;  // -1: refused
  } cases[] = {
      {"0", 0},
      {"16", 16},
      {"+7", 7},
      {"%207", 7},
      {"007", 7},
      {"17", -1},
      {"-1", -1},
      {"3a", -1},
      {"0x3", -1},
      {"%20", -1},
      {"99999999999999999999", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segment);
    const std::size_t before = runtime_.Calls().size();
    const HttpReply reply = Get(std::string("/api/zones/z1/slot-preview/") + c.segment);
    if (c.slot < 0) {
      EXPECT_EQ(reply.status, 404);
      EXPECT_EQ(reply.body, "{\"detail\":\"Slot not found\"}");
      EXPECT_EQ(runtime_.Calls().size(), before);
    } else {
      ASSERT_EQ(runtime_.Calls().size(), before + 1);
      EXPECT_EQ(runtime_.Calls().back(),
                "GetZonePreview|z1|slot-preview|" + std::to_string(c.slot));
    }
  }
}

TEST_F(PreviewsTest, QueryBecomesZonePreviewOptions) {
  Get("/api/zones/z1/crop?x=0.1&y=0.1&width=0.2&height=abc&role=clock&role=other");
  ZonePreviewOptions options = runtime_.LastPreviewOptions();
  EXPECT_TRUE(options.has_x && options.has_y && options.has_width && options.has_height);
  EXPECT_FALSE(options.numbers_valid);
  EXPECT_DOUBLE_EQ(options.width, 0.2);
  EXPECT_TRUE(options.has_role);
  EXPECT_EQ(options.role, "clock");
  EXPECT_FALSE(options.perspective_set);

  Get("/api/zones/z1/crop?x=1e999&y=0&width=1&height=1");
  EXPECT_FALSE(runtime_.LastPreviewOptions().numbers_valid);
  Get("/api/zones/z1/crop?x=%201e-1&y=0&width=1&height=1");
  options = runtime_.LastPreviewOptions();
  EXPECT_TRUE(options.numbers_valid);
  EXPECT_DOUBLE_EQ(options.x, 0.1);
  EXPECT_FALSE(options.has_role);

  struct PerspectiveCase {
    const char* query;
    bool set;
    bool on;
  } perspective_cases[] = {
      {"perspective=true", true, true},  {"perspective=1", true, true},
      {"perspective=True", true, false}, {"perspective=", true, false},
      {"perspective=yes", true, false},  {"x=1", false, false},
  };
  for (const PerspectiveCase& c : perspective_cases) {
    Get(std::string("/api/zones/z1/processed-preview?") + c.query);
    options = runtime_.LastPreviewOptions();
    EXPECT_EQ(options.perspective_set, c.set) << c.query;
    EXPECT_EQ(options.perspective, c.on) << c.query;
  }

  Get("/api/zones/z1/crop?c0x=1&c0y=2&c1x=3&c1y=4&c2x=5&c2y=6&c3x=7&c3y=8");
  options = runtime_.LastPreviewOptions();
  EXPECT_TRUE(options.corners_complete);
  EXPECT_TRUE(options.numbers_valid);
  EXPECT_DOUBLE_EQ(options.corner_x[3], 7);
  EXPECT_DOUBLE_EQ(options.corner_y[2], 6);

  // A lone coordinate is not read: corner 2 stays 0 and the bad number is never looked at.
  Get("/api/zones/z1/crop?c0x=1&c0y=2&c1x=3&c1y=4&c2x=bad&c3x=7&c3y=8");
  options = runtime_.LastPreviewOptions();
  EXPECT_FALSE(options.corners_complete);
  EXPECT_TRUE(options.numbers_valid);
  EXPECT_DOUBLE_EQ(options.corner_x[2], 0);
  EXPECT_DOUBLE_EQ(options.corner_x[3], 7);
  Get("/api/zones/z1/crop?c1x=3&c1y=nan");
  EXPECT_FALSE(runtime_.LastPreviewOptions().numbers_valid);
}

TEST_F(PreviewsTest, ZonePreviewsAreNotCachedOnlyWhenTheySucceed) {
  runtime_.reply = {200, "jpeg", "image/jpeg"};
  const HttpReply ok = Get("/api/zones/z1/crop");
  EXPECT_EQ(ok.body, "jpeg");
  EXPECT_EQ(ok.Header("Content-Type"), "image/jpeg");
  EXPECT_EQ(ok.Header("Cache-Control"), "no-store");
  for (int status : {404, 422}) {
    runtime_.reply = MakeErrorResponse(status, "Zone not found");
    const HttpReply failed = Get("/api/zones/z1/processed-preview");
    EXPECT_EQ(failed.status, status);
    EXPECT_EQ(failed.HeaderCount("Cache-Control"), 0u);
  }
}

TEST_F(PreviewsTest, SourcePreviewsWaitWithHtmlAndAreNeverCached) {
  runtime_.reply = {503, "Waiting for source...", "text/html; charset=utf-8"};
  const HttpReply waiting = Get("/preview");
  EXPECT_EQ(waiting.status, 503);
  EXPECT_EQ(waiting.Header("Cache-Control"), "no-store");
  runtime_.reply = {200, "jpeg-bytes", "image/jpeg"};
  const HttpReply picture = Get("/preview/working");
  EXPECT_EQ(picture.body, "jpeg-bytes");
  EXPECT_EQ(picture.Header("Cache-Control"), "no-store");

  server_->SetRuntime(nullptr);
  for (const auto& [target, text] :
       {std::pair<const char*, const char*>{"/preview", "Waiting for source..."},
        {"/preview/working", "Waiting for working frame..."}}) {
    const HttpReply none = Get(target);
    EXPECT_EQ(none.status, 503);
    EXPECT_EQ(none.body, text);
    EXPECT_EQ(none.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(none.HeaderCount("Cache-Control"), 0u);
    ExpectSecurityHeaders(none);
  }
}

TEST_F(PreviewsTest, ExampleStillsComeFromTheUiRootWithoutARuntime) {
  server_->SetRuntime(nullptr);
  const HttpReply poster = Get("/api/sources/example/example-1/image");
  EXPECT_EQ(poster.status, 200);
  EXPECT_EQ(poster.body, "\xff\xd8poster-jpeg");
  EXPECT_EQ(poster.Header("Content-Type"), "image/jpeg");
  EXPECT_EQ(poster.Header("Cache-Control"), "public, max-age=86400");
  const HttpReply missing = Get("/api/sources/example/example-2/image");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "{\"detail\":\"Not Found\"}");
  const HttpReply unknown = Get("/api/sources/example/Example-1/image");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, "{\"detail\":\"Unknown Example source id\"}");
}

}  // namespace
}  // namespace tessvark::testing
