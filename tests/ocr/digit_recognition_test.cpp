#include "ocr/digit_recognition.h"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <gtest/gtest.h>

namespace tessvark {
namespace {

DigitSlot WholeSlot(const cv::Mat& image) {
  DigitSlot slot;
  slot.kind = "digit";
  slot.right = image.cols - 1;
  slot.bottom = image.rows - 1;
  return slot;
}

void Fill(cv::Mat& mask, int left, int top, int right, int bottom, uchar value = 1) {
  mask(cv::Range(top, bottom + 1), cv::Range(left, right + 1)).setTo(value);
}

// A narrow vertical stroke in the middle of a 30 by 40 slot, as a lone "1" looks.
cv::Mat LoneStroke() {
  cv::Mat mask = cv::Mat::zeros(40, 30, CV_8U);
  Fill(mask, 13, 2, 16, 37);
  return mask;
}

TEST(OcrDigitRecognition, ZeroSizedPictureIsEmpty) {
  const DigitResult result = RecognizeDigit(cv::Mat(), DigitSlot{});
  EXPECT_EQ(result.status, "empty");
  EXPECT_DOUBLE_EQ(result.confidence, 1.0);
  EXPECT_FALSE(result.scored);
  EXPECT_FALSE(result.digit.has_value());
  EXPECT_TRUE(result.box_method.empty());
}

TEST(OcrDigitRecognition, EmptinessThresholdSitsAtTwoPointFourPercentInk) {
  const struct {
    int ink_pixels;
    const char* status;
  } cases[] = {{0, "empty"}, {24, "empty"}, {25, "unknown"}};
  for (const auto& c : cases) {
    cv::Mat image = cv::Mat::zeros(50, 20, CV_8U);  // 1000 pixels
    for (int i = 0; i < c.ink_pixels; ++i) image.at<uchar>(i / 5 + 10, i % 5 + 8) = 255;
    const DigitResult result = RecognizeDigit(image, WholeSlot(image));
    EXPECT_EQ(result.status, c.status) << c.ink_pixels;
    EXPECT_DOUBLE_EQ(result.ink_fraction, c.ink_pixels / 1000.0);
    EXPECT_EQ(result.slot_width, 20);
    EXPECT_EQ(result.slot_height, 50);
    if (c.ink_pixels == 24) {
      EXPECT_NEAR(result.confidence, 0.6, 1e-12);
    }
  }
}

TEST(OcrDigitRecognition, SlotBeyondThePictureOrReversedIsClampedAndSwapped) {
  cv::Mat image = cv::Mat::zeros(40, 60, CV_8U);
  Fill(image, 35, 2, 55, 37, 255);  // an 8 in the right half: a block with two dark counters
  Fill(image, 40, 7, 50, 16, 0);
  Fill(image, 40, 23, 50, 32, 0);
  DigitSlot normal;
  normal.left = 30;
  normal.right = 59;
  normal.bottom = 39;
  DigitSlot wild;
  wild.left = 500;
  wild.right = 30;
  wild.top = 90;
  wild.bottom = -4;
  const DigitResult a = RecognizeDigit(image, normal);
  const DigitResult b = RecognizeDigit(image, wild);
  EXPECT_EQ(a.status, "digit");
  EXPECT_EQ(a.digit, 8);
  EXPECT_EQ(b.digit, a.digit);
  EXPECT_EQ(b.slot_width, 30);
  EXPECT_EQ(b.slot_height, 40);
  EXPECT_EQ(b.box_left, a.box_left);
}

TEST(OcrDigitRecognition, SeveralChannelsCountAsInkWhenAnyIsSet) {
  cv::Mat image = cv::Mat::zeros(4, 4, CV_8UC3);
  image.at<cv::Vec3b>(1, 2) = cv::Vec3b(0, 0, 9);
  const cv::Mat mask = NormalizeSlotImage(image);
  EXPECT_EQ(mask.type(), CV_8UC1);
  EXPECT_EQ(mask.at<uchar>(1, 2), 1);
  EXPECT_EQ(cv::countNonZero(mask), 1);
}

TEST(OcrDigitRecognition, FullyLitBoxReadsEightWithFullConfidence) {
  const SegmentScores s = ScoreSegments(cv::Mat(40, 24, CV_8U, cv::Scalar(1)));
  EXPECT_EQ(s.digit, 8);
  EXPECT_DOUBLE_EQ(s.confidence, 1.0);
  for (double value : s.scores) EXPECT_DOUBLE_EQ(value, 1.0);
}

TEST(OcrDigitRecognition, TooSmallBoxMeasuresNothingAndReadsNoDigit) {
  const SegmentScores s = ScoreSegments(cv::Mat(7, 24, CV_8U, cv::Scalar(1)));
  EXPECT_FALSE(s.digit.has_value());
  for (double value : s.coverage) EXPECT_EQ(value, 0.0);
  // The best pattern is the 1 at 0.72 * 5/7, below the 0.58 bar; the runner-up is the 7.
  const double best = 0.72 * 5.0 / 7.0;
  const double runner_up = 0.72 * 4.0 / 7.0;
  EXPECT_NEAR(s.confidence, 0.85 * best + 0.15 * (best - runner_up) / 0.18, 1e-12);
  cv::Mat image = cv::Mat::zeros(7, 24, CV_8U);
  Fill(image, 2, 0, 21, 6, 255);
  const DigitResult r = RecognizeDigit(image, WholeSlot(image));
  EXPECT_EQ(r.status, "unknown");
  EXPECT_TRUE(r.scored);
  EXPECT_FALSE(r.digit.has_value());
}

TEST(OcrDigitRecognition, LoneStrokeIsBoxedRightAnchoredAndReadsOne) {
  const DigitBox box = FindDigitBox(LoneStroke());
  ASSERT_TRUE(box.found);
  EXPECT_EQ(box.method, "nominal_width_right_anchored");
  EXPECT_EQ(box.right, 16);
  EXPECT_EQ(box.left, 0);
  EXPECT_EQ(box.top, 2);
  EXPECT_EQ(box.bottom, 37);
  EXPECT_EQ(ScoreSegments(box.image).digit, 1);
}

TEST(OcrDigitRecognition, StrokeWithAWiderPartKeepsItsOwnColumnsAndReadsNothing) {
  cv::Mat mask = cv::Mat::zeros(40, 30, CV_8U);
  Fill(mask, 14, 2, 15, 37);
  Fill(mask, 12, 18, 17, 25);
  const DigitBox box = FindDigitBox(mask);
  ASSERT_TRUE(box.found);
  EXPECT_EQ(box.method, "projection_vertical_preserved_horizontal");
  EXPECT_EQ(box.left, 12);
  EXPECT_EQ(box.right, 17);
  // Six columns for 36 rows: every window samples the same stroke, which scores as some digit.
  const std::optional<int32_t> sampled = ScoreSegments(box.image).digit;
  ASSERT_TRUE(sampled.has_value());
  EXPECT_NE(*sampled, 1);
  const DigitResult r = RecognizeDigit(mask, WholeSlot(mask));
  EXPECT_EQ(r.status, "unknown");
  EXPECT_FALSE(r.digit.has_value());
}

TEST(OcrDigitRecognition, DottedOrSplitStrokeIsStillOneLoneStroke) {
  cv::Mat dotted = cv::Mat::zeros(40, 30, CV_8U);
  for (int top = 2; top < 36; top += 6) Fill(dotted, 13, top, 16, top + 3);  // LEDs two rows apart
  cv::Mat split = cv::Mat::zeros(40, 30, CV_8U);
  Fill(split, 15, 2, 18, 18);  // the upper segment of a slanted 1 stands further right
  Fill(split, 12, 21, 15, 37);
  for (const cv::Mat& mask : {dotted, split}) {
    EXPECT_TRUE(LooksLikeLoneStroke(mask, MeasureInkProfile(mask)));
    const DigitBox box = FindDigitBox(mask);
    EXPECT_EQ(box.method, "nominal_width_right_anchored");
    const DigitResult r = RecognizeDigit(mask, WholeSlot(mask));
    EXPECT_EQ(r.digit, 1);
  }
  // Two strokes side by side are not closed into one.
  cv::Mat pair = cv::Mat::zeros(40, 30, CV_8U);
  Fill(pair, 11, 2, 12, 37);
  Fill(pair, 16, 2, 17, 37);
  EXPECT_FALSE(LooksLikeLoneStroke(pair, MeasureInkProfile(pair)));
}

// A seven-segment 3 whose strokes are three pixels thick, at columns left..left+width-1 of rows
// 2..37.
void DrawThree(cv::Mat& mask, int left, int width) {
  const int right = left + width - 1;
  Fill(mask, left, 2, right, 4);
  Fill(mask, left, 18, right, 20);
  Fill(mask, left, 35, right, 37);
  Fill(mask, right - 2, 2, right, 37);
}

TEST(OcrDigitRecognition, WholeDigitNarrowerThanItsSlotKeepsItsOwnBox) {
  cv::Mat three = cv::Mat::zeros(40, 64, CV_8U);
  DrawThree(three, 42, 20);
  const DigitBox box = FindDigitBox(three);
  EXPECT_EQ(box.method, "projection_vertical_preserved_horizontal");
  EXPECT_EQ(box.left, 42);
  EXPECT_EQ(box.right, 61);
  EXPECT_EQ(RecognizeDigit(three, WholeSlot(three)).digit, 3);

  // A stroke in the same place is still widened to a digit's width and read as a 1.
  cv::Mat one = cv::Mat::zeros(40, 64, CV_8U);
  Fill(one, 59, 2, 61, 37);
  const DigitBox widened = FindDigitBox(one);
  EXPECT_EQ(widened.method, "nominal_width_right_anchored");
  EXPECT_LT(widened.left, 50);
  EXPECT_EQ(RecognizeDigit(one, WholeSlot(one)).digit, 1);
}

TEST(OcrDigitRecognition, ReadingThatHangsOnAPieceAtTheSlotsSideIsNotTrusted) {
  // The colon's two dots reaching into the left side of the slot.
  auto with_colon_dots = [](const cv::Mat& digit) {
    cv::Mat mask = digit.clone();
    Fill(mask, 0, 7, 2, 14);
    Fill(mask, 0, 22, 2, 29);
    return mask;
  };
  cv::Mat three = cv::Mat::zeros(40, 26, CV_8U);
  DrawThree(three, 6, 18);
  const cv::Mat three_and_dots = with_colon_dots(three);
  const DigitBox own = FindDigitBox(three_and_dots, true);
  EXPECT_TRUE(own.edge_pieces);
  EXPECT_EQ(own.left, 6);
  EXPECT_EQ(ScoreSegments(own.image).digit, 3);
  const DigitBox whole = FindDigitBox(three_and_dots);
  EXPECT_TRUE(whole.edge_pieces);
  EXPECT_EQ(whole.left, 0);
  EXPECT_EQ(ScoreSegments(whole.image).digit, 8);  // the dots light the left segments
  EXPECT_EQ(RecognizeDigit(three_and_dots, WholeSlot(three_and_dots)).status, "unknown");
  EXPECT_EQ(RecognizeDigit(three, WholeSlot(three)).digit, 3);

  // Where the piece changes nothing the reading stands.
  cv::Mat eight = cv::Mat::zeros(40, 26, CV_8U);
  DrawThree(eight, 6, 18);
  Fill(eight, 6, 2, 8, 37);
  EXPECT_EQ(RecognizeDigit(with_colon_dots(eight), WholeSlot(eight)).digit, 8);
}

TEST(OcrDigitRecognition, SegmentsLitOnlyByTheirNeighboursAreTakenAway) {
  // A 24 by 16 box: the upper side segments' windows cover rows 2..6 (of 16), their middle rows 4..5.
  cv::Mat three = cv::Mat::zeros(16, 24, CV_8U);
  Fill(three, 0, 0, 23, 2);    // top bar, fat enough to reach row 2
  Fill(three, 0, 6, 23, 9);    // middle bar from row 6
  Fill(three, 0, 13, 23, 15);  // bottom bar
  Fill(three, 19, 0, 23, 15);  // right stroke
  EXPECT_EQ(ConfirmDigit(three, 3), 3);
  // The upper left window holds the bars' ink in its first and last rows only: no f, so a 3.
  EXPECT_EQ(ConfirmDigit(three, 9), 3);
  cv::Mat nine = three.clone();
  Fill(nine, 0, 0, 4, 9);
  EXPECT_EQ(ConfirmDigit(nine, 9), 9);
  // Without its lower left segment a 2 is no digit at all: the reading stands.
  cv::Mat two = cv::Mat::zeros(16, 24, CV_8U);
  Fill(two, 0, 0, 23, 2);
  Fill(two, 0, 6, 23, 9);
  Fill(two, 0, 13, 23, 15);
  Fill(two, 19, 0, 23, 9);
  EXPECT_EQ(ConfirmDigit(two, 2), 2);

  // A fat 1 fills the middle of the bars' windows, but no column of it stands out of the stroke:
  // what is read there is a 1. A real top bar reaches over the empty middle of a 7.
  cv::Mat one = cv::Mat::zeros(40, 24, CV_8U);
  Fill(one, 9, 0, 23, 39);
  EXPECT_EQ(ScoreSegments(one).digit, 3);
  EXPECT_EQ(ConfirmDigit(one, 3), 1);
  EXPECT_EQ(ConfirmDigit(one, 7), 1);
  cv::Mat seven = one.clone();
  Fill(seven, 0, 0, 8, 4);
  EXPECT_EQ(ConfirmDigit(seven, 7), 7);

  // Read, a digit whose segments disagree with the confirmation is withheld, never swapped for
  // the other digit (9 read 3, 8 read 3, 7 read 1 on boards where the segments were the digit's).
  cv::Mat tips = cv::Mat::zeros(40, 24, CV_8U);
  Fill(tips, 0, 0, 23, 8);     // fat bars whose tips fill the upper left window's top and bottom
  Fill(tips, 0, 15, 23, 23);
  Fill(tips, 0, 31, 23, 39);
  Fill(tips, 17, 0, 23, 39);
  const DigitResult r = RecognizeDigit(tips, WholeSlot(tips));
  EXPECT_EQ(r.status, "unknown") << r.digit.value_or(-1);
  EXPECT_FALSE(r.digit.has_value());
  EXPECT_EQ(r.reason, "withheld");
}

// The segments of a 40 by 24 box, in segment order a b c d e f g, as rectangles.
const std::array<std::array<int, 4>, 7> kSegmentRects = {{
    {3, 0, 20, 3}, {20, 3, 23, 18}, {20, 21, 23, 36}, {3, 36, 20, 39}, {0, 21, 3, 36}, {0, 3, 3, 18}, {3, 18, 20, 21},
}};

cv::Mat SegmentsBox(const char* segments, uchar value = 1) {
  cv::Mat box = cv::Mat::zeros(40, 24, CV_8U);
  for (const char* c = segments; *c != 0; ++c) {
    const auto& r = kSegmentRects[*c - 'a'];
    Fill(box, r[0], r[1], r[2], r[3], value);
  }
  return box;
}

// A digit whose box is its cell: the rows of its neighbours and a digit's width, whatever
// segments it lights. A 7 read in its own ink's box lacks the bottom bar's rows.
TEST(OcrDigitRecognition, ADigitIsReadInItsCell) {
  cv::Mat zone = cv::Mat::zeros(50, 40, CV_8U);
  SegmentsBox("abc").copyTo(zone(cv::Rect(8, 5, 24, 40)));
  zone(cv::Rect(8, 38, 24, 7)).setTo(0);  // a 7's right stroke ends short of the bottom bar's rows
  DigitSlot slot = WholeSlot(zone);
  const DigitResult cell = RecognizeDigit(zone, slot, DigitCell{8, 31, 5, 44});
  EXPECT_EQ(cell.digit, 7);
  EXPECT_EQ(cell.box_left, 8);
  EXPECT_EQ(cell.box_height, 40);
  // Outside the slot the cell is cut to it.
  slot.left = 20;
  EXPECT_EQ(RecognizeDigit(zone, slot, DigitCell{8, 31, 5, 44}).box_left, 0);
}

// Two digits that fit the segments alike (a 3 and a 5 without their b or f) give no digit, where
// table order once chose.
TEST(OcrDigitRecognition, ATieBetweenTwoDigitsGivesNoDigit) {
  const cv::Mat tie = SegmentsBox("acdg", 255);
  const SegmentScores s = ScoreSegments(tie);
  EXPECT_DOUBLE_EQ(s.best, s.runner_up);
  const DigitCell whole{0, 23, 0, 39};
  EXPECT_EQ(RecognizeDigit(tie, WholeSlot(tie), whole).status, "unknown");
  EXPECT_EQ(RecognizeDigit(SegmentsBox("acdfg", 255), WholeSlot(tie), whole).digit, 5);
}

// LEDs with gaps between them: the gaps along the segments close, so the bars sample as bars; a
// box of solid segments is left as it is, and so is a digit's inside.
TEST(OcrDigitRecognition, DottedSegmentsAreClosedAlongTheirLength) {
  cv::Mat dotted = cv::Mat::zeros(40, 24, CV_8U);
  for (int x = 1; x < 24; x += 5) Fill(dotted, x, 0, x + 1, 2);      // a: five small LEDs
  for (int y = 5; y < 38; y += 5) Fill(dotted, 20, y, 22, y + 2);    // b and c
  EXPECT_EQ(ScoreSegments(dotted).digit, 1);  // the dotted bar samples as nothing
  const cv::Mat closed = CloseDottedInk(dotted);
  EXPECT_EQ(cv::countNonZero(closed.row(1).colRange(1, 23)), 22);
  EXPECT_EQ(cv::countNonZero(closed.col(21).rowRange(5, 38)), 33);
  EXPECT_EQ(cv::countNonZero(closed.col(10).rowRange(3, 40)), 0) << "the inside stays open";
  EXPECT_EQ(ScoreSegments(closed).digit, 7);
  const cv::Mat solid = SegmentsBox("abcdefg");
  EXPECT_EQ(CloseDottedInk(solid).data, solid.data);
}

// The grey levels behind a box: an unlit segment nearly as bright as the lit ones is a segment
// just below the threshold, not a ghost.
TEST(OcrDigitRecognition, AnUnlitSegmentNearlyAsBrightAsTheLitOnesSpoilsTheDigit) {
  const cv::Mat mask = SegmentsBox("bc");  // what the threshold left of a dim 7: a 1
  DigitBox box;
  box.found = true;
  box.right = 23;
  box.bottom = 39;
  box.image = mask;
  const struct {
    const char* name;
    uchar bar;  // the grey of the top bar, lit ones 200 on a board of 20
    bool dark;
  } cases[] = {{"ghost", 70, true}, {"faint ghost", 40, true}, {"bar just below the threshold", 160, false}};
  for (const auto& c : cases) {
    const cv::Mat levels = SegmentsBox("bc", 200) + SegmentsBox("a", c.bar);
    cv::Mat grey = levels.clone();
    grey.setTo(20, levels == 0);
    EXPECT_EQ(UnlitSegmentsStayDark(mask, grey, box, 1), c.dark) << c.name;
  }
  // Read with the levels, the dim 7 gives no digit; without them it reads 1.
  cv::Mat grey = SegmentsBox("bc", 200) + SegmentsBox("a", 160);
  grey.setTo(20, grey == 0);
  const DigitCell cell{0, 23, 0, 39};
  EXPECT_EQ(RecognizeDigit(mask, WholeSlot(mask), cell).digit, 1);
  EXPECT_EQ(RecognizeDigit(mask, WholeSlot(mask), cell, grey, 150).status, "unknown");
}

// A slot with no ink above the threshold holds a digit all the same where as many pixels as a
// digit's ink lie just below it; a ghost 8 does not.
TEST(OcrDigitRecognition, ADigitJustBelowTheThresholdIsNoBlank) {
  const cv::Mat none = cv::Mat::zeros(40, 24, CV_8U);
  for (const auto& [grey, held] : {std::pair{140, true}, std::pair{70, false}}) {
    cv::Mat levels = SegmentsBox("abcdefg", static_cast<uchar>(grey));
    levels.setTo(20, levels == 0);
    EXPECT_EQ(HoldsNearlyLitDigit(levels, 150), held) << grey;
    EXPECT_EQ(RecognizeDigit(none, WholeSlot(none), std::nullopt, levels, 150).status, held ? "unknown" : "empty");
  }
  EXPECT_FALSE(HoldsNearlyLitDigit(cv::Mat(), 150));
}

// The slot of a dim frame: 54 by 89 pixels, the size of a clock digit 64 pixels high.
cv::Mat DimSlot() { return cv::Mat::zeros(89, 54, CV_8U); }

TEST(OcrDigitRecognition, FaintInkIsBlankOnlyWhenNoDigitCanStandThere) {
  cv::Mat none = DimSlot();
  cv::Mat one = DimSlot();  // what is left of the two segments of a 1
  Fill(one, 44, 20, 45, 38);
  Fill(one, 44, 45, 45, 63);
  cv::Mat at_side = DimSlot();  // the edge of the neighbouring digit
  Fill(at_side, 0, 20, 1, 63);
  cv::Mat short_piece = DimSlot();
  Fill(short_piece, 44, 20, 45, 45);
  cv::Mat specks = DimSlot();
  for (int y = 10; y < 80; y += 10) specks.at<uchar>(y, 30) = 1;
  cv::Mat three = DimSlot();  // hairline bars and the right stroke of a 3
  Fill(three, 22, 14, 40, 14);
  Fill(three, 22, 44, 40, 44);
  Fill(three, 22, 72, 40, 72);
  Fill(three, 43, 16, 43, 42);
  Fill(three, 43, 47, 43, 70);
  const struct {
    const char* name;
    const cv::Mat& mask;
    FaintInk kind;
    const char* status;
    std::optional<int32_t> digit;
  } cases[] = {
      {"no ink", none, FaintInk::Blank, "empty", std::nullopt},
      {"thin 1", one, FaintInk::Stroke, "digit", 1},
      {"ink at the side", at_side, FaintInk::Blank, "empty", std::nullopt},
      {"short piece", short_piece, FaintInk::Blank, "empty", std::nullopt},
      {"specks", specks, FaintInk::Blank, "empty", std::nullopt},
      {"hairline 3", three, FaintInk::Digit, "unknown", std::nullopt},
  };
  for (const auto& c : cases) {
    ASSERT_LT(cv::countNonZero(c.mask), 0.024 * 89 * 54) << c.name;  // all below the emptiness limit
    EXPECT_EQ(ClassifyFaintInk(c.mask), c.kind) << c.name;
    const DigitResult r = RecognizeDigit(c.mask, WholeSlot(c.mask));
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.digit, c.digit) << c.name;
  }
}

TEST(OcrDigitRecognition, WideInkIsBoxedByItsColumnBand) {
  cv::Mat mask = cv::Mat::zeros(40, 30, CV_8U);
  Fill(mask, 5, 3, 24, 36);
  const DigitBox box = FindDigitBox(mask);
  EXPECT_EQ(box.method, "projection_wide");
  EXPECT_EQ(box.left, 5);
  EXPECT_EQ(box.right, 24);
  EXPECT_EQ(box.image.cols, 20);
  EXPECT_EQ(box.image.rows, 34);
}

TEST(OcrDigitRecognition, ThinBandAtTheEdgeIsNotPartOfTheDigitRows) {
  cv::Mat mask = LoneStroke();
  Fill(mask, 13, 0, 16, 0);  // a one-row band touching the top edge, well apart from the stroke
  mask(cv::Range(1, 2), cv::Range::all()).setTo(0);
  Fill(mask, 13, 4, 16, 37);
  mask(cv::Range(1, 4), cv::Range::all()).setTo(0);
  const InkProfile profile = MeasureInkProfile(mask);
  ASSERT_TRUE(profile.found);
  EXPECT_EQ(profile.ink_top, 0);
  EXPECT_EQ(profile.top, 4);
  EXPECT_EQ(profile.bottom, 37);
}

TEST(OcrDigitRecognition, TrimEdgeBandsDropsOnlyThinDetachedEdgeRuns) {
  const struct {
    const char* name;
    std::vector<IndexRun> runs;
    size_t kept;
  } cases[] = {
      {"thin top band", {{0, 1}, {10, 30}}, 1},
      {"thin bottom band", {{5, 30}, {38, 39}}, 1},
      {"both", {{0, 1}, {10, 30}, {38, 39}}, 1},
      {"touching gap", {{0, 1}, {2, 30}}, 2},
      {"thick top band", {{0, 5}, {10, 30}}, 2},
      {"not at the edge", {{1, 2}, {10, 30}}, 2},
      {"only run", {{0, 1}}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimEdgeBands(c.runs, 40).size(), c.kept) << c.name;
}

TEST(OcrDigitRecognition, GrowInkExtentTakesNearbyRunsWithinTolerance) {
  // Coarse runs (profile >= 2): 2..4, 6..10 (the strong one), 13..14, 20..21.
  std::vector<uint64_t> profile(25, 0);
  for (int i : {2, 3, 4, 13, 14, 20, 21}) profile[i] = 2;
  for (int i = 6; i <= 10; ++i) profile[i] = 9;
  const auto one = GrowInkExtent(profile, {{6, 10}}, 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->start, 2);
  EXPECT_EQ(one->end, 10);
  const auto two = GrowInkExtent(profile, {{6, 10}}, 2);
  EXPECT_EQ(two->start, 2);
  EXPECT_EQ(two->end, 14);
  EXPECT_FALSE(GrowInkExtent(profile, {{16, 17}}, 2).has_value());
}

TEST(OcrDigitRecognition, HorizontalBarPrefersTheLongestThenTheRightmostRun) {
  cv::Mat mask = cv::Mat::zeros(10, 30, CV_8U);
  Fill(mask, 0, 2, 9, 2);
  Fill(mask, 5, 4, 14, 4);
  Fill(mask, 5, 6, 14, 6);
  Fill(mask, 0, 8, 6, 8);
  const auto bar = FindHorizontalBarExtent(mask, 0, 9, 4);
  ASSERT_TRUE(bar.has_value());
  EXPECT_EQ(bar->start, 5);
  EXPECT_EQ(bar->end, 14);
  EXPECT_FALSE(FindHorizontalBarExtent(mask, 0, 9, 6).has_value());  // needs 12 pixels
}

TEST(OcrDigitRecognition, ComponentsAreFourConnectedAndSmallOnesDoNotCount) {
  cv::Mat mask = cv::Mat::zeros(20, 20, CV_8U);
  Fill(mask, 1, 1, 5, 5);      // 25 pixels
  Fill(mask, 10, 10, 14, 14);  // 25 pixels, touching the first only through nothing
  mask.at<uchar>(6, 6) = 1;    // diagonal to the first: its own component, too small
  EXPECT_EQ(CountSignificantComponents(mask), 2);
  EXPECT_EQ(CountSignificantComponents(cv::Mat::zeros(5, 5, CV_8U)), 0);
}

TEST(OcrDigitRecognition, FloodFillCopesWithAMillionPixelComponent) {
  EXPECT_EQ(CountSignificantComponents(cv::Mat(1000, 1000, CV_8U, cv::Scalar(1))), 1);
}

TEST(OcrDigitRecognition, HorizontalSamplerNeedsAChainedRun) {
  cv::Mat broken = cv::Mat::zeros(4, 24, CV_8U);
  for (int x = 0; x < 24; ++x) broken.at<uchar>(1, x) = x % 3 != 2 ? 1 : 0;  // 16 of 24 in pairs
  EXPECT_EQ(SampleHorizontalBar(broken, 0, 0, 24, 4), 0.0);

  cv::Mat bridged = cv::Mat::zeros(4, 24, CV_8U);
  Fill(bridged, 1, 1, 10, 1);
  Fill(bridged, 13, 1, 22, 1);  // a gap of 2 is within the bridge of 24 / 8
  EXPECT_DOUBLE_EQ(SampleHorizontalBar(bridged, 0, 0, 24, 4), 20.0 / 24.0);
  EXPECT_EQ(SampleHorizontalBar(bridged, 5, 0, 5, 4), 0.0);  // empty window
  EXPECT_DOUBLE_EQ(SampleVerticalBar(bridged, 0, 0, 24, 4), 20.0 / 96.0);
}

TEST(OcrDigitRecognition, RoundToThousandthsSendsExactHalvesToEven) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const SegmentValues out = RoundToThousandths({0.0625, -0.0625, 0.1875, 2.0625, 0.12345, 1e-30, -0.0});
  EXPECT_DOUBLE_EQ(out[0], 0.062);
  EXPECT_DOUBLE_EQ(out[1], -0.062);
  EXPECT_DOUBLE_EQ(out[2], 0.188);
  EXPECT_DOUBLE_EQ(out[3], 2.062);
  EXPECT_DOUBLE_EQ(out[4], 0.123);
  EXPECT_EQ(out[5], 0.0);
  EXPECT_TRUE(std::signbit(out[6]));
  const SegmentValues special = RoundToThousandths({nan, inf, -inf, 0.0, 1.0, 0.9999, 0.0015});
  EXPECT_TRUE(std::isnan(special[0]));
  EXPECT_EQ(special[1], inf);
  EXPECT_EQ(special[2], -inf);
  EXPECT_DOUBLE_EQ(special[4], 1.0);
  EXPECT_DOUBLE_EQ(special[5], 1.0);
  EXPECT_DOUBLE_EQ(special[6], 0.002);  // 0.0015 lies just above the half
}

TEST(OcrDigitRecognition, PatternTableHasTwelveRowsWithTheNineAndSevenVariantsLast) {
  const auto& patterns = DigitPatterns();
  EXPECT_EQ(patterns[9].digit, 9);
  EXPECT_EQ(patterns[10].digit, 9);
  EXPECT_EQ(patterns[10].variant, 1);
  EXPECT_FALSE(patterns[10].lit[3]);
  EXPECT_TRUE(patterns[6].lit[0]);
  EXPECT_FALSE(patterns[7].lit[5]);
  EXPECT_EQ(patterns[11].digit, 7);
  EXPECT_EQ(patterns[11].variant, 1);
  EXPECT_EQ(patterns[11].lit, (std::array<bool, 7>{true, true, true, false, false, true, false}));
  // No other pattern lights the four-bar 7's segments.
  for (size_t i = 0; i < 11; ++i) EXPECT_NE(patterns[i].lit, patterns[11].lit) << i;
}

}  // namespace
}  // namespace tessvark
