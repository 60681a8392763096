#include "ocr/possession.h"

#include <gtest/gtest.h>

namespace tessvark {
namespace {

// A 10 by 10 lamp picture with the given number of bright pixels.
cv::Mat Lamp(int bright_pixels) {
  cv::Mat picture(10, 10, CV_8UC3, cv::Scalar::all(20));
  for (int i = 0; i < bright_pixels; ++i) picture.at<cv::Vec3b>(i / 10, i % 10) = cv::Vec3b(200, 200, 200);
  return picture;
}

using Decision = std::optional<PossessionDecision>;
const Decision kHome = PossessionDecision{1, 0};
const Decision kGuest = PossessionDecision{0, 1};

TEST(OcrPossession, LumaWeighsTheChannels) {
  const cv::Mat luma = LumaImage(cv::Mat(1, 1, CV_8UC3, cv::Scalar(10, 20, 30)));
  ASSERT_EQ(luma.type(), CV_32FC1);
  EXPECT_FLOAT_EQ(luma.at<float>(0, 0), 20 * 0.587f + 10 * 0.114f + 30 * 0.299f);
  EXPECT_FLOAT_EQ(LumaImage(cv::Mat(1, 1, CV_8UC1, cv::Scalar(99))).at<float>(0, 0), 99.0f);
  EXPECT_TRUE(LumaImage(cv::Mat(2, 2, CV_8UC2)).empty());
  EXPECT_FALSE(FillRatio(cv::Mat()).has_value());
  EXPECT_DOUBLE_EQ(*FillRatio(Lamp(37)), 0.37);
  EXPECT_DOUBLE_EQ(*FillRatio(cv::Mat(2, 2, CV_8UC1, cv::Scalar(170))), 1.0);
}

TEST(OcrPossession, CompareDecidesOnlyOnAClearDifference) {
  const struct {
    int home;
    int guest;
    Decision expected;
  } cases[] = {
      {4, 4, std::nullopt},   // both dark
      {40, 36, std::nullopt}, // both lit
      {30, 27, std::nullopt}, // too close
      {6, 0, std::nullopt},   // too faint
      {20, 11, std::nullopt}, // not twice as bright
      {20, 9, kHome},         {0, 10, kGuest}, {50, 0, kHome}, {5, 40, kGuest},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComparePossession(Lamp(c.home), Lamp(c.guest)), c.expected) << c.home << " " << c.guest;
  }
  EXPECT_FALSE(ComparePossession(cv::Mat(), Lamp(50)).has_value());
}

TEST(OcrPossession, SmootherShowsADecisionAfterTwoAgreeingPasses) {
  const struct {
    Decision input;
    Decision shown;
  } steps[] = {
      {kHome, std::nullopt},        // the first decision needs a second pass
      {kHome, kHome},
      {std::nullopt, kHome},        // one undecided pass keeps it
      {std::nullopt, std::nullopt}, // two clear it
      {kHome, std::nullopt},
      {kHome, kHome},
      {kGuest, kHome},
      {kGuest, kGuest},
      {kHome, kGuest},              // a one-pass flicker does not show
      {kGuest, kGuest},
      {kHome, kGuest},
      {std::nullopt, kGuest},       // a new candidate, not the home flicker
      {kHome, kGuest},
  };
  PossessionSmoother smoother;
  int index = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(smoother.Update(step.input), step.shown) << "step " << index;
    ++index;
  }
  smoother.Reset();
  EXPECT_EQ(smoother.Update(kGuest), std::nullopt);
  EXPECT_EQ(smoother.Update(kGuest), kGuest);
}

}  // namespace
}  // namespace tessvark
