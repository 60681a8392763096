#include "ocr/ink_layout.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "board_kinds.h"
#include "ocr/role_readers.h"

namespace tessvark {
namespace {

void Fill(cv::Mat& mask, int left, int top, int right, int bottom) {
  mask(cv::Range(top, bottom + 1), cv::Range(left, right + 1)).setTo(255);
}

// A field drawn with the given look and cut as a zone, prepared with the estimated processing.
struct Drawn {
  cv::Mat zone;
  PreparedZone prepared;
};

Drawn Draw(BoardField field, const FieldMargins& shares = {0.05, 0.08, 0.05, 0.08}) {
  field.side_margins = MarginsAsZoneShares(field, shares.left, shares.top, shares.right, shares.bottom);
  Drawn drawn;
  drawn.zone = RenderedFieldZone(field, kDarkBoard);
  drawn.prepared = PrepareZone(drawn.zone, ProcessingForReader(EstimateZoneProcessing(drawn.zone)));
  return drawn;
}

std::string Digits(const std::vector<SlotReading>& readings) {
  std::string text;
  for (const SlotReading& r : readings) {
    text += r.status == "digit" ? std::to_string(*r.digit) : r.status == "empty" ? "_" : "?";
  }
  return text;
}

TEST(OcrInkLayout, SlantIsMeasuredOnTheSideStrokes) {
  const struct {
    const char* text;
    double slant;
    double led_pitch;
  } cases[] = {
      {"88:88", 0.0, 0.0}, {"88:88", 0.12, 0.0}, {"26:33", 0.2, 0.0}, {"7", 0.2, 0.0},
      {"10", 0.1, 0.0},    {"48:06", 0.16, 0.14},  // dotted: no strokes to follow, the fewest columns tell
  };
  for (const auto& c : cases) {
    BoardField field = SevenSegmentField(c.text, 80);
    field.slant = c.slant;
    field.led_pitch = c.led_pitch;
    field.thickness = c.led_pitch > 0.0 ? 0.11 : 0.13;
    const cv::Mat prepared = Draw(field).prepared.binary;
    // The digits stand in the middle rows of the zone; their margins are 8 % of it above and below.
    const int top = static_cast<int>(std::ceil(0.08 * prepared.rows));
    const int bottom = static_cast<int>(0.92 * prepared.rows) - 1;
    EXPECT_NEAR(EstimateSlant(prepared, top, bottom), c.slant, 0.03) << c.text << " leaning " << c.slant;
  }
  EXPECT_EQ(EstimateSlant(cv::Mat(), 0, 10), 0.0);
}

TEST(OcrInkLayout, ShearingStandsALeaningStrokeUpright) {
  // A stroke leaning right by one column a row, rows 0..9, its bottom row at columns 20..22.
  cv::Mat leaning = cv::Mat::zeros(12, 40, CV_8U);
  for (int y = 0; y < 12; ++y) Fill(leaning, 20 + 9 - y, y, 22 + 9 - y, y);
  int offset = -1;
  const cv::Mat upright = ShearUpright(leaning, 1.0, 9, offset);
  EXPECT_EQ(offset, 9);  // the top row moved nine columns left, the rows below the bottom right
  EXPECT_EQ(upright.cols, 40 + 9 + 2);
  for (int y = 0; y < 12; ++y) {
    EXPECT_EQ(cv::countNonZero(upright.row(y).colRange(29, 32)), 3) << y;
    EXPECT_EQ(cv::countNonZero(upright.row(y)), 3) << y;
  }
  const cv::Mat same = ShearUpright(leaning, 0.0, 9, offset);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(same.data, leaning.data) << "upright ink is not copied";
}

TEST(OcrInkLayout, PiecesAreSplitByEmptyColumnsAndKeepTheirRuns) {
  cv::Mat mask = cv::Mat::zeros(40, 30, CV_8U);
  Fill(mask, 2, 5, 8, 34);    // a stroke
  Fill(mask, 12, 10, 15, 14);  // a colon's marks
  Fill(mask, 12, 25, 15, 29);
  Fill(mask, 20, 0, 22, 0);    // outside the rows looked at
  const std::vector<InkPiece> pieces = FindInkPieces(mask, 2, 37);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].left, 2);
  EXPECT_EQ(pieces[0].right, 8);
  EXPECT_EQ(pieces[0].rows, 30);
  EXPECT_EQ(pieces[0].runs.size(), 1u);
  EXPECT_EQ(pieces[1].ink, 40);
  ASSERT_EQ(pieces[1].runs.size(), 2u);
  EXPECT_EQ(pieces[1].runs[0].top, 10);
  EXPECT_EQ(pieces[1].runs[1].bottom, 29);
  EXPECT_EQ(SeparatorShape(pieces[1], 2, 37), ":");
  EXPECT_EQ(SeparatorShape(pieces[0], 2, 37), std::nullopt);
}

