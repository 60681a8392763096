#pragma once

// The kinds of boards operators meet, drawn by our renderer with random values from a seeded
// generator: each kind varies one property over the range found on real boards (margins, colon
// gaps, slant, bar thickness, LED dots, ghosts, colours, light boards, sizes, compression) and
// keeps the others ordinary (amber on a dark board, margins of 3-12 % of the zone on each side);
// "mixed" varies them all at once. Every zone is read with the
// processing the program estimates for a new zone, as an operator's first zone gets it.

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>

#include <opencv2/core.hpp>

#include "ocr/zone_preprocessing.h"
#include "rendered_zone.h"

namespace tessvark {

enum class BoardKind {
  kMargins,        // 2-25 % of the zone on each side, drawn for each side
  kColonGaps,      // 0.1-0.7 of a digit width on each side of the separator
  kSlant,          // 0-12 degrees
  kThickBars,      // bars 0.15-0.22 of the digit height
  kDigitShapes,    // narrow and wide digits, tight and loose spacing
  kLedDots,        // segments of round LEDs
  kSparseLeds,     // few, small LEDs per segment
  kGhosts,         // unlit segments at 0-35 % of the lit ones, with blur
  kRed,            // red digits, grey 78-124
  kAmber,
  kGreen,
  kWhite,
  kLightBoard,     // dark digits on a light board
  kSmallDigits,    // 16-24 px
  kLargeDigits,    // 100-160 px
  kJpeg,           // quality 60-95
  kOperatorBoard,  // the operator's board (see OperatorBoardField)
  kMixed,          // everything at once
};

struct BoardKindInfo {
  BoardKind kind;
  const char* name;
};

inline constexpr BoardKindInfo kBoardKinds[] = {
    {BoardKind::kMargins, "margins 2-25 %"},    {BoardKind::kColonGaps, "colon gaps"},
    {BoardKind::kSlant, "slant 0-12 deg"},      {BoardKind::kThickBars, "thick bars"},
    {BoardKind::kDigitShapes, "digit shapes"},  {BoardKind::kLedDots, "led dots"},
    {BoardKind::kSparseLeds, "sparse leds"},    {BoardKind::kGhosts, "ghosts + blur"},
    {BoardKind::kRed, "red"},                   {BoardKind::kAmber, "amber"},
    {BoardKind::kGreen, "green"},               {BoardKind::kWhite, "white"},
    {BoardKind::kLightBoard, "light board"},    {BoardKind::kSmallDigits, "16-24 px"},
    {BoardKind::kLargeDigits, "100-160 px"},    {BoardKind::kJpeg, "jpeg 60-95"},
    {BoardKind::kOperatorBoard, "operator"},    {BoardKind::kMixed, "mixed"},
};

// A sampled board of one kind: its field, board colour and degradations.
struct KindBoard {
  BoardField field;
  cv::Scalar background;
  BoardPerturbation perturbation;
};

// One zone of a sampled board and the processing it is read with.
struct KindZone {
  cv::Mat image;
  std::optional<ZoneProcessing> processing;
};

// The margins that make the zone's sides the given shares of the zone (not of the digits).
inline FieldMargins MarginsAsZoneShares(const BoardField& field, double left, double top, double right,
                                        double bottom) {
  const double width = FieldTextWidth(field) / (1.0 - left - right);
  const double height = field.digit_height / (1.0 - top - bottom);
  const double hd = field.digit_height;
  return FieldMargins{left * width / hd, top * height / hd, right * width / hd, bottom * height / hd};
}

// The board an operator made: amber digits 80 x 140 px with faintly visible unlit segments, a
// colon 17 px from the minutes and 39 px from the seconds, sent over SRT (compressed and a little
// soft). Its clock shows a blank tens digit.
inline BoardField OperatorBoardField(const std::string& text) {
  BoardField field = SevenSegmentField(text.c_str(), 140);
  field.digit_width = 80.0 / 140.0;
  field.gap_before_separator = 17.0 / 80.0;
  field.gap_after_separator = 39.0 / 80.0;
  field.cell_gap = 0.12;
  field.thickness = 0.14;
  field.lit_colour = cv::Scalar(10, 170, 255);
  field.ghosts = true;
  field.ghost_colour = cv::Scalar(24, 30, 38);
  return field;
}

// Draws a board of the kind showing `text`. Every value is drawn in the order written, so the
// same seed gives the same boards with any compiler; drawing costs nothing against reading.
inline KindBoard SampleKindBoard(BoardKind kind, const std::string& text, std::mt19937& rng) {
  auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(rng); };
  auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  // A colour (blue, green, red), each channel drawn from its range in turn.
  auto colour = [&](double b0, double b1, double g0, double g1, double r0, double r1) {
    const double b = uniform(b0, b1);
    const double g = uniform(g0, g1);
    return cv::Scalar(b, g, uniform(r0, r1));
  };
  // Margins as shares of the zone, left, top, right and bottom drawn in turn.
  auto margins = [&](const BoardField& field, double low, double high) {
    const double left = uniform(low, high);
    const double top = uniform(low, high);
    const double right = uniform(low, high);
    return MarginsAsZoneShares(field, left, top, right, uniform(low, high));
  };
  const bool mixed = kind == BoardKind::kMixed;
  auto varies = [&](BoardKind k) { return mixed ? pick(0, 2) == 0 : kind == k; };

