// The Example media as the program ships them: every zone of the factory defaults, cut from the
// picture straightened by the profile's source geometry, reads what was drawn there.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

#include "core/json_value.h"
#include "core/text.h"
#include "ocr/analysis_core.h"
#include "ocr/possession.h"
#include "ocr/zone_geometry.h"
#include "sources/ffmpeg_video_decoder.h"
#include "tools/example_media/example_scenes.h"

namespace tessvark {
namespace {

const std::string kFolder = std::string(TESSVARK_SOURCE_DIR) + "/resources/ui/assets/example";

JsonValue ReadFactoryDefaults() {
  std::ifstream file(kFolder + "/factory-defaults.json", std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return ParseJson(text.str());
}

const JsonValue* FindProfile(const JsonValue& document, const std::string& source_id) {
  const JsonValue* profiles = document.FindMember("profiles");
  if (profiles == nullptr) return nullptr;
  for (const JsonValue& profile : profiles->items) {
    const JsonValue* id = profile.FindMember("source_id");
    const JsonValue* type = profile.FindMember("source_type");
    if (id && type && id->text == source_id && type->text == "example") return &profile;
  }
  return nullptr;
}

SourceGeometry GeometryOf(const JsonValue& profile) {
  const JsonValue& points = profile.At("geometry").At("points");
  const auto point = [&points](const char* name) {
    return GeometryPoint{points.At(name).At("x").number, points.At(name).At("y").number};
  };
  return SourceGeometry{point("top_left"), point("top_right"), point("bottom_right"), point("bottom_left")};
}

std::string Trimmed(const std::string& text) { return std::string(TrimAsciiWhitespace(text)); }

// Reads every zone of the profile on the picture and compares it with the drawn truth.
void ExpectZonesRead(const JsonValue& profile, const cv::Mat& picture, const std::vector<FieldTruth>& truths) {
  ASSERT_FALSE(picture.empty());
  std::string error;
  const cv::Mat working = WarpSourceFrame(picture, GeometryOf(profile), &error);
  ASSERT_FALSE(working.empty()) << error;
  std::map<std::string, std::string> truth_of;
  for (const FieldTruth& truth : truths) truth_of[truth.name] = truth.text;

  const std::vector<JsonValue>& zones = profile.At("zones").items;
  ASSERT_EQ(zones.size(), truths.size()) << "one zone per drawn field";
  std::map<std::string, cv::Mat> lamps;
  for (const JsonValue& stored : zones) {
    AnalysisZone zone;
    zone.id = stored.At("id").text;
    zone.role = stored.At("role").text;
    zone.x = stored.At("x").number;
    zone.y = stored.At("y").number;
    zone.width = stored.At("width").number;
    zone.height = stored.At("height").number;
    SCOPED_TRACE(zone.role);
    ASSERT_EQ(truth_of.count(zone.role), 1u);
    const std::string expected = Trimmed(truth_of[zone.role]);
    const ZoneImage cut = PrepareZoneImage(working, zone);
    ASSERT_FALSE(cut.failed) << cut.error;
    if (zone.role == "home_possession" || zone.role == "guest_possession") {
      lamps[zone.role] = cut.image;
      continue;
    }
    const StateValue value = ReadZoneValue(cut.image, zone).value;
    if (expected.empty()) {
      EXPECT_EQ(value.kind, StateKind::kNull) << "a dark field reads nothing";
    } else if (value.kind == StateKind::kInt) {
      EXPECT_EQ(std::to_string(value.int_value), expected);
    } else {
      EXPECT_EQ(value.kind, StateKind::kString);
      EXPECT_EQ(Trimmed(value.text), expected);
    }
  }
  if (!lamps.empty()) {
    const auto decision = ComparePossession(lamps["home_possession"], lamps["guest_possession"]);
    ASSERT_TRUE(decision.has_value()) << "the lit lamp is told apart from the dark one";
    EXPECT_EQ(std::to_string(decision->first), truth_of["home_possession"]);
    EXPECT_EQ(std::to_string(decision->second), truth_of["guest_possession"]);
  }
}

class ExampleMedia : public ::testing::Test {
 protected:
  void SetUp() override { defaults_ = ReadFactoryDefaults(); }
  void OpenClip() {
    decoder_ = MakeFfmpegVideoDecoder();
    std::string error;
    ASSERT_TRUE(decoder_->Open(kFolder + "/3.mp4", error)) << error;
  }

  JsonValue defaults_;
  std::unique_ptr<VideoDecoder> decoder_;
};

TEST_F(ExampleMedia, VideoZonesReadTheFirstPictureOfTheClip) {
  const JsonValue* profile = FindProfile(defaults_, "example-1");
  ASSERT_NE(profile, nullptr);
  ASSERT_NO_FATAL_FAILURE(OpenClip());
  VideoDecoder* decoder = decoder_.get();
  std::string error;
  EXPECT_EQ(decoder->CodecName(), "H.264");
  EXPECT_EQ(decoder->Width(), kExampleWidth);
  EXPECT_EQ(decoder->Height(), kExampleHeight);
  EXPECT_DOUBLE_EQ(decoder->FramesPerSecond(), kExampleFps);
  EXPECT_EQ(decoder->FrameCount(), kExampleVideoFrames);
  cv::Mat first;
  double pts = -1.0;
  ASSERT_TRUE(decoder->ReadFrame(first, pts, error)) << error;
  EXPECT_EQ(pts, 0.0);
  ExpectZonesRead(*profile, first, RenderHockeyScene(0).fields);

  const cv::Mat poster = cv::imread(kFolder + "/3-poster.jpg", cv::IMREAD_COLOR);
  ASSERT_EQ(poster.size(), first.size());
  EXPECT_LT(cv::norm(poster, first, cv::NORM_L1) / static_cast<double>(first.total() * 3), 3.0)
      << "the poster is the clip's first picture";
}

TEST_F(ExampleMedia, VideoZonesFollowTheBoardThroughTheClip) {
  const JsonValue* profile = FindProfile(defaults_, "example-1");
  ASSERT_NE(profile, nullptr);
  ASSERT_NO_FATAL_FAILURE(OpenClip());
  std::string error;
  // Pictures in the middle of a second, after a goal, a period change and a new penalty.
  const int wanted[] = {2 * kExampleFps + 12, 7 * kExampleFps + 12, 13 * kExampleFps + 12};
  cv::Mat picture;
  double pts = 0.0;
  int index = 0;
  for (const int frame : wanted) {
    while (index <= frame) {
      ASSERT_TRUE(decoder_->ReadFrame(picture, pts, error)) << error;
      ++index;
    }
    SCOPED_TRACE(frame);
    ExpectZonesRead(*profile, picture, RenderHockeyScene(frame).fields);
  }
}

TEST_F(ExampleMedia, StillZonesReadTheFootballBoard) {
  const JsonValue* profile = FindProfile(defaults_, "example-2");
  ASSERT_NE(profile, nullptr);
  const cv::Mat still = cv::imread(kFolder + "/1.jpg", cv::IMREAD_COLOR);
  ASSERT_EQ(still.cols, kExampleWidth);
  ASSERT_EQ(still.rows, kExampleHeight);
  ExpectZonesRead(*profile, still, RenderFootballScene().fields);
}

}  // namespace
}  // namespace tessvark
