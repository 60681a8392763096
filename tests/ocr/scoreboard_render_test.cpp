#include "tools/render/scoreboard_render.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tessvark {
namespace {

BoardDescription TwoFieldBoard() {
  BoardDescription board;
  board.width = 320;
  board.height = 180;
  BoardField clock;
  clock.name = "clock";
  clock.text = "12:34";
  clock.x = 0.1;
  clock.y = 0.1;
  clock.digit_height = 40;
  BoardField score = clock;
  score.name = "home_score";
  score.text = " 9";
  score.y = 0.6;
  board.fields = {clock, score};
  board.lamps = {PossessionLampSpec{"home_possession", 0.8, 0.75, 16, true}};
  return board;
}

cv::Mat Lit(const cv::Mat& image) {
  cv::Mat grey;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  return grey > 100;
}

TEST(OcrScoreboardRender, TruthRectanglesHoldAllTheInk) {
  const RenderedBoard board = RenderScoreboard(TwoFieldBoard());
  ASSERT_EQ(board.fields.size(), 3u);
  EXPECT_EQ(board.fields[0].text, "12:34");
  EXPECT_EQ(board.fields[1].text, " 9");
  EXPECT_EQ(board.fields[2].text, "1");
  const cv::Mat lit = Lit(board.image);
  cv::Mat outside = lit.clone();
  int inside_total = 0;
  for (const FieldTruth& t : board.fields) {
    const cv::Rect r(cv::Point(static_cast<int>(t.x * 320), static_cast<int>(t.y * 180)),
                     cv::Point(static_cast<int>(std::ceil((t.x + t.width) * 320)),
                               static_cast<int>(std::ceil((t.y + t.height) * 180))));
    const int inside = cv::countNonZero(lit(r));
    EXPECT_GT(inside, 0) << t.name;
    inside_total += inside;
    outside(r).setTo(0);
  }
  EXPECT_EQ(cv::countNonZero(outside), 0);
  EXPECT_EQ(inside_total, cv::countNonZero(lit));
}

TEST(OcrScoreboardRender, PerturbationsAreRepeatableBySeed) {
  BoardPerturbation p;
  p.rotation_degrees = 2.0;
  p.perspective = 0.02;
  p.noise_sigma = 8.0;
  p.jpeg_quality = 85;
  p.seed = 7;
  const RenderedBoard a = RenderScoreboard(TwoFieldBoard(), p);
  const RenderedBoard b = RenderScoreboard(TwoFieldBoard(), p);
  EXPECT_EQ(cv::norm(a.image, b.image, cv::NORM_INF), 0.0);
  p.seed = 8;
  const RenderedBoard c = RenderScoreboard(TwoFieldBoard(), p);
  EXPECT_GT(cv::norm(a.image, c.image, cv::NORM_INF), 0.0);
  // The rectangles follow the warp but stay inside the picture.
  const RenderedBoard clean = RenderScoreboard(TwoFieldBoard());
  EXPECT_NE(a.fields[0].x, clean.fields[0].x);
  for (const FieldTruth& t : a.fields) {
    EXPECT_GE(t.x, 0.0);
    EXPECT_LE(t.x + t.width, 1.0 + 1e-9);
  }
}

TEST(OcrScoreboardRender, SingleFieldBoardLeavesADigitHeightAround) {
  BoardField field;
  field.text = "88";
  field.digit_height = 50;
  const BoardDescription board = SingleFieldBoard(field, cv::Scalar::all(0));
  EXPECT_EQ(board.height, 150);
  EXPECT_EQ(board.width, static_cast<int>(std::ceil(FieldTextWidth(field) + 100)));
  EXPECT_DOUBLE_EQ(FieldTextWidth(field), (0.56 * 2 + 0.18) * 50);
}

}  // namespace
}  // namespace tessvark