TEST(OcrInkLayout, ASeparatorIsTwoMarksAboutTheMiddleOrOneAtTheBottom) {
  const struct {
    const char* name;
    std::vector<std::array<int, 4>> marks;  // left, top, right, bottom
    std::optional<std::string> shape;
  } cases[] = {
      {"colon", {{0, 10, 5, 15}, {0, 25, 5, 30}}, ":"},
      {"point", {{0, 33, 5, 38}}, "."},
      {"mark at the middle", {{0, 18, 5, 23}}, std::nullopt},
      {"marks of unlike size", {{0, 10, 5, 15}, {0, 27, 1, 28}}, std::nullopt},
      {"the two parts of a dim 1", {{2, 4, 4, 18}, {2, 22, 4, 36}}, std::nullopt},
      {"three marks", {{0, 3, 5, 8}, {0, 17, 5, 22}, {0, 31, 5, 36}}, std::nullopt},
  };
  for (const auto& c : cases) {
    cv::Mat mask = cv::Mat::zeros(40, 6, CV_8U);
    for (const auto& m : c.marks) Fill(mask, m[0], m[1], m[2], m[3]);
    const std::vector<InkPiece> pieces = FindInkPieces(mask, 0, 39);
    ASSERT_EQ(pieces.size(), 1u) << c.name;
    EXPECT_EQ(SeparatorShape(pieces[0], 0, 39), c.shape) << c.name;
  }
}

// The slots stand on the digits wherever the zone's margins and the colon's gaps put them, and
// the separator slot on the colon's marks.
TEST(OcrInkLayout, SlotsArePlacedOnTheDigitsAndTheSeparator) {
  const struct {
    const char* text;
    const char* role;
    ClockFormat format;
    FieldMargins shares;
    double gap_before;
    double gap_after;
    double slant;
    const char* digits;  // digit slots read in order: _ blank
    std::optional<std::string> separator;
  } cases[] = {
      {"14:21", "clock", ClockFormat::Auto, {0.25, 0.1, 0.02, 0.1}, 0.2, 0.2, 0.0, "1421", ":"},
      {"02:06", "clock", ClockFormat::Auto, {0.02, 0.1, 0.25, 0.1}, 0.1, 0.7, 0.0, "0206", ":"},
      {" 5:17", "clock", ClockFormat::Auto, {0.06, 0.1, 0.12, 0.1}, 0.21, 0.49, 0.0, "_517", ":"},
      {"26:33", "clock", ClockFormat::Auto, {0.05, 0.1, 0.05, 0.1}, 0.3, 0.3, 0.2, "2633", ":"},
      {"59.3 ", "clock", ClockFormat::Auto, {0.05, 0.1, 0.05, 0.1}, 0.7, 0.1, 0.0, "593_", "."},
      {"5:07", "clock", ClockFormat::MinutesSeconds, {0.15, 0.1, 0.05, 0.1}, 0.3, 0.3, 0.0, "507", ":"},
      {" 7", "home_score", ClockFormat::Auto, {0.2, 0.1, 0.05, 0.1}, 0.3, 0.3, 0.0, "_7", std::nullopt},
      {"18", "home_score", ClockFormat::Auto, {0.02, 0.1, 0.25, 0.1}, 0.3, 0.3, 0.1, "18", std::nullopt},
  };
  for (const auto& c : cases) {
    BoardField field = SevenSegmentField(c.text, 64);
    field.gap_before_separator = c.gap_before;
    field.gap_after_separator = c.gap_after;
    field.slant = c.slant;
    const Drawn drawn = Draw(field, c.shares);
    const InkLayout layout = PlaceDigitSlots(drawn.prepared, c.role, std::nullopt, std::nullopt, c.format);
    EXPECT_TRUE(layout.placed) << c.text;
    EXPECT_NEAR(layout.slant, c.slant, 0.03) << c.text;
    EXPECT_EQ(layout.separator, c.separator) << c.text;
    EXPECT_EQ(Digits(RecognizeSlots(layout)), c.digits) << c.text;
    for (const DigitSlot& slot : layout.slots) {
      EXPECT_EQ(slot.top, 0);
      EXPECT_EQ(slot.bottom, layout.picture.rows - 1);
      EXPECT_LE(slot.left, slot.right);
    }
  }
}

