#include "ocr/clock_layout.h"

#include <gtest/gtest.h>

#include "rendered_zone.h"

namespace tessvark {
namespace {

SeparatorBlob Blob(float centre_x, float centre_y, float relative_y, float mass, float weight = 10.0f) {
  SeparatorBlob blob;
  blob.centre_x = centre_x;
  blob.centre_y = centre_y;
  blob.relative_y = relative_y;
  blob.mass = mass;
  blob.weight = weight;
  blob.width = 4.0f;
  blob.height = 5;
  return blob;
}

TEST(OcrClockLayout, EmptyOrDarkZoneIsNotDetected) {
  EXPECT_FALSE(DetectClockLayout(cv::Mat()).detected);
  EXPECT_FALSE(DetectClockLayout(cv::Mat(40, 120, CV_8UC3, cv::Scalar::all(20))).detected);
}

TEST(OcrClockLayout, RenderedColonAndPointAreTold) {
  const struct {
    const char* text;
    int height;
    const char* separator;
    const char* mode;
  } cases[] = {
      {"12:34", 40, ":", "minutes"}, {" 9:05", 80, ":", "minutes"}, {"59.3 ", 40, ".", "tenths"},
      {"07.1 ", 120, ".", "tenths"},
  };
  for (const auto& c : cases) {
    const cv::Mat zone = RenderedFieldZone(SevenSegmentField(c.text, c.height), kDarkBoard);
    const ClockLayoutDetection d = DetectClockLayout(zone);
    ASSERT_TRUE(d.detected) << c.text;
    EXPECT_EQ(d.separator, c.separator) << c.text;
    EXPECT_EQ(d.mode, c.mode) << c.text;
    EXPECT_GE(d.confidence, 0.65);
    EXPECT_LE(d.confidence, 1.0);
    // Drawn symmetric, the separator sits in the middle of the zone.
    EXPECT_NEAR(d.separator_x, zone.cols / 2.0, zone.cols * 0.02) << c.text;
  }
}

TEST(OcrClockLayout, SearchWindowSurroundsTheNominalSeparator) {
  const SeparatorSearchWindowResult w = SeparatorSearchWindow(100, 40);
  EXPECT_EQ(w.nominal_left, 47);
  EXPECT_EQ(w.nominal_right, 52);
  EXPECT_EQ(w.strip_width, 6);
  EXPECT_EQ(w.search_left, 45);  // margin floor(0.35 * 6) = 2
  EXPECT_EQ(w.search_right, 54);
}

TEST(OcrClockLayout, PercentilesInterpolateBetweenRanks) {
  EXPECT_EQ(Percentile({}, 50), 0.0);
  EXPECT_EQ(Percentile({7.0}, 90), 7.0);
  EXPECT_DOUBLE_EQ(Percentile({4, 1, 3, 2}, 50), 2.5);
  EXPECT_DOUBLE_EQ(Percentile({0, 10}, 94), 9.4);
  EXPECT_DOUBLE_EQ(WeightedPercentile({3, 1, 2}, {1, 1, 2}, 0.5), 2.0);
  EXPECT_DOUBLE_EQ(WeightedPercentile({3, 1, 2}, {1, 1, 2}, 0.95), 3.0);
  EXPECT_EQ(WeightedPercentile({3, 1}, {0, 0}, 0.5), 0.0);
  EXPECT_EQ(WeightedPercentile({}, {}, 0.5), 0.0);
}

TEST(OcrClockLayout, ThinBandAtTheStripEdgeIsNoBlob) {
  cv::Mat combined = cv::Mat::zeros(100, 6, CV_32F);
  combined.rowRange(0, 4).setTo(1.0f);  // touches the top, at most 8 % of the height
  combined.rowRange(40, 51).setTo(1.0f);
  const std::vector<SeparatorBlob> blobs = ExtractSeparatorBlobs(combined, combined, combined);
  ASSERT_EQ(blobs.size(), 1u);
  EXPECT_GT(blobs[0].top, 30);
  EXPECT_NEAR(blobs[0].centre_y, 45.0f, 1e-3);
  EXPECT_NEAR(blobs[0].centre_x, 2.5f, 1e-3);
  EXPECT_FLOAT_EQ(blobs[0].width, 6.0f);
  EXPECT_FLOAT_EQ(blobs[0].mass, 1.0f);

  const cv::Mat flat(60, 6, CV_32F, cv::Scalar(0.5));
  EXPECT_TRUE(ExtractSeparatorBlobs(flat, flat, flat).empty());  // nothing rises above the floor
}

TEST(OcrClockLayout, TwoStackedMarksMakeAColonAndOneLowMarkAPoint) {
  const SeparatorMarks colon =
      FindSeparatorMarks({Blob(3, 13, 0.33f, 1.0f), Blob(3, 27, 0.67f, 1.0f)}, 6, 40);
  ASSERT_TRUE(colon.colon_found);
  EXPECT_GT(colon.colon_score, 0.9);
  EXPECT_FLOAT_EQ(colon.upper.centre_y, 13.0f);
  ASSERT_TRUE(colon.point_found);
  EXPECT_LT(colon.point_score, colon.colon_score);  // the upper mark weighs against a point

  const SeparatorMarks point = FindSeparatorMarks({Blob(3, 36, 0.9f, 0.8f)}, 6, 40);
  EXPECT_FALSE(point.colon_found);
  ASSERT_TRUE(point.point_found);
  EXPECT_NEAR(point.point_score, (0.35 + 0.25 + 0.4) * 0.8, 1e-6);
}

TEST(OcrClockLayout, MarkOutsideTheNominalSlotHasNoPlacement) {
  SeparatorStripEvaluation ev;
  ev.strip_left = 47;
  ev.strip_right = 52;
  const SeparatorHypothesis centred = ScoreSeparatorHypothesis(ev, ":", 2.5, 0.9, 47, 52);
  EXPECT_DOUBLE_EQ(centred.placement_fit, 1.0);
  EXPECT_DOUBLE_EQ(centred.final_score, 0.9);
  // 15 % of the six-pixel slot is 0.9 pixels: 52 + 0.9 is the last accepted column.
  EXPECT_GT(ScoreSeparatorHypothesis(ev, ".", 52.85 - 47, 0.9, 47, 52).placement_fit, 0.0);
  const SeparatorHypothesis outside = ScoreSeparatorHypothesis(ev, ".", 52.95 - 47, 0.9, 47, 52);
  EXPECT_EQ(outside.placement_fit, 0.0);
  EXPECT_EQ(outside.final_score, 0.0);
}

TEST(OcrClockLayout, LitMaskDropsSpecksAndKeepsMarks) {
  cv::Mat strip(40, 8, CV_8UC3, cv::Scalar::all(15));
  strip(cv::Rect(2, 10, 4, 5)).setTo(cv::Scalar(40, 190, 255));
  const cv::Mat mask = LitSegmentMask(strip);
  EXPECT_EQ(mask.at<uchar>(12, 4), 255);
  EXPECT_EQ(mask.at<uchar>(30, 4), 0);
  cv::Mat specks = cv::Mat::zeros(10, 10, CV_8U);
  specks.at<uchar>(2, 2) = 255;
  specks(cv::Rect(5, 5, 2, 2)).setTo(255);
  const cv::Mat kept = RemoveSmallBlobs(specks, 3);
  EXPECT_EQ(kept.at<uchar>(2, 2), 0);
  EXPECT_EQ(cv::countNonZero(kept), 4);
}

}  // namespace
}  // namespace tessvark
