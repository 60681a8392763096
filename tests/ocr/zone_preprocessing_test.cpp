#include "ocr/zone_preprocessing.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tessvark {
namespace {

cv::Mat Uniform(int value, int channels = 1) {
  return cv::Mat(20, 30, CV_8UC(channels), cv::Scalar::all(value));
}

// Share of white pixels of a prepared picture.
double WhiteShare(const cv::Mat& prepared) {
  return static_cast<double>(cv::countNonZero(prepared)) / static_cast<double>(prepared.total());
}

TEST(OcrZonePreprocessing, ClampingBringsEveryOptionIntoRange) {
  ZoneProcessing wild;
  wild.threshold = 300;
  wild.contrast = 10.0;
  wild.brightness = -400;
  wild.gamma = 0.1;
  wild.rotation = 45.0;
  wild.blur = 20;
  wild.morph_size = 12;
  wild.morphology = "dilate";
  wild.binarize = false;
  wild.grayscale = false;
  wild.invert = true;
  const ZoneProcessing c = ClampZoneProcessing(wild);
  EXPECT_EQ(c.threshold, 255);
  EXPECT_DOUBLE_EQ(c.contrast, 4.0);
  EXPECT_EQ(c.brightness, -150);
  EXPECT_DOUBLE_EQ(c.gamma, 0.2);
  EXPECT_DOUBLE_EQ(c.rotation, 15.0);
  EXPECT_EQ(c.blur, 15);
  EXPECT_EQ(c.morph_size, 1);
  EXPECT_EQ(c.morphology, "none");
  EXPECT_TRUE(c.binarize);
  EXPECT_FALSE(c.grayscale);
  EXPECT_TRUE(c.invert);

  ZoneProcessing low;
  low.threshold = -5;
  low.contrast = 0.0;
  low.brightness = 400;
  low.rotation = -90.0;
  low.blur = -1;
  low.morphology = "sharpen";
  const ZoneProcessing l = ClampZoneProcessing(low);
  EXPECT_EQ(l.threshold, 0);
  EXPECT_DOUBLE_EQ(l.contrast, 0.2);
  EXPECT_EQ(l.brightness, 150);
  EXPECT_DOUBLE_EQ(l.rotation, -15.0);
  EXPECT_EQ(l.blur, 0);
  EXPECT_EQ(l.morphology, "none");
}

TEST(OcrZonePreprocessing, ProcessingForReaderFallsBackToDefaults) {
  const ZoneProcessing d = ProcessingForReader(std::nullopt);
  EXPECT_EQ(d.threshold, 150);
  EXPECT_DOUBLE_EQ(d.contrast, 1.0);
  EXPECT_FALSE(d.invert);
  ZoneProcessing own;
  own.threshold = 77;
  EXPECT_EQ(ProcessingForReader(own).threshold, 77);
}

TEST(OcrZonePreprocessing, ThresholdIsStrictlyGreaterThan) {
  ZoneProcessing options;
  const struct {
    int threshold;
    bool invert;
    double white;
  } cases[] = {{150, false, 0.0}, {149, false, 1.0}, {150, true, 1.0}};
  for (const auto& c : cases) {
    options.threshold = c.threshold;
    options.invert = c.invert;
    const cv::Mat out = PreprocessZoneImage(Uniform(150), options);
    ASSERT_EQ(out.type(), CV_8UC1);
    EXPECT_EQ(out.size(), cv::Size(30, 20));
    EXPECT_DOUBLE_EQ(WhiteShare(out), c.white) << c.threshold << " " << c.invert;
  }
}

TEST(OcrZonePreprocessing, ColourIsTurnedGreyAndGrayscaleFlagChangesNothing) {
  cv::Mat picture(20, 30, CV_8UC3, cv::Scalar(0, 200, 255));  // amber: grey about 193
  ZoneProcessing options;
  const cv::Mat a = PreprocessZoneImage(picture, options);
  options.grayscale = false;
  const cv::Mat b = PreprocessZoneImage(picture, options);
  EXPECT_DOUBLE_EQ(WhiteShare(a), 1.0);
  EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
  EXPECT_EQ(picture.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 200, 255));  // input untouched
}

TEST(OcrZonePreprocessing, ContrastBrightnessAndGammaShiftTheLevels) {
  ZoneProcessing options;
  options.contrast = 2.0;  // 100 * 2 = 200 > 150
  EXPECT_DOUBLE_EQ(WhiteShare(PreprocessZoneImage(Uniform(100), options)), 1.0);
  options = ZoneProcessing{};
  options.brightness = 60;  // 100 + 60 = 160
  EXPECT_DOUBLE_EQ(WhiteShare(PreprocessZoneImage(Uniform(100), options)), 1.0);
  options = ZoneProcessing{};
  options.gamma = 2.0;  // 255 * sqrt(100 / 255) = 159.7
  EXPECT_DOUBLE_EQ(WhiteShare(PreprocessZoneImage(Uniform(100), options)), 1.0);
  options.gamma = 1.0;
  EXPECT_DOUBLE_EQ(WhiteShare(PreprocessZoneImage(Uniform(100), options)), 0.0);
}

