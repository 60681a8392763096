#include "ocr/role_readers.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "rendered_zone.h"

namespace tessvark {
namespace {

cv::Mat Zone(const char* text, int height = 40) {
  return RenderedFieldZone(SevenSegmentField(text, height), kDarkBoard);
}

// A clock without any separator mark: "12" and "34" drawn a colon's width apart.
cv::Mat ClockWithoutSeparator() {
  BoardDescription board;
  board.width = 400;
  board.height = 120;
  board.background = kDarkBoard;
  BoardField minutes = SevenSegmentField("12", 40);
  minutes.x = 0.1;
  minutes.y = 40.0 / 120.0;
  BoardField seconds = minutes;
  seconds.text = "34";
  seconds.x = minutes.x + (FieldTextWidth(minutes) + 0.18 * 40 * 2 + 0.2 * 40) / 400.0;
  board.fields = {minutes, seconds};
  const RenderedBoard rendered = RenderScoreboard(board);
  const FieldTruth& a = rendered.fields[0];
  const FieldTruth& b = rendered.fields[1];
  return CropNormalizedRect(rendered.image, a.x, a.y, b.x + b.width - a.x, a.height);
}

SlotReading Reading(const char* status, std::optional<int32_t> digit = std::nullopt) {
  SlotReading r;
  r.kind = "digit";
  r.status = status;
  r.digit = digit;
  return r;
}

TEST(OcrRoleReaders, DigitTextsTurnBlanksIntoEmptyTextsAndUnknownsIntoNothing) {
  const std::vector<SlotReading> readings = {Reading("empty"), Reading("digit", 9), Reading("digit", 0),
                                             Reading("unknown")};
  const auto first = DigitTexts(readings, 0, 3);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, (std::vector<std::string>{"", "9", "0"}));
  EXPECT_FALSE(DigitTexts(readings, 2, 4).has_value());
  const std::vector<SlotReading> known(readings.begin(), readings.begin() + 3);
  EXPECT_EQ(DigitTexts(known, 1, 99)->size(), 2u);
  EXPECT_EQ(DigitTexts(readings, 3, 2)->size(), 0u);
  EXPECT_FALSE(DigitTexts({Reading("digit")}, 0, 1).has_value());  // a digit status without a digit
  EXPECT_EQ(ConcatTexts({"", "9", "0"}), "90");
  EXPECT_EQ(TrimLeadingSpace(" \t 9"), "9");
  EXPECT_EQ(NoFrameReading().status, "no_frame");
}

TEST(OcrRoleReaders, NumberReaderAcceptsABlankTensDigit) {
  const struct {
    const char* text;
    const char* role;
    const char* status;
    int number;
  } cases[] = {
      {" 7", "home_score", "ok", 7},          {"42", "guest_score", "ok", 42},
      {"07", "home_shots", "ok", 7},          {"7 ", "home_score", "missing_units", 0},
      {"  ", "to_go", "missing_units", 0},    {"42", "period", "layout", 0},
      {"42", "", "ok", 42},
  };
  for (const auto& c : cases) {
    const ReaderResult r = ReadNumber(Zone(c.text), c.role, std::nullopt);
    EXPECT_EQ(r.status, c.status) << c.text << " " << c.role;
    EXPECT_EQ(r.ok, r.status == std::string("ok")) << c.text;
    EXPECT_EQ(r.has_value, r.ok);
    EXPECT_EQ(r.number, c.number) << c.text;
    EXPECT_TRUE(r.text.empty());
    EXPECT_FALSE(r.image.empty());
  }
}

TEST(OcrRoleReaders, ShotClockNeedsTwoDigits) {
  const ReaderResult five = ReadShotClock(Zone("05"), std::nullopt);
  EXPECT_EQ(five.status, "ok");
  EXPECT_EQ(five.number, 5);
  EXPECT_EQ(five.text, "05");
  EXPECT_EQ(ReadShotClock(Zone(" 7"), std::nullopt).status, "unrecognized");
  EXPECT_EQ(ReadShotClock(Zone("7 "), std::nullopt).status, "missing_units");
  EXPECT_EQ(ReadShotClock(cv::Mat(), std::nullopt).status, "no_frame");
}

TEST(OcrRoleReaders, PeriodAndCountReadOneDigit) {
  const ReaderResult period = ReadPeriod(Zone("3"), std::nullopt);
  EXPECT_EQ(period.status, "ok");
  EXPECT_EQ(period.number, 3);
  EXPECT_TRUE(period.numeric);
  const ReaderResult blank = ReadPeriod(Zone(" "), std::nullopt);
  EXPECT_EQ(blank.status, "empty");
  EXPECT_FALSE(blank.has_value);
  ASSERT_EQ(blank.slots.size(), 1u);
  EXPECT_FALSE(blank.slots[0].scored);

  EXPECT_EQ(ReadCount(Zone("4"), "down", std::nullopt).number, 4);
  EXPECT_EQ(ReadCount(Zone("2"), "guest_timeouts", std::nullopt).status, "ok");
  EXPECT_EQ(ReadCount(cv::Mat(), "period", std::nullopt).status, "layout");
  EXPECT_EQ(ReadCount(cv::Mat(), "down", std::nullopt).status, "no_frame");
  EXPECT_EQ(ReadCount(Zone(" "), "home_timeouts", std::nullopt).status, "empty");
}

TEST(OcrRoleReaders, MinutesSecondsFormatReadsOneMinuteDigit) {
  BoardField field = SevenSegmentField("5:07", 40);
  const cv::Mat zone = RenderedFieldZone(field, kDarkBoard);
  const ReaderResult r = ReadClock(zone, "clock", std::nullopt, ClockFormat::MinutesSeconds);
  EXPECT_EQ(r.text, "5:07");
  EXPECT_EQ(r.status, "raw");
  EXPECT_TRUE(r.has_value);
  EXPECT_FALSE(r.numeric);
  EXPECT_EQ(r.separator, ":");
  EXPECT_EQ(r.mode, "minutes");
  EXPECT_FALSE(r.separator_x.has_value());  // no detection for "m:ss"
  ASSERT_EQ(r.slots.size(), 4u);
  EXPECT_EQ(r.slots[1].kind, "separator");
  EXPECT_EQ(r.slots[1].status, "separator");
  EXPECT_EQ(r.slots[1].separator_text, ":");
}

TEST(OcrRoleReaders, AutoClockTakesSeparatorAndModeFromDetection) {
  const struct {
    const char* shown;
    const char* text;
    const char* separator;
    const char* mode;
  } cases[] = {
      {"12:34", "12:34", ":", "minutes"}, {" 9:05", "9:05", ":", "minutes"}, {"59.3 ", "59.3", ".", "tenths"},
      {"59.38", "59.3", ".", "tenths"},   {"12:5 ", "12:5", ":", "minutes"},
  };
  for (const auto& c : cases) {
    const ReaderResult r = ReadClock(Zone(c.shown), "clock", std::nullopt, ClockFormat::Auto);
    EXPECT_EQ(r.text, c.text) << c.shown;
    EXPECT_EQ(r.status, "raw") << c.shown;
    EXPECT_EQ(r.separator, c.separator) << c.shown;
    EXPECT_EQ(r.mode, c.mode) << c.shown;
    EXPECT_TRUE(r.separator_x.has_value());
    ASSERT_EQ(r.slots.size(), 5u);
    EXPECT_EQ(r.slots[2].status, "separator");
    EXPECT_EQ(r.slots[2].separator_text, c.separator);
  }
}

TEST(OcrRoleReaders, AutoClockWithoutDetectionRecordsNoSeparator) {
  const ReaderResult r = ReadClock(ClockWithoutSeparator(), "", std::nullopt, ClockFormat::Auto);
  EXPECT_EQ(r.text, "12:34");
  EXPECT_EQ(r.status, "raw");
  EXPECT_FALSE(r.separator.has_value());
  EXPECT_FALSE(r.mode.has_value());
  ASSERT_EQ(r.slots.size(), 5u);
  EXPECT_EQ(r.slots[2].status, "unknown");
  EXPECT_EQ(r.slots[2].separator_text, ":");
}

TEST(OcrRoleReaders, FixedMinutesFormatOverridesADetectedPoint) {
  const ReaderResult r = ReadClock(Zone("59.3 "), "clock", std::nullopt, ClockFormat::TwoDigitMinutesSeconds);
  EXPECT_EQ(r.separator, ":");
  EXPECT_EQ(r.mode, "minutes");
  EXPECT_TRUE(r.separator_x.has_value());
  EXPECT_EQ(r.text, "59:3");  // the blank fourth digit drops out
}

TEST(OcrRoleReaders, ClockWithNothingLitIsUnrecognized) {
  const ReaderResult dark = ReadClock(cv::Mat(40, 140, CV_8UC3, cv::Scalar::all(10)), "clock", std::nullopt,
                                      ClockFormat::Auto);
  EXPECT_EQ(dark.status, "unrecognized");
  EXPECT_FALSE(dark.has_value);
  EXPECT_EQ(ReadClock(cv::Mat(), "clock", std::nullopt, ClockFormat::Auto).status, "no_frame");
}

TEST(OcrRoleReaders, ClockLayoutIsDetectedOnTheZoneAsItIsRead) {
  BoardField field = SevenSegmentField("59.3 ", 64);
  field.lit_colour = kDarkDigits;
  const cv::Mat light = RenderedFieldZone(field, kLightBoard);
  const ClockLayoutDetection seen = DetectZoneClockLayout(light, Inverted());
  ASSERT_TRUE(seen.detected);
  EXPECT_EQ(seen.separator, ".");
  EXPECT_NEAR(seen.separator_x, light.cols / 2.0, light.cols * 0.02);
  // On the colour picture itself the board above and below the dark point makes a colon.
  EXPECT_EQ(DetectClockLayout(light).separator, ":");

  const cv::Mat dark = Zone("59.3 ", 64);
  for (const std::optional<ZoneProcessing>& processing : {std::optional<ZoneProcessing>(), std::optional(ZoneProcessing{})}) {
    const ClockLayoutDetection d = DetectZoneClockLayout(dark, processing);
    EXPECT_EQ(d.separator, ".");
    EXPECT_EQ(d.separator_x, DetectClockLayout(dark).separator_x);
  }
}

TEST(OcrRoleReaders, InvertReadsDarkDigitsOnALightBoard) {
  BoardField field = SevenSegmentField("86", 40);
  field.lit_colour = cv::Scalar::all(25);
  const cv::Mat zone = RenderedFieldZone(field, cv::Scalar::all(225));
  ZoneProcessing processing;
  processing.invert = true;
  EXPECT_EQ(ReadNumber(zone, "home_score", processing).number, 86);
  // Without invert the light board itself is the ink: the ring of board around each dark digit
  // once read as a 0. It gives no value, and says that the zone is all ink.
  const ReaderResult plain = ReadNumber(zone, "home_score", std::nullopt);
  EXPECT_EQ(plain.status, "all_ink");
  EXPECT_FALSE(plain.ok);
}

}  // namespace
}  // namespace tessvark
