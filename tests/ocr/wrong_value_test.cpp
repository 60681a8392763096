// Rendered pictures on which the readers once published a confidently wrong value. Each must now
// read right or give no value, never another value; where the right value is within reach the
// case asks for it.

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ocr/role_readers.h"
#include "rendered_zone.h"

namespace tessvark {
namespace {

struct Look {
  double gain = 1.0;
  double blur = 0.0;  // share of the digit height
  double slant = 0.0;
  double led_pitch = 0.0;
  double thickness = 0.13;
  double cell_gap = 0.18;
  bool light_board = false;
  bool seven_upper_left = false;  // the 7 of many boards and typefaces: segments a, b, c and f
};

struct Case {
  const char* shown;
  const char* role;  // "clock" or a number role
  int height;
  Look look;
  const char* expected;  // the clock text or the number
  bool exact;            // the right value is required; otherwise no value is accepted too
};

std::optional<std::string> Read(const Case& c) {
  BoardField field = SevenSegmentField(c.shown, c.height);
  field.slant = c.look.slant;
  field.led_pitch = c.look.led_pitch;
  field.thickness = c.look.thickness;
  field.cell_gap = c.look.cell_gap;
  field.seven_upper_left = c.look.seven_upper_left;
  cv::Scalar background = kDarkBoard;
  std::optional<ZoneProcessing> processing;
  if (c.look.light_board) {
    field.lit_colour = kDarkDigits;
    background = kLightBoard;
    processing = Inverted();
  }
  BoardPerturbation p;
  p.gain = c.look.gain;
  p.blur_sigma = c.look.blur * c.height;
  const cv::Mat zone = RenderedFieldZone(field, background, p);
  const std::string role = c.role;
  if (role == "clock") {
    const ReaderResult r = ReadClock(zone, role, processing, ClockFormat::Auto);
    return r.ok ? std::optional<std::string>(r.text) : std::nullopt;
  }
  const ReaderResult r = ReadNumber(zone, role, processing);
  return r.ok ? std::optional<std::string>(std::to_string(r.number)) : std::nullopt;
}

void ExpectRightOrNone(const Case& c) {
  const std::optional<std::string> read = Read(c);
  const std::string label = std::string("'") + c.shown + "' at " + std::to_string(c.height) + " px";
  if (c.exact) {
    EXPECT_EQ(read, std::optional<std::string>(c.expected)) << label;
  } else if (read) {
    EXPECT_EQ(*read, c.expected) << label;
  }
}

// A dim frame (a dark camera, an LED board caught low in its flicker) leaves a tens 1 so little
// ink that the slot passed for blank: 10 read 0, 17 read 7, 14:07 read 4:07.
TEST(OcrNoWrongValue, DimTensOneIsNotTakenForABlank) {
  const Look dim{.gain = 0.82, .blur = 0.03};
  const Look dimmer{.gain = 0.8, .blur = 0.03};
  const Case cases[] = {
      {"10", "home_score", 64, dim, "10", true},   {"17", "guest_score", 64, dim, "17", true},
      {"14:07", "clock", 64, dim, "14:07", true},  {"13:19", "clock", 64, dimmer, "13:19", false},
      {"10", "home_score", 40, dimmer, "10", false}, {"43.8 ", "clock", 64, dimmer, "43.8", false},
  };
  for (const Case& c : cases) ExpectRightOrNone(c);
}

// Ink in the middle of a slot that is not seen as one stroke (LEDs with gaps between them, a
// slanted 1 whose two segments no longer overlap) kept a box a few columns wide, where every
// window samples the same stroke: 1 read 8 or 2.
TEST(OcrNoWrongValue, SplitOrDottedOneIsNotSampledAsAWholeDigit) {
  const Look slanted{.slant = 0.1};
  const Look dotted_wide{.led_pitch = 0.15, .thickness = 0.1, .cell_gap = 0.56};
  const Case cases[] = {
      {" 1", "home_score", 120, slanted, "1", true},     {"91", "home_score", 120, slanted, "91", true},
      {" 1", "home_score", 64, slanted, "1", true},      {"11:11", "clock", 96, dotted_wide, "11:11", true},
      {"17:71", "clock", 96, dotted_wide, "17:71", false}, {"11:11", "clock", 40, dotted_wide, "11:11", false},
  };
  for (const Case& c : cases) ExpectRightOrNone(c);
}

// On a board whose digits fill about half of their slots, a whole 3 or 7 was widened to a nominal
// digit width, filled one side of that box and read 1: 16:31 read 16:11.
TEST(OcrNoWrongValue, WholeDigitNarrowerThanItsSlotKeepsItsOwnBox) {
  const Look wide{.cell_gap = 0.56};
  const Case cases[] = {
      {"16:31", "clock", 64, wide, "16:31", true}, {" 8:35", "clock", 64, wide, "8:35", true},
      {"30:17", "clock", 24, wide, "30:17", true}, {"34:31", "clock", 120, wide, "34:31", true},
  };
  for (const Case& c : cases) ExpectRightOrNone(c);
}

// Glare that spreads a 1 wider must not make it read as another digit now that whole digits keep
// their own boxes.
TEST(OcrNoWrongValue, GlareAroundAOneKeepsItAOne) {
  for (double gain : {1.2, 1.5, 2.0}) {
    for (double blur : {0.03, 0.05}) {
      for (const char* shown : {"11", "71", "17"}) {
        const Look glare{.gain = gain, .blur = blur, .cell_gap = 0.56};
        ExpectRightOrNone({shown, "home_score", 64, glare, shown, false});
      }
    }
  }
}

// The separator slot is only 5.5 % of a clock zone wide, so the colon's dots of a small clock reach
// into the next digit's slot, and at 16 px the neighbouring digit's edge does too: they lit a left
// segment, and 88:88 read 88:38, 66:66 read 66:56, 33:33 read 38:83, 43:06 read 48:06.
TEST(OcrNoWrongValue, ColonOrNeighbourReachingIntoASlotLightsNoSegment) {
  const Case cases[] = {
      {"88:88", "clock", 24, {}, "88:88", false}, {"66:66", "clock", 24, {}, "66:66", false},
      {" 9:99", "clock", 24, {}, "9:99", false},  {"33:33", "clock", 16, {}, "33:33", false},
      {"43:06", "clock", 16, {}, "43:06", false}, {"46:54", "clock", 16, {}, "46:54", false},
      {"88:08", "clock", 40, {}, "88:08", true},  // 88:88 shows no time: its seconds pass 59
  };
  for (const Case& c : cases) ExpectRightOrNone(c);
}

// Dark digits of 16 or 24 px on a light board come out of the threshold a pixel fatter: the tips
// of a 3's bars reached into the windows of its left segments and 32 read 82.
TEST(OcrNoWrongValue, BarTipsDoNotLightASideSegment) {
  const Look light{.light_board = true};
  const Case cases[] = {
      {"32", "home_score", 16, light, "32", false},
      {"32", "home_score", 40, light, "32", true},
      {"88", "home_score", 16, light, "88", true},
  };
  for (const Case& c : cases) ExpectRightOrNone(c);
}

// Layout detection looked at the colour picture whatever the zone's invert option: the light
// board above and below a dark tenths point passed for a colon, and 59.3 read 59:3.
TEST(OcrNoWrongValue, DarkTenthsPointOnALightBoardIsAPoint) {
  const Look light{.light_board = true};
  const Case cases[] = {
      {"59.3 ", "clock", 64, light, "59.3", true}, {"32.7 ", "clock", 96, light, "32.7", true},
      {"11.2 ", "clock", 40, light, "11.2", true}, {"12:34", "clock", 64, light, "12:34", true},
  };
  for (const Case& c : cases) ExpectRightOrNone(c);

  BoardField field = SevenSegmentField("59.3 ", 64);
  field.lit_colour = kDarkDigits;
  const ReaderResult r = ReadClock(RenderedFieldZone(field, kLightBoard), "clock", Inverted(), ClockFormat::Auto);
  EXPECT_EQ(r.separator, ".");
  EXPECT_EQ(r.mode, "tenths");
}

// Many boards and typefaces light the 7's upper-left bar too (segments a, b, c and f). Read with
// only the three-bar 7 known, it gave no value or a wrong one: 3:07 read 3:00, 75 read 5, 77 read 0.
TEST(OcrNoWrongValue, FourBarSevenReadsSeven) {
  const Look four{.seven_upper_left = true};
  const Look bold{.thickness = 0.2, .seven_upper_left = true};
  const Look slanted{.slant = 0.1, .seven_upper_left = true};
  const Look dotted{.led_pitch = 0.15, .thickness = 0.1, .seven_upper_left = true};
  const Look light{.light_board = true, .seven_upper_left = true};
  const Case cases[] = {
      {" 3:07", "clock", 40, four, "3:07", true},      {"77", "home_score", 40, four, "77", true},
      {"75", "guest_score", 64, bold, "75", true},     {"17:57", "clock", 96, slanted, "17:57", true},
      {"47", "home_score", 96, dotted, "47", true},    {"27.7 ", "clock", 64, light, "27.7", true},
      {"70", "home_score", 24, four, "70", true},
  };
  for (const Case& c : cases) ExpectRightOrNone(c);
}

// What no board shows is no value, and the reader says why: a light board read with a dark board's
// threshold turns solid ink (88:88, 88 and 8 were published), a clock's seconds never reach 60,
// and a colon before a single digit is a tenths point the ink did not tell apart.
TEST(OcrNoWrongValue, ImpossibleReadingsGiveNoValueAndSayWhy) {
  auto light_unprocessed = [](const char* text) {
    BoardField field = SevenSegmentField(text, 48);
    field.lit_colour = kDarkDigits;
    field.ghosts = true;
    field.ghost_colour = cv::Scalar(205, 205, 205);
    return RenderedFieldZone(field, kLightBoard);
  };
  const struct {
    const char* name;
    cv::Mat zone;
    const char* reader;
    const char* status;
  } cases[] = {
      {"light clock", light_unprocessed("12:34"), "clock", "all_ink"},
      {"light score", light_unprocessed("50"), "number", "all_ink"},
      {"light period", light_unprocessed("3"), "period", "all_ink"},
      {"light shot clock", light_unprocessed("24"), "shot", "all_ink"},
      {"seconds 75", RenderedFieldZone(SevenSegmentField("12:75", 48), kDarkBoard), "clock", "not_a_time"},
      {"seconds 60", RenderedFieldZone(SevenSegmentField("80:60", 64), kDarkBoard), "clock", "not_a_time"},
  };
  for (const auto& c : cases) {
    const std::string reader = c.reader;
    ReaderResult r;
    if (reader == "clock") r = ReadClock(c.zone, "clock", std::nullopt, ClockFormat::Auto);
    if (reader == "number") r = ReadNumber(c.zone, "home_score", std::nullopt);
    if (reader == "period") r = ReadPeriod(c.zone, std::nullopt);
    if (reader == "shot") r = ReadShotClock(c.zone, std::nullopt);
    EXPECT_FALSE(r.ok) << c.name << " read " << r.text << r.number;
    EXPECT_EQ(r.status, c.status) << c.name;
  }
  // Read as the operator sets such a board up, the same pictures give their values.
  EXPECT_EQ(ReadClock(light_unprocessed("12:34"), "clock", Inverted(), ClockFormat::Auto).text, "12:34");
  EXPECT_EQ(ReadNumber(light_unprocessed("50"), "home_score", Inverted()).number, 50);
}

// A slot of solid ink samples every segment lit, yet no digit fills both of its counters.
TEST(OcrNoWrongValue, SolidInkSlotIsNoEight) {
  cv::Mat zone(60, 50, CV_8UC1, cv::Scalar(0));
  zone(cv::Rect(8, 6, 34, 48)).setTo(255);
  const DigitResult solid = RecognizeDigit(zone, DigitSlot{"digit", 0, 0, 49, 59});
  EXPECT_EQ(solid.status, "unknown");
  EXPECT_EQ(solid.reason, "all_ink");
  EXPECT_TRUE(FillsDigitCounters(cv::Mat(40, 24, CV_8UC1, cv::Scalar(1))));
  for (double thickness : {0.1, 0.13, 0.22}) {
    BoardField field = SevenSegmentField("88", 48);
    field.thickness = thickness;
    const ReaderResult r = ReadNumber(RenderedFieldZone(field, kDarkBoard), "home_score", std::nullopt);
    EXPECT_EQ(r.number, 88) << thickness;
  }
}

}  // namespace
}  // namespace tessvark
