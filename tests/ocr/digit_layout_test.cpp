#include "ocr/digit_layout.h"

#include <gtest/gtest.h>

namespace tessvark {
namespace {

struct Span {
  const char* kind;
  int left;
  int right;
};

void ExpectLayout(const DigitLayout& layout, std::initializer_list<Span> expected, int bottom) {
  ASSERT_EQ(layout.size(), expected.size());
  int digit = 0;
  size_t i = 0;
  for (const Span& span : expected) {
    const DigitSlot& slot = layout[i++];
    EXPECT_EQ(slot.kind, span.kind) << i;
    EXPECT_EQ(slot.left, span.left) << i;
    EXPECT_EQ(slot.right, span.right) << i;
    EXPECT_EQ(slot.top, 0);
    EXPECT_EQ(slot.bottom, bottom);
    if (slot.kind == "digit") {
      EXPECT_EQ(slot.digit_index, digit++);
    } else {
      EXPECT_FALSE(slot.digit_index.has_value());
    }
  }
}

TEST(OcrDigitLayout, AutoClockLayoutCentresTheSeparator) {
  ExpectLayout(AutoClockLayout(100, 40, std::nullopt),
               {{"digit", 0, 23}, {"digit", 24, 46}, {"separator", 47, 52}, {"digit", 53, 75}, {"digit", 76, 99}},
               39);
}

TEST(OcrDigitLayout, AutoClockLayoutClampsTheHint) {
  ExpectLayout(AutoClockLayout(100, 40, 80.0),
               {{"digit", 0, 33}, {"digit", 34, 66}, {"separator", 67, 72}, {"digit", 73, 85}, {"digit", 86, 99}},
               39);
}

TEST(OcrDigitLayout, MinuteSecondsLayoutPutsTheSeparatorAtAThird) {
  ExpectLayout(MinuteSecondsLayout(90, 40), {{"digit", 0, 27}, {"separator", 28, 31}, {"digit", 32, 60}, {"digit", 61, 89}},
               39);
}

TEST(OcrDigitLayout, EqualSlotsMayShareAColumn) {
  ExpectLayout(EqualDigitLayout(60, 10, 2), {{"digit", 0, 29}, {"digit", 30, 59}}, 9);
  ExpectLayout(EqualDigitLayout(25, 10, 2), {{"digit", 0, 12}, {"digit", 12, 24}}, 9);
  ExpectLayout(EqualDigitLayout(0, 0, 0), {{"digit", 0, 0}}, 0);
}

TEST(OcrDigitLayout, RoleChoosesTheLayout) {
  const struct {
    const char* role;
    ClockFormat format;
    size_t slots;
  } cases[] = {
      {"home_score", ClockFormat::Auto, 2},        {"guest_penalty_player_2", ClockFormat::Auto, 2},
      {"shot_clock", ClockFormat::Auto, 2},        {"ball_on", ClockFormat::Auto, 2},
      {"period", ClockFormat::Auto, 1},            {"home_timeouts", ClockFormat::Auto, 1},
      {"home_possession", ClockFormat::Auto, 1},   {"made_up", ClockFormat::Auto, 1},
      {"Clock", ClockFormat::Auto, 1},             {"clock", ClockFormat::Auto, 5},
      {"clock", ClockFormat::TwoDigitMinutesSeconds, 5}, {"guest_penalty_1", ClockFormat::MinutesSeconds, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildDigitLayout(c.role, 100, 40, std::nullopt, c.format).size(), c.slots) << c.role;
  }
  // "mm:ss" builds the auto layout and honours the hint.
  const DigitLayout hinted = BuildDigitLayout("clock", 100, 40, 80.0, ClockFormat::TwoDigitMinutesSeconds);
  EXPECT_EQ(hinted[2].left, 67);
  const DigitLayout whole = BuildDigitLayout("made_up", 100, 40, std::nullopt, ClockFormat::Auto);
  EXPECT_EQ(whole[0].left, 0);
  EXPECT_EQ(whole[0].right, 99);
}

TEST(OcrDigitLayout, ClockFormatNames) {
  EXPECT_EQ(ParseClockFormat("m:ss"), ClockFormat::MinutesSeconds);
  EXPECT_EQ(ParseClockFormat("mm:ss"), ClockFormat::TwoDigitMinutesSeconds);
  EXPECT_EQ(ParseClockFormat("MM:SS"), ClockFormat::Auto);
  EXPECT_EQ(ParseClockFormat(""), ClockFormat::Auto);
  EXPECT_EQ(ClockFormatName(ClockFormat::MinutesSeconds), "m:ss");
  EXPECT_EQ(ClockFormatName(static_cast<ClockFormat>(9)), "auto");
  EXPECT_TRUE(IsClockFormatName("auto"));
  EXPECT_TRUE(IsClockFormatName("mm:ss"));
  EXPECT_FALSE(IsClockFormatName("MM:SS"));
  EXPECT_TRUE(IsClockLikeRole("home_penalty_2"));
  EXPECT_FALSE(IsClockLikeRole("shot_clock"));
}

}  // namespace
}  // namespace tessvark
