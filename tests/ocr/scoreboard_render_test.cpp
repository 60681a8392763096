#include "tools/render/scoreboard_render.h"

#include <algorithm>
#include <utility>

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

// The columns holding lit pixels in rows [top, bottom) of a picture.
std::pair<int, int> InkColumns(const cv::Mat& lit, int top, int bottom) {
  int first = lit.cols;
  int last = -1;
  for (int y = top; y < bottom; ++y) {
    for (int x = 0; x < lit.cols; ++x) {
      if (lit.at<uchar>(y, x) == 0) continue;
      first = std::min(first, x);
      last = std::max(last, x);
    }
  }
  return {first, last};
}

// How many separate runs of lit pixels a column holds.
int RunsInColumn(const cv::Mat& lit, int x) {
  int runs = 0;
  for (int y = 0; y < lit.rows; ++y) {
    if (lit.at<uchar>(y, x) != 0 && (y == 0 || lit.at<uchar>(y - 1, x) == 0)) ++runs;
  }
  return runs;
}

TEST(OcrScoreboardRender, TruthRectanglesHoldAllTheInk) {
  for (const auto& [slant, led_pitch] : {std::pair{0.0, 0.0}, std::pair{0.2, 0.0}, std::pair{0.0, 0.15}}) {
    BoardDescription description = TwoFieldBoard();
    for (BoardField& field : description.fields) {
      field.slant = slant;
      field.led_pitch = led_pitch;
    }
    const RenderedBoard board = RenderScoreboard(description);
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
  EXPECT_EQ(cv::countNonZero(outside), 0) << slant << " " << led_pitch;
  EXPECT_EQ(inside_total, cv::countNonZero(lit));
  }
}

TEST(OcrScoreboardRender, SlantLeansTheTopOfACharacterRight) {
  BoardField field;
  field.text = "1";
  field.digit_height = 100;
  field.slant = 0.2;
  const RenderedBoard leaning = RenderScoreboard(SingleFieldBoard(field, cv::Scalar::all(0)));
  field.slant = 0.0;
  const RenderedBoard upright = RenderScoreboard(SingleFieldBoard(field, cv::Scalar::all(0)));
  // The digit stands in rows 100..199 of both pictures.
  const cv::Mat lean = Lit(leaning.image);
  const cv::Mat stand = Lit(upright.image);
  EXPECT_NEAR(InkColumns(lean, 105, 115).first - InkColumns(stand, 105, 115).first, 0.2 * 90, 3.0);
  EXPECT_NEAR(InkColumns(lean, 185, 195).first - InkColumns(stand, 185, 195).first, 0.2 * 10, 3.0);
  const double upright_width = FieldTextWidth(field);
  field.slant = 0.2;
  EXPECT_DOUBLE_EQ(FieldTextWidth(field), upright_width + 20.0);
}

TEST(OcrScoreboardRender, LedSegmentsAreRowsOfSeparateDots) {
  BoardField field;
  field.text = "1";
  field.digit_height = 100;
  field.thickness = 0.1;
  const cv::Mat solid = Lit(RenderScoreboard(SingleFieldBoard(field, cv::Scalar::all(0))).image);
  field.led_pitch = 0.15;
  const cv::Mat dotted = Lit(RenderScoreboard(SingleFieldBoard(field, cv::Scalar::all(0))).image);
  // The column through the middle of the 1's strokes: two segments, or three LEDs each.
  const int x = (InkColumns(solid, 100, 200).first + InkColumns(solid, 100, 200).second) / 2;
  EXPECT_EQ(RunsInColumn(solid, x), 2);
  EXPECT_EQ(RunsInColumn(dotted, x), 6);
  EXPECT_LT(cv::countNonZero(dotted), cv::countNonZero(solid));
}

TEST(OcrScoreboardRender, CellGapSpacesTheCharacters) {
  BoardField field;
  field.text = "88";
  field.digit_height = 50;
  field.cell_gap = 0.56;
  EXPECT_DOUBLE_EQ(FieldTextWidth(field), (0.56 * 3) * 50);
  const cv::Mat lit = Lit(RenderScoreboard(SingleFieldBoard(field, cv::Scalar::all(0))).image);
  // Between the two eights (columns 50+28 .. 50+56) lies an unlit band as wide as a digit.
  EXPECT_EQ(cv::countNonZero(lit.colRange(50 + 30, 50 + 54)), 0);
  EXPECT_GT(cv::countNonZero(lit.colRange(50 + 56, 50 + 84)), 0);
}

TEST(OcrScoreboardRender, GainDimsTheWholeFrame) {
  BoardDescription board;
  board.width = 40;
  board.height = 30;
  board.background = cv::Scalar(100, 150, 200);
  BoardPerturbation p;
  p.gain = 0.5;
  p.brightness = 10.0;
  const RenderedBoard dim = RenderScoreboard(board, p);
  EXPECT_EQ(dim.image.at<cv::Vec3b>(15, 20), cv::Vec3b(60, 85, 110));
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
