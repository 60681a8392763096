// Zone previews through the real server on loopback: the cut, the prepared picture and the digit
// slots of stored zones and of a zone still being drawn, on the Example still picture.

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "ocr/zone_geometry.h"
#include "zone_api_client.h"

namespace tessvark {
namespace {

using testing::ApiReply;
using testing::DetailJson;

cv::Mat Decode(const ApiReply& reply, int flags = cv::IMREAD_UNCHANGED) {
  return cv::imdecode(std::vector<unsigned char>(reply.body.begin(), reply.body.end()), flags);
}

class ZonePreviewApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(run_.Start());
    working_ = Decode(api().Get("/preview/working"), cv::IMREAD_COLOR).size();
    ASSERT_FALSE(working_.empty());
    zones_ = testing::ListedZones(api());
  }
  testing::ZoneApiClient& api() { return run_.api(); }

  // The size of the cut of a rectangle from the working image.
  cv::Size CutSize(double x, double y, double width, double height) const {
    const PixelBounds b = ZoneRectToPixels(x, y, width, height, working_.width, working_.height);
    return {b.right - b.left, b.bottom - b.top};
  }
  cv::Size CutSize(const std::string& id) const {
    const JsonValue& zone = *testing::FindZone(zones_, id);
    return CutSize(zone.At("x").number, zone.At("y").number, zone.At("width").number,
                   zone.At("height").number);
  }

  testing::ExampleStillSession run_{"zone-preview"};
  cv::Size working_;
  JsonValue zones_;
};

TEST(ZonePreviewApiWaiting, WithoutWorkingImageEveryKindWaits) {
  testing::ExampleStillSession run("zone-preview-none");
  ASSERT_TRUE(run.Start(""));
  for (const char* path : {"/api/zones/any/crop", "/api/zones/any/processed-preview",
                           "/api/zones/any/slot-preview/0"}) {
    SCOPED_TRACE(path);
    const ApiReply reply = run.api().Get(path);
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, DetailJson("No working frame available"));
  }
  EXPECT_EQ(run.session().GetZonePreview("any", "outline", -1, {}).body, DetailJson("Not Found"));
}

TEST_F(ZonePreviewApiTest, StoredZoneCutPreparedAndSlots) {
  const ApiReply crop = api().Get("/api/zones/home_score/crop");
  ASSERT_EQ(crop.status, 200) << crop.body;
  EXPECT_EQ(crop.content_type, "image/jpeg");
  const cv::Mat cut = Decode(crop);
  EXPECT_EQ(cut.size(), CutSize("home_score"));
  EXPECT_EQ(cut.channels(), 3);

  const ApiReply processed = api().Get("/api/zones/home_score/processed-preview");
  ASSERT_EQ(processed.status, 200) << processed.body;
  EXPECT_EQ(processed.content_type, "image/png");
  const cv::Mat prepared = Decode(processed);
  ASSERT_EQ(prepared.type(), CV_8UC1);
  EXPECT_EQ(prepared.size(), cut.size());
  EXPECT_EQ(cv::countNonZero((prepared != 0) & (prepared != 255)), 0) << "black and white only";
  EXPECT_GT(cv::countNonZero(prepared), 0) << "the digits are lit";

  struct Case {
    const char* zone;
    int slot;
    int status;
  };
  const Case cases[] = {{"home_score", 0, 200}, {"home_score", 1, 200}, {"home_score", 2, 404},
                        {"clock", 3, 200},      {"clock", 4, 404},      {"period", 0, 200},
                        {"period", 1, 404}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " slot " + std::to_string(c.slot));
    const ApiReply reply =
        api().Get("/api/zones/" + std::string(c.zone) + "/slot-preview/" + std::to_string(c.slot));
    EXPECT_EQ(reply.status, c.status);
    if (c.status != 200) {
      EXPECT_EQ(reply.body, DetailJson("Slot not found"));
      continue;
    }
    EXPECT_EQ(reply.content_type, "image/png");
    const cv::Mat slot = Decode(reply);
    const cv::Size zone = CutSize(c.zone);
    EXPECT_EQ(slot.rows, zone.height);
    EXPECT_GT(slot.cols, 0);
    EXPECT_LT(slot.cols, std::string(c.zone) == "period" ? zone.width + 1 : zone.width / 2 + 2);
  }
}