TEST(OcrZonePreprocessing, RotationBelowAThousandthOfADegreeIsSkipped) {
  ZoneProcessing options;
  options.threshold = 100;
  options.rotation = 0.0005;
  EXPECT_DOUBLE_EQ(WhiteShare(PreprocessZoneImage(Uniform(200), options)), 1.0);
  options.rotation = 5.0;  // the corners rotate in black
  const cv::Mat rotated = PreprocessZoneImage(Uniform(200), options);
  EXPECT_LT(WhiteShare(rotated), 1.0);
  EXPECT_EQ(rotated.at<uchar>(0, 0), 0);
  EXPECT_EQ(rotated.at<uchar>(10, 15), 255);
}

TEST(OcrZonePreprocessing, EvenBlurUsesTheNextOddKernel) {
  // A single bright pixel spreads over the kernel: 5 by 5 for blur 4 and blur 5 alike.
  cv::Mat dot = cv::Mat::zeros(21, 21, CV_8UC1);
  dot.at<uchar>(10, 10) = 255;
  ZoneProcessing options;
  options.threshold = 0;
  options.blur = 4;
  const cv::Mat four = PreprocessZoneImage(dot, options);
  options.blur = 5;
  const cv::Mat five = PreprocessZoneImage(dot, options);
  EXPECT_EQ(cv::countNonZero(four), 25);
  EXPECT_EQ(cv::norm(four, five, cv::NORM_INF), 0.0);
  options.blur = 0;
  EXPECT_EQ(cv::countNonZero(PreprocessZoneImage(dot, options)), 1);
}

TEST(OcrZonePreprocessing, EmptyPictureGivesEmptyResult) {
  EXPECT_TRUE(PreprocessZoneImage(cv::Mat(), ZoneProcessing{}).empty());
  EXPECT_TRUE(PrepareZone(cv::Mat(), ZoneProcessing{}).levels.empty());
}

// The grey levels behind the prepared picture: ink exactly where they reach the ink level, lit
// bright whether or not the picture is inverted.
TEST(OcrZonePreprocessing, LevelsAreWhatThePreparedPictureWasThresholdedFrom) {
  cv::Mat ramp(4, 256, CV_8UC1);
  for (int x = 0; x < 256; ++x) ramp.col(x).setTo(x);
  for (const bool invert : {false, true}) {
    ZoneProcessing options;
    options.threshold = 120;
    options.invert = invert;
    options.blur = 3;
    const PreparedZone prepared = PrepareZone(ramp, options);
    EXPECT_EQ(cv::norm(prepared.binary, PreprocessZoneImage(ramp, options), cv::NORM_INF), 0.0);
    EXPECT_EQ(prepared.ink_from, invert ? 135 : 121);
    cv::Mat ink;
    cv::compare(prepared.levels, prepared.ink_from, ink, cv::CMP_GE);
    EXPECT_EQ(cv::norm(ink, prepared.binary, cv::NORM_INF), 0.0) << invert;
    // Lit is bright: the dark end of the ramp is lit once inverted.
    EXPECT_EQ(prepared.levels.at<uchar>(0, 0) > prepared.levels.at<uchar>(0, 255), invert);
  }
}

// A first zone's estimate: a threshold between the digits and the board, and invert for a light
// board, told by the zone's edge even where dark digits fill most of the zone.
TEST(OcrZonePreprocessing, EstimateFindsTheThresholdAndTheBoardsSide) {
  cv::Mat dark(40, 60, CV_8UC1, cv::Scalar(20));
  dark(cv::Rect(10, 5, 30, 30)).setTo(110);  // red digits are about this grey
  std::optional<ZoneProcessing> estimated = EstimateZoneProcessing(dark);
  ASSERT_TRUE(estimated.has_value());
  EXPECT_EQ(estimated->threshold, 65);
  EXPECT_FALSE(estimated->invert);

  // Dark digits over 70 % of a light board's zone: its edge is board.
  cv::Mat light(40, 60, CV_8UC1, cv::Scalar(220));
  light(cv::Rect(4, 3, 52, 34)).setTo(30);
  light(cv::Rect(15, 12, 10, 6)).setTo(220);  // the insides of an 8
  light(cv::Rect(15, 23, 10, 6)).setTo(220);
  estimated = EstimateZoneProcessing(light);
  ASSERT_TRUE(estimated.has_value());
  EXPECT_TRUE(estimated->invert);
  // Where the edge does not tell (half board, half digits), the share of bright pixels does.
  cv::Mat halves(40, 60, CV_8UC1, cv::Scalar(220));
  halves(cv::Rect(0, 0, 24, 40)).setTo(30);
  estimated = EstimateZoneProcessing(halves);
  ASSERT_TRUE(estimated.has_value());
  EXPECT_TRUE(estimated->invert);

  // A 1 of small LEDs lights a hundredth of its zone, the glow of the unlit 8 around it a tenth:
  // the threshold stands between the glow and the lit LEDs.
  cv::Mat sparse(100, 100, CV_8UC1, cv::Scalar(20));
  sparse(cv::Rect(10, 10, 10, 100 - 20)).setTo(70);
  sparse(cv::Rect(50, 10, 1, 100 - 20)).setTo(200);
  sparse(cv::Rect(52, 10, 1, 20)).setTo(200);
  estimated = EstimateZoneProcessing(sparse);
  ASSERT_TRUE(estimated.has_value());
  EXPECT_GT(estimated->threshold, 70);
  EXPECT_LT(estimated->threshold, 200);

  EXPECT_FALSE(EstimateZoneProcessing(Uniform(120)).has_value());  // no contrast
  EXPECT_FALSE(EstimateZoneProcessing(cv::Mat(7, 60, CV_8UC1, cv::Scalar(0))).has_value());
}

}  // namespace
}  // namespace tessvark
