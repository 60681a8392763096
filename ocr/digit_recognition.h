#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ocr/digit_layout.h"

namespace tessvark {

// Seven values in segment order: a (top), b (upper right), c (lower right), d (bottom),
// e (lower left), f (upper left), g (middle).
using SegmentValues = std::array<double, 7>;

struct DigitPattern {
  int32_t digit = 0;
  int32_t variant = 0;
  std::array<bool, 7> lit{};
};

// The twelve candidate patterns in matching order; the second 9 lacks its bottom bar, the second 7
// lights its upper left bar too (as many boards and typefaces draw it; no other digit lights just
// those four).
const std::array<DigitPattern, 12>& DigitPatterns();

struct DigitResult {
  std::optional<int32_t> digit;  // only with status "digit"
  std::string status;            // "digit", "unknown" or "empty"
  // Why an "unknown" cannot be any digit, for the operator: "all_ink" when ink fills the box
  // where every digit leaves dark counters (the zone's processing does not fit the picture).
  std::string reason;
  double confidence = 0.0;
  bool scored = false;           // true when the segments were sampled
  SegmentValues coverage{};      // raw sampler values, rounded to thousandths
  SegmentValues scores{};        // normalised segment scores, rounded to thousandths
  std::string box_method;
  int32_t slot_width = 0;
  int32_t slot_height = 0;
  int32_t box_left = 0;
  int32_t box_top = 0;
  int32_t box_width = 0;
  int32_t box_height = 0;
  double width_ratio = 0.0;
  double ink_fraction = 0.0;
};

struct SegmentScores {
  std::optional<int32_t> digit;
  int32_t variant = 0;     // the form of the digit whose pattern fit best
  double confidence = 0.0;
  double best = 0.0;       // the best pattern's score
  double runner_up = 0.0;  // the score of the best pattern of another digit
  SegmentValues coverage{};
  SegmentValues scores{};
};

struct DigitBox {
  bool found = false;
  cv::Mat image;  // deep copy of the box region of the ink mask
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;   // inclusive
  int32_t bottom = 0;  // inclusive
  double width_ratio = 0.0;
  std::string method;
  bool edge_pieces = false;  // see InkProfile
};

// Inclusive index range of consecutive indices.
struct IndexRun {
  int32_t start = 0;
  int32_t end = 0;
  int32_t Length() const { return end - start + 1; }
};

struct InkProfile {
  bool found = false;
  int32_t ink_left = 0;
  int32_t ink_top = 0;
  int32_t ink_right = 0;
  int32_t ink_bottom = 0;
  int32_t top = 0;  // digit rows, inclusive
  int32_t bottom = 0;
  int32_t band_left = 0;  // first and last strong column
  int32_t band_right = 0;
  int32_t grown_left = 0;
  int32_t grown_right = 0;
  double width_ratio = 0.0;
  double stroke_length = 0.0;
  int32_t nominal_width = 0;
  bool bar_found = false;
  // A thin piece of ink at a side of the slot stands apart from the rest; asked to, the profile
  // left it out of its columns.
  bool edge_pieces = false;
};

// Reads one digit slot of a prepared (binary) zone picture. Slot bounds are inclusive; they are
// clamped to the picture and swapped when given reversed. Never throws for picture content.
DigitResult RecognizeDigit(const cv::Mat& zone_image, const DigitSlot& slot);
// Where the zone's ink showed a digit: a cell as wide as the zone's digits ending at the digit's
// right side (which every digit lights), over the rows the digits stand in. Picture coordinates,
// all inclusive.
struct DigitCell {
  int32_t left = 0;
  int32_t right = 0;
  int32_t top = 0;
  int32_t bottom = 0;
};

// The same, the digit's box being its cell where the ink showed one: a 3, a 7 or a 1 lights no
// left segment and a 7 or a 4 no bottom bar, yet each is read in a box of a whole digit. With the
// grey levels the zone image was thresholded from (same size, lit bright; ink from `ink_from` up),
// a digit whose unlit segments are nearly as bright as its lit ones is not told (see
// UnlitSegmentsStayDark), nor is a slot blank whose digit stands just below the threshold.
DigitResult RecognizeDigit(const cv::Mat& zone_image, const DigitSlot& slot, const std::optional<DigitCell>& cell,
                           const cv::Mat& levels = cv::Mat(), int32_t ink_from = 0);

// True when a slot's grey levels hold, just below the ink level, as many pixels as the emptiness
// test allows ink: the slot is no blank, its digit stands just below the threshold.
bool HoldsNearlyLitDigit(const cv::Mat& levels, int32_t ink_from);
// False when a segment the digit leaves unlit is nearly as bright, in the grey levels, as the
// segments it lights: a segment just below the threshold (a dim frame's 7 taken for a 1), not the
// ghost of an unlit one. The mask and the levels are those of the slot, the box the digit's in it;
// nearly lit rows just above or below the box count as the digit's.
bool UnlitSegmentsStayDark(const cv::Mat& mask, const cv::Mat& levels, const DigitBox& box, int32_t digit,
                           int32_t variant = 0);

// True when ink fills the box and both of its counters (the dark insides of an 8 above and below
// its middle bar), which every digit leaves dark: solid ink, no digit. Boxes narrower than a whole
// digit (a fat 1's) are not judged.
bool FillsDigitCounters(const cv::Mat& box_image);

// 1 where any channel is nonzero, else 0 (single-channel 8-bit).
cv::Mat NormalizeSlotImage(const cv::Mat& image);

// Finds the digit's box in an ink mask; ink narrower than a digit cell is widened to a nominal
// digit width anchored at its left or right side. With drop_edge_pieces, a thin piece of ink at a
// side of the slot that stands apart from the rest (the colon's dots, the neighbouring digit's
// edge) is left out.
DigitBox FindDigitBox(const cv::Mat& mask, bool drop_edge_pieces = false);

// Samples the seven segment windows of a box and matches them against the patterns.
SegmentScores ScoreSegments(const cv::Mat& box_image);
// Matches sampled segment values (raw coverages) against the patterns.
SegmentScores MatchSegments(const SegmentValues& coverage);

// Each value to the nearest thousandth, exact halves to even (0.0625 -> 0.062); zero, NaN and
// infinities pass unchanged.
SegmentValues RoundToThousandths(const SegmentValues& values);

// Building blocks of the stages above, exposed so that each rule can be checked by itself.
InkProfile MeasureInkProfile(const cv::Mat& mask, bool drop_edge_pieces = false);
// The rows of the digits in a profile of ink per row: its strong runs without thin bands at the
// edges, grown over nearby weaker rows. Nothing when no row is strong.
std::optional<IndexRun> FindDigitRows(const std::vector<uint64_t>& rows);
std::optional<IndexRun> GrowInkExtent(const std::vector<uint64_t>& profile,
                                      const std::vector<IndexRun>& strong_runs, int32_t tolerance);
std::vector<IndexRun> TrimEdgeBands(std::vector<IndexRun> runs, int32_t length);
std::optional<IndexRun> FindHorizontalBarExtent(const cv::Mat& mask, int32_t top, int32_t bottom,
                                                int32_t band_width);
// One narrow vertical stroke; short gaps along it (LEDs, the split segments of a slanted 1) are
// closed before its pieces are counted.
bool LooksLikeLoneStroke(const cv::Mat& mask, const InkProfile& profile);
// The digit a box shows once the segments that only their neighbours lit are taken away: a side
// segment with no ink about its middle (the tips of fat bars reach into its window), a bar with no
// ink in the left or the right third of the digit (a fat stroke reaches into its window). Without
// them a 9 may be a 3, an 8 a 3 and a 7 a 1; where what is left is no digit, the digit stands.
std::optional<int32_t> ConfirmDigit(const cv::Mat& box_image, int32_t digit, int32_t variant = 0);
// Narrow ink without a horizontal bar across it: the only ink that is widened to a nominal digit
// width, since a whole digit narrower than its slot would then fill one side of the box.
bool LooksLikeBarlessStroke(const cv::Mat& mask, const InkProfile& profile);
// What the ink of a slot below the emptiness limit is. Blank: nothing, specks, or ink at a side of
// the slot (the neighbour's). Otherwise pieces stacked over a large share of the slot's height,
// clear of its sides, are what a dim frame left of a digit: a Stroke when they are at most half
// the slot wide without a bar across them (only a 1 can be read), else a Digit that cannot be told.
enum class FaintInk { None, Blank, Stroke, Digit };
FaintInk ClassifyFaintInk(const cv::Mat& mask);
int CountSignificantComponents(const cv::Mat& mask);
// The 4-connected pieces of ink of a mask: their pixel counts and bounding boxes. With labels,
// also a 32-bit picture holding each ink pixel's piece as its index + 1 (0 elsewhere).
struct InkComponent {
  int64_t size = 0;
  cv::Rect box;
};
std::vector<InkComponent> InkComponents(const cv::Mat& mask, cv::Mat* labels = nullptr);
// The LEDs of a digit made of them (many small marks and hardly anything else), as their bounding
// boxes; nothing for any other box.
std::vector<cv::Rect> LedsOf(const cv::Mat& box_image);
// A digit made of LEDs with gaps between them with the gaps along its segments closed, so that
// its bars sample as bars; any other box as it is.
cv::Mat CloseDottedInk(const cv::Mat& box_image);
double SampleHorizontalBar(const cv::Mat& mask, double x0, double y0, double x1, double y1);
double SampleVerticalBar(const cv::Mat& mask, double x0, double y0, double x1, double y1);

}  // namespace tessvark