TEST_F(ZonePreviewApiTest, QueryGeometryAndZonesBeingDrawn) {
  const std::string y_and_height = "&y=0.1&height=0.2";
  const ApiReply clamped =
      api().Get("/api/zones/home_score/crop?x=0.9&width=0.5" + y_and_height);
  ASSERT_EQ(clamped.status, 200) << clamped.body;
  EXPECT_EQ(Decode(clamped).size(), CutSize(0.9, 0.1, 0.1, 0.2)) << "the width ends at the edge";

  const ApiReply drawn = api().Get(
      "/api/zones/drawing/slot-preview/1?role=guest_score&x=0.2&width=0.3" + y_and_height);
  ASSERT_EQ(drawn.status, 200) << drawn.body;
  EXPECT_EQ(Decode(drawn).rows, CutSize(0.2, 0.1, 0.3, 0.2).height);

  const std::vector<testing::Refusal> cases = {
      {"/api/zones/home_score/crop?x=1.0&width=0.5" + y_and_height, 404, "No preview frame"},
      {"/api/zones/drawing/crop?role=guest_score&x=1.0&width=0.5" + y_and_height, 404,
       "Zone not found"},
      {"/api/zones/drawing/crop?x=0.2&width=0.3" + y_and_height, 404, "Zone not found"},
      {"/api/zones/drawing/crop?role=guest_score", 404, "Zone not found"},
      {"/api/zones/drawing/crop?role=goalie&x=0.2&width=0.3" + y_and_height, 404,
       "Zone not found"},
      {"/api/zones/home_score/crop?x=0.2&y=0.1", 422,
       "Preview geometry must be four finite numbers"},
      {"/api/zones/home_score/crop?x=0.2&width=abc" + y_and_height, 422,
       "Preview geometry must be four finite numbers"},
  };
  testing::ExpectRefusals(cases, [&](const std::string& path) { return api().Get(path); });
}

TEST_F(ZonePreviewApiTest, PerspectiveFromTheQueryOrTheZone) {
  const std::string rect = "x=0.1&y=0.1&width=0.3&height=0.3";
  const std::string square = "&c0x=0.1&c0y=0.1&c1x=0.4&c1y=0.12&c2x=0.4&c2y=0.4&c3x=0.1&c3y=0.38";
  const std::string crossed = "&c0x=0.4&c0y=0.1&c1x=0.1&c1y=0.1&c2x=0.1&c2y=0.4&c3x=0.4&c3y=0.4";
  const ApiReply straightened =
      api().Get("/api/zones/home_score/crop?perspective=true&" + rect + square);
  ASSERT_EQ(straightened.status, 200) << straightened.body;
  EXPECT_FALSE(Decode(straightened).empty());

  const std::string path = "/api/zones/home_score/processed-preview?";
  testing::ExpectRefusals(
      {{path + "perspective=true&" + rect, 422, "Perspective preview requires four corners"},
       {path + "perspective=1&c0x=0.1&c0y=abc" + square.substr(square.find("&c1x")), 422,
        "Perspective preview requires four corners"},
       {path + "perspective=true&" + rect + crossed, 422,
        "Perspective corners are reversed or crossed"}},
      [&](const std::string& request) { return api().Get(request); });

  // A stored zone with an unusable perspective shows only with the correction turned off.
  const ApiReply updated = api().Put(
      "/api/zones/home_score",
      R"({"x":0.1,"y":0.1,"width":0.3,"height":0.3,"perspective":{"enabled":true,"corners":[)"
      R"({"x":0.4,"y":0.1},{"x":0.1,"y":0.1},{"x":0.1,"y":0.4},{"x":0.4,"y":0.4}]}})");
  ASSERT_EQ(updated.status, 200) << updated.body;
  EXPECT_EQ(api().Get("/api/zones/home_score/crop").status, 422);
  const ApiReply plain = api().Get("/api/zones/home_score/crop?perspective=false");
  ASSERT_EQ(plain.status, 200) << plain.body;
  EXPECT_EQ(Decode(plain).size(), CutSize(0.1, 0.1, 0.3, 0.3));
}

}  // namespace
}  // namespace tessvark