  KindBoard board;
  BoardField& field = board.field;
  BoardPerturbation& p = board.perturbation;
  field = SevenSegmentField(text.c_str(), pick(28, 120));
  board.background = colour(10, 30, 10, 30, 10, 30);
  field.lit_colour = colour(0, 40, 150, 200, 255, 255);  // amber
  field.ghosts = pick(0, 1) == 1;
  field.ghost_colour = board.background + cv::Scalar::all(uniform(8, 25));
  p.seed = static_cast<uint32_t>(rng());

  if (kind == BoardKind::kOperatorBoard) {
    field = OperatorBoardField(text);
    board.background = cv::Scalar(20, 18, 18);
    p.blur_sigma = uniform(0.4, 1.0);
    p.jpeg_quality = pick(70, 90);
    field.side_margins = margins(field, 0.04, 0.12);
    return board;
  }

  if (kind == BoardKind::kSmallDigits || (mixed && pick(0, 5) == 0)) field.digit_height = pick(16, 24);
  if (varies(BoardKind::kLargeDigits)) field.digit_height = pick(100, 160);
  if (varies(BoardKind::kThickBars)) field.thickness = uniform(0.15, 0.22);
  if (varies(BoardKind::kDigitShapes)) {
    field.digit_width = uniform(0.45, 0.68);
    field.cell_gap = uniform(0.08, 0.45);
    field.thickness = uniform(0.1, 0.17);
  }
  if (varies(BoardKind::kSlant)) field.slant = std::tan(uniform(0.0, 12.0) * CV_PI / 180.0);
  if (varies(BoardKind::kColonGaps)) {
    field.gap_before_separator = uniform(0.1, 0.7);
    field.gap_after_separator = uniform(0.1, 0.7);
  }
  if (varies(BoardKind::kLedDots)) {
    field.led_pitch = uniform(0.1, 0.17);
    field.thickness = uniform(0.09, 0.14);
  } else if (varies(BoardKind::kSparseLeds)) {
    field.led_pitch = uniform(0.16, 0.24);
    field.led_size = uniform(0.6, 0.9);
    field.thickness = uniform(0.1, 0.15);
  }
  if (varies(BoardKind::kRed)) {
    field.lit_colour = colour(20, 60, 0, 70, 255, 255);
  } else if (varies(BoardKind::kGreen)) {
    field.lit_colour = colour(40, 110, 200, 255, 30, 110);
  } else if (varies(BoardKind::kWhite)) {
    field.lit_colour = cv::Scalar::all(uniform(200, 255));
  } else if (varies(BoardKind::kAmber)) {
    field.lit_colour = colour(0, 50, 140, 210, 230, 255);
  }
  if (varies(BoardKind::kLightBoard)) {
    board.background = cv::Scalar::all(uniform(195, 240));
    field.lit_colour = colour(10, 60, 10, 60, 10, 60);
    field.ghost_colour = board.background - cv::Scalar::all(uniform(8, 25));
  }
  if (varies(BoardKind::kGhosts)) {
    field.ghosts = true;
    field.ghost_colour = board.background + (field.lit_colour - board.background) * uniform(0.0, 0.35);
    p.blur_sigma = uniform(0.02, 0.07) * field.digit_height;
  }
  // No operator draws a zone with even margins.
  const bool loose = varies(BoardKind::kMargins);
  field.side_margins = margins(field, loose ? 0.02 : 0.03, loose ? 0.25 : 0.12);
  if (varies(BoardKind::kJpeg)) p.jpeg_quality = pick(60, 95);
  if (mixed && pick(0, 2) == 0) p.blur_sigma = std::max(p.blur_sigma, uniform(0.0, 0.03) * field.digit_height);
  return board;
}

// The board's zone as an operator would cut it, with the processing estimated for a new zone.
inline KindZone RenderKindZone(const KindBoard& board) {
  KindZone zone;
  zone.image = RenderedFieldZone(board.field, board.background, board.perturbation);
  zone.processing = EstimateZoneProcessing(zone.image);
  return zone;
}

}  // namespace tessvark