TEST(OcrInkLayout, TheSeparatorIsFoundWhereDetectionWouldLookForIt) {
  BoardField field = SevenSegmentField("12:34", 64);
  field.gap_before_separator = 0.15;
  field.gap_after_separator = 0.6;
  field.slant = 0.15;
  const Drawn drawn = Draw(field);
  const InkLayout layout = PlaceDigitSlots(drawn.prepared, "clock", std::nullopt, std::nullopt, ClockFormat::Auto);
  ASSERT_TRUE(layout.separator_x.has_value());
  // The colon's centre in the zone at the middle of the digits' rows: its cell, plus the gap, from
  // the field's left edge, and the lean of half the digits' height.
  const double hd = 64.0;
  const double margin = MarginsAsZoneShares(field, 0.05, 0.08, 0.05, 0.08).left * hd;
  const double colon = margin + 2 * 0.56 * hd + 0.18 * hd + 0.15 * 0.56 * hd + 0.1 * hd + 0.15 * hd * 0.5;
  EXPECT_NEAR(*layout.separator_x, colon, 3.0);
}

// Where the ink is not understood the slots are the fixed ones, on the prepared picture as it is.
TEST(OcrInkLayout, InkThatIsNotUnderstoodKeepsTheFixedSlots) {
  cv::Mat noise = cv::Mat::zeros(60, 200, CV_8U);
  for (int x = 5; x < 195; x += 9) Fill(noise, x, 20 + x % 17, x + 2, 24 + x % 17);  // short dashes
  PreparedZone prepared;
  prepared.binary = noise;
  for (const char* role : {"clock", "home_score"}) {
    const InkLayout layout = PlaceDigitSlots(prepared, role, 100.0, std::string(":"), ClockFormat::Auto);
    EXPECT_FALSE(layout.placed) << role;
    EXPECT_EQ(layout.picture.data, noise.data) << role;
    const DigitLayout fixed = BuildDigitLayout(role, 200, 60, 100.0, ClockFormat::Auto);
    ASSERT_EQ(layout.slots.size(), fixed.size()) << role;
    for (size_t i = 0; i < fixed.size(); ++i) {
      EXPECT_EQ(layout.slots[i].left, fixed[i].left) << role << " " << i;
      EXPECT_EQ(layout.slots[i].right, fixed[i].right) << role << " " << i;
    }
  }
  // An empty picture gets the fixed layout of a 1 by 1 zone.
  const InkLayout empty = PlaceDigitSlots(PreparedZone{}, "clock", std::nullopt, std::nullopt, ClockFormat::Auto);
  EXPECT_FALSE(empty.placed);
  EXPECT_EQ(empty.slots.size(), 5u);
}

// A number zone's lone digit in its left half may be a tens digit whose units were lost: the ink
// does not tell, and the fixed slots read it as they always did.
TEST(OcrInkLayout, ALoneDigitInTheLeftHalfIsNotTakenForTheUnits) {
  cv::Mat mask = cv::Mat::zeros(60, 100, CV_8U);
  Fill(mask, 10, 5, 40, 8);  // a 7 in the left half
  Fill(mask, 36, 5, 40, 55);
  PreparedZone prepared;
  prepared.binary = mask;
  EXPECT_FALSE(PlaceDigitSlots(prepared, "home_score", std::nullopt, std::nullopt, ClockFormat::Auto).placed);
  cv::Mat right = cv::Mat::zeros(60, 100, CV_8U);
  Fill(right, 60, 5, 90, 8);
  Fill(right, 86, 5, 90, 55);
  prepared.binary = right;
  const InkLayout layout = PlaceDigitSlots(prepared, "home_score", std::nullopt, std::nullopt, ClockFormat::Auto);
  EXPECT_TRUE(layout.placed);
  EXPECT_EQ(Digits(RecognizeSlots(layout)), "_7");
}

// The previews show the slots the readers read: reading the layout's slots gives the reading's.
TEST(OcrInkLayout, TheReadingLayoutIsTheOneTheReadersRead) {
  BoardField field = OperatorBoardField(" 5:17");
  const Drawn drawn = Draw(field, {0.04, 0.1, 0.15, 0.1});
  const std::optional<ZoneProcessing> processing = EstimateZoneProcessing(drawn.zone);
  const InkLayout layout = ReadingLayout(drawn.zone, "clock", processing, ClockFormat::Auto);
  const ReaderResult clock = ReadClock(drawn.zone, "clock", processing, ClockFormat::Auto);
  EXPECT_EQ(clock.text, "5:17");
  std::vector<SlotReading> read;
  for (const SlotReading& slot : clock.slots) {
    if (slot.kind == "digit") read.push_back(slot);
  }
  EXPECT_EQ(Digits(RecognizeSlots(layout)), Digits(read));
  EXPECT_EQ(Digits(read), "_517");
  EXPECT_TRUE(ReadingLayout(cv::Mat(), "clock", processing, ClockFormat::Auto).slots.empty());
}

