// Reading accuracy over a generated corpus of seven-segment fields. Each variant degrades the
// pictures in one way; every reading is counted as correct, wrong (another value: the worst case
// on air) or no value. The floors below were measured with the fixed seed and leave a margin.

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "ocr/role_readers.h"
#include "rendered_zone.h"

namespace tessvark {
namespace {

enum class Kind { Clock, ClockBlankMinute, Tenths, Number, NumberBlankTens, SingleDigit, ShotClock };

struct Sample {
  Kind kind;
  std::string shown;     // what the board draws
  std::string expected;  // the reading's text or number
};

struct Tally {
  int correct = 0;
  int wrong = 0;
  int none = 0;
  int Total() const { return correct + wrong + none; }
};

struct Variant {
  const char* name;
  bool light_board;  // dark digits on a light board, read with invert
  double blur;       // Gaussian sigma as a share of the digit height
  double noise;
  int jpeg_low;      // JPEG quality drawn from [jpeg_low, 95]; 0 for none
  double brightness;
  double rotation;   // largest rotation in degrees, drawn with a random sign
  double perspective;
  double floor;      // least share of correct readings
  double ceiling;    // largest share of wrong readings
};

std::string TwoDigits(int value) { return std::to_string(value / 10) + std::to_string(value % 10); }

Sample MakeSample(Kind kind, std::mt19937& rng) {
  auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  switch (kind) {
    case Kind::Clock: {
      const std::string text = TwoDigits(pick(10, 59)) + ":" + TwoDigits(pick(0, 59));
      return {kind, text, text};
    }
    case Kind::ClockBlankMinute: {
      const std::string minute = std::to_string(pick(1, 9));
      const std::string seconds = TwoDigits(pick(0, 59));
      return {kind, " " + minute + ":" + seconds, minute + ":" + seconds};
    }
    case Kind::Tenths: {
      const std::string seconds = TwoDigits(pick(10, 59));
      const std::string tenth = std::to_string(pick(0, 9));
      return {kind, seconds + "." + tenth + " ", seconds + "." + tenth};
    }
    case Kind::Number: {
      const int value = pick(10, 99);
      return {kind, TwoDigits(value), std::to_string(value)};
    }
    case Kind::NumberBlankTens: {
      const int value = pick(0, 9);
      return {kind, " " + std::to_string(value), std::to_string(value)};
    }
    case Kind::SingleDigit: {
      const int value = pick(0, 9);
      return {kind, std::to_string(value), std::to_string(value)};
    }
    case Kind::ShotClock: {
      const int value = pick(0, 30);
      return {kind, TwoDigits(value), std::to_string(value)};
    }
  }
  return {};
}

// The reading as text, or nothing when the reader gave no value.
std::optional<std::string> ReadSample(Kind kind, const cv::Mat& zone, const std::optional<ZoneProcessing>& processing) {
  ReaderResult r;
  switch (kind) {
    case Kind::Clock:
    case Kind::ClockBlankMinute:
    case Kind::Tenths:
      r = ReadClock(zone, "clock", processing, ClockFormat::Auto);
      return r.ok ? std::optional<std::string>(r.text) : std::nullopt;
    case Kind::Number:
    case Kind::NumberBlankTens:
      r = ReadNumber(zone, "home_score", processing);
      break;
    case Kind::SingleDigit:
      r = ReadPeriod(zone, processing);
      break;
    case Kind::ShotClock:
      r = ReadShotClock(zone, processing);
      break;
  }
  return r.ok ? std::optional<std::string>(std::to_string(r.number)) : std::nullopt;
}

// Measured with this seed (correct / wrong / no value of 168): clean 162/5/1, clean light
// 125/37/6, blur 163/2/3, noise 162/4/2, jpeg 161/6/1, darker 168/0/0, brighter 159/8/1,
// rotation 167/0/1, perspective 165/3/0, combined 162/3/3, combined light 127/36/5. Nearly all
// wrong readings on dark boards are clocks of 16 and 24 px; on light boards the dark tenths
// point is never detected (see the known misreads below).
const Variant kVariants[] = {
    // name              light  blur   noise jpeg bright rot  persp  floor ceiling
    {"clean",            false, 0.0,   0.0,  0,   0.0,   0.0, 0.0,   0.92, 0.06},
    {"clean light",      true,  0.0,   0.0,  0,   0.0,   0.0, 0.0,   0.70, 0.25},
    {"blur",             false, 0.03,  0.0,  0,   0.0,   0.0, 0.0,   0.92, 0.06},
    {"noise",            false, 0.0,   12.0, 0,   0.0,   0.0, 0.0,   0.92, 0.06},
    {"jpeg 80-95",       false, 0.0,   0.0,  80,  0.0,   0.0, 0.0,   0.92, 0.06},
    {"darker",           false, 0.0,   0.0,  0,   -35.0, 0.0, 0.0,   0.92, 0.06},
    {"brighter",         false, 0.0,   0.0,  0,   35.0,  0.0, 0.0,   0.92, 0.06},
    {"rotation 2 deg",   false, 0.0,   0.0,  0,   0.0,   2.0, 0.0,   0.92, 0.06},
    {"perspective",      false, 0.0,   0.0,  0,   0.0,   0.0, 0.015, 0.92, 0.06},
    {"combined",         false, 0.02,  6.0,  85,  -15.0, 1.0, 0.0,   0.92, 0.06},
    {"combined light",   true,  0.02,  6.0,  85,  -15.0, 1.0, 0.0,   0.70, 0.25},
};

const int kHeights[] = {16, 24, 40, 64, 96, 120};
const Kind kKinds[] = {Kind::Clock, Kind::ClockBlankMinute, Kind::Tenths, Kind::Number,
                       Kind::NumberBlankTens, Kind::SingleDigit, Kind::ShotClock};
constexpr int kSamplesPerCell = 4;

TEST(OcrAccuracy, GeneratedCorpusMeetsTheMeasuredFloors) {
  std::mt19937 rng(20261210);
  Tally overall;
  for (const Variant& v : kVariants) {
    Tally tally;
    std::map<int, Tally> by_height;
    for (int height : kHeights) {
      for (Kind kind : kKinds) {
        for (int n = 0; n < kSamplesPerCell; ++n) {
          const Sample sample = MakeSample(kind, rng);
          BoardField field = SevenSegmentField(sample.shown.c_str(), height);
          field.ghosts = (rng() % 2) == 0;
          cv::Scalar background = kDarkBoard;
          std::optional<ZoneProcessing> processing;
          if (v.light_board) {
            field.lit_colour = cv::Scalar(30, 25, 20);
            field.ghost_colour = cv::Scalar(205, 205, 205);
            background = cv::Scalar(225, 228, 230);
            processing = ZoneProcessing{};
            processing->invert = true;
          }
          BoardPerturbation p;
          p.seed = static_cast<uint32_t>(rng());
          p.blur_sigma = v.blur * height;
          p.noise_sigma = v.noise;
          p.jpeg_quality = v.jpeg_low > 0 ? std::uniform_int_distribution<int>(v.jpeg_low, 95)(rng) : 0;
          p.brightness = v.brightness;
          p.rotation_degrees = (rng() % 2 == 0 ? 1.0 : -1.0) * v.rotation;
          p.perspective = v.perspective;
          const cv::Mat zone = RenderedFieldZone(field, background, p);
          const std::optional<std::string> read = ReadSample(kind, zone, processing);
          Tally& cell = by_height[height];
          if (!read) {
            ++tally.none;
            ++cell.none;
          } else if (*read == sample.expected) {
            ++tally.correct;
            ++cell.correct;
          } else {
            ++tally.wrong;
            ++cell.wrong;
          }
        }
      }
    }
    std::printf("%-15s correct %3d  wrong %3d  no value %3d  of %3d |", v.name, tally.correct, tally.wrong,
                tally.none, tally.Total());
    for (const auto& [height, cell] : by_height) std::printf(" %d:%d/%d/%d", height, cell.correct, cell.wrong, cell.none);
    std::printf("\n");
    if (!v.light_board) {
      // Light digits of 40 px and more on a dark board: every reading was right when measured.
      Tally large;
      for (const auto& [height, cell] : by_height) {
        if (height < 40) continue;
        large.correct += cell.correct;
        large.wrong += cell.wrong;
        large.none += cell.none;
      }
      EXPECT_GE(large.correct / static_cast<double>(large.Total()), 0.98) << v.name;
      EXPECT_LE(large.wrong / static_cast<double>(large.Total()), 0.01) << v.name;
    }
    const double total = tally.Total();
    EXPECT_GE(tally.correct / total, v.floor) << v.name;
    EXPECT_LE(tally.wrong / total, v.ceiling) << v.name;
    overall.correct += tally.correct;
    overall.wrong += tally.wrong;
    overall.none += tally.none;
  }
  std::printf("overall        correct %3d  wrong %3d  no value %3d  of %3d\n", overall.correct, overall.wrong,
              overall.none, overall.Total());
}

// Clean, well-placed fields that the recognition as written misreads. They document its limits:
// the separator slot is only 5.5 % of the zone wide, so the colon's dots of a small clock reach
// into the next digit's slot, and the separator detector looks for lit marks on the colour
// picture, so a dark point on a light board is not found (the board around it passes for a
// colon) and tenths read as minutes.

ReaderResult ReadCleanClock(const char* shown, int height, bool light_board) {
  BoardField field = SevenSegmentField(shown, height);
  cv::Scalar background = kDarkBoard;
  std::optional<ZoneProcessing> processing;
  if (light_board) {
    field.lit_colour = cv::Scalar(30, 25, 20);
    background = cv::Scalar(225, 228, 230);
    processing = ZoneProcessing{};
    processing->invert = true;
  }
  return ReadClock(RenderedFieldZone(field, background), "clock", processing, ClockFormat::Auto);
}

TEST(OcrKnownMisreads, ColonLeaksIntoTheFollowingEightAt24Pixels) {
  const ReaderResult r = ReadCleanClock("88:88", 24, false);
  EXPECT_EQ(r.text, "88:38");
  EXPECT_EQ(r.separator, ":");
  EXPECT_EQ(ReadCleanClock("88:88", 40, false).text, "88:88");
}

TEST(OcrKnownMisreads, ColonLeaksIntoTheFollowingSixAndNineAt24Pixels) {
  EXPECT_EQ(ReadCleanClock("66:66", 24, false).text, "66:56");
  EXPECT_EQ(ReadCleanClock(" 9:99", 24, false).text, "9:39");
}

TEST(OcrKnownMisreads, SmallClockAt16PixelsMisreadsThrees) {
  EXPECT_EQ(ReadCleanClock("33:33", 16, false).text, "38:83");
}

TEST(OcrKnownMisreads, DarkTenthsPointOnALightBoardReadsAsMinutes) {
  const ReaderResult r = ReadCleanClock("59.3 ", 64, true);
  // The light board above and below the dark point looks like a colon's two lit marks.
  EXPECT_EQ(r.text, "59:3");
  EXPECT_EQ(r.separator, ":");
  EXPECT_EQ(r.mode, "minutes");
  EXPECT_EQ(ReadCleanClock("59.3 ", 64, false).text, "59.3");
}

TEST(OcrKnownMisreads, SmallDarkThreeOnALightBoardReadsAsEight) {
  BoardField field = SevenSegmentField("32", 16);
  field.lit_colour = cv::Scalar(30, 25, 20);
  ZoneProcessing processing;
  processing.invert = true;
  EXPECT_EQ(ReadNumber(RenderedFieldZone(field, cv::Scalar(225, 228, 230)), "home_score", processing).number, 82);
}

}  // namespace
}  // namespace tessvark