// A thin face draws its 1 at the right of its cell and sets each bar apart from the next; the left
// bar of the digit after a 1 stands alone between them. Joined to the 1, or left alone as no
// digit, it cost the 1: 14 read 4, 19 read 13, 12 read 2.
TEST(OcrInkLayout, LoneLeftBarAfterAOneStaysWithItsDigit) {
  struct Bar {
    int left, top, right, bottom;
  };
  const Bar upper_left{38, 12, 39, 28};
  const Bar lower_left{38, 31, 39, 48};
  const Bar top{41, 12, 56, 13};
  const Bar middle{41, 29, 56, 30};
  const Bar bottom{41, 47, 56, 48};
  const Bar right_side{58, 12, 59, 48};
  const Bar upper_right{58, 12, 59, 28};
  const struct {
    const char* shown;
    std::vector<Bar> bars;  // of the digit after the 1
    int expected;
  } cases[] = {
      {"14", {upper_left, middle, right_side}, 14},
      {"19", {upper_left, top, middle, bottom, right_side}, 19},
      {"12", {lower_left, top, middle, bottom, upper_right}, 12},
  };
  for (const auto& c : cases) {
    cv::Mat grey(60, 64, CV_8UC1, cv::Scalar(18));  // even slots would split it after the 1
    auto lit = [&](const Bar& b) { grey(cv::Range(b.top, b.bottom + 1), cv::Range(b.left, b.right + 1)).setTo(230); };
    lit({30, 12, 31, 48});  // the 1: segments b and c at the right of its cell
    for (const Bar& bar : c.bars) lit(bar);
    cv::Mat zone;
    cv::cvtColor(grey, zone, cv::COLOR_GRAY2BGR);
    const ReaderResult r = ReadNumber(zone, "home_score", std::nullopt);
    EXPECT_TRUE(r.ok) << c.shown << " " << r.status;
    EXPECT_EQ(r.number, c.expected) << c.shown;
  }
}

// A thin face sets the left side of an 8 or a 0 apart from the rest of it, a little nearer to the
// rest than to the digit before it. Joined to that digit, it took the 8's left bars: 58 read 93,
// 18 read 13.
TEST(OcrInkLayout, LeftSideApartFromItsDigitStaysWithIt) {
  struct Bar {
    int left, top, right, bottom;
  };
  const Bar five[] = {{8, 12, 9, 28}, {10, 12, 25, 13}, {10, 29, 25, 30}, {25, 31, 26, 48}, {10, 47, 25, 48}};
  const Bar one[] = {{25, 12, 26, 48}};
  const Bar three[] = {{10, 12, 25, 13}, {10, 29, 25, 30}, {10, 47, 25, 48}, {25, 12, 26, 48}};
  const Bar left_side[] = {{32, 12, 33, 28}, {32, 31, 33, 48}};
  const Bar eight_rest[] = {{35, 12, 50, 13}, {35, 29, 50, 30}, {35, 47, 50, 48}, {50, 12, 51, 48}};
  const Bar zero_rest[] = {{35, 12, 50, 13}, {35, 47, 50, 48}, {50, 12, 51, 48}};
  const struct {
    const char* shown;
    std::vector<Bar> first;  // the digit before
    std::vector<Bar> rest;   // the second digit but its left side
    int expected;
  } cases[] = {
      {"58", {std::begin(five), std::end(five)}, {std::begin(eight_rest), std::end(eight_rest)}, 58},
      {"18", {std::begin(one), std::end(one)}, {std::begin(eight_rest), std::end(eight_rest)}, 18},
      {"30", {std::begin(three), std::end(three)}, {std::begin(zero_rest), std::end(zero_rest)}, 30},
  };
  for (const auto& c : cases) {
    cv::Mat grey(60, 60, CV_8UC1, cv::Scalar(18));
    auto lit = [&](const Bar& b) { grey(cv::Range(b.top, b.bottom + 1), cv::Range(b.left, b.right + 1)).setTo(230); };
    for (const Bar& bar : c.first) lit(bar);
    for (const Bar& bar : left_side) lit(bar);
    for (const Bar& bar : c.rest) lit(bar);
    cv::Mat zone;
    cv::cvtColor(grey, zone, cv::COLOR_GRAY2BGR);
    const ReaderResult r = ReadNumber(zone, "home_score", std::nullopt);
    EXPECT_TRUE(r.ok) << c.shown << " " << r.status;
    EXPECT_EQ(r.number, c.expected) << c.shown;
  }
}

}  // namespace
}  // namespace tessvark
