#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ocr/digit_layout.h"
#include "ocr/digit_recognition.h"
#include "ocr/zone_preprocessing.h"

namespace tessvark {

// Digit and separator slots placed where a prepared picture shows its characters, instead of at
// fixed fractions of the zone: boards leave uneven margins, set the colon apart unevenly and lean
// their characters. The readers read the slots in `picture`, which is the prepared picture sheared
// upright when its characters lean.
struct InkLayout {
  cv::Mat picture;          // the picture the slots are cut from
  cv::Mat levels;           // its grey levels, sheared alike (empty when not known)
  int32_t ink_from = 0;     // the least level that is ink
  double slant = 0.0;       // columns per row that the characters leaned right (sheared back)
  DigitLayout slots;
  // For each digit slot, the cell its digit stands in where the ink shows one.
  std::vector<std::optional<DigitCell>> cells;
  bool placed = false;      // the slots stand on the ink; otherwise they are the fixed layout
  std::optional<std::string> separator;  // ":" or "." when the ink shows it clearly
  std::optional<double> separator_x;     // its centre, in columns of the zone picture
  // The ink contradicts the separator detection found (a point with a mark above it) and does not
  // show which it is: the clock has no reading.
  bool separator_in_doubt = false;
};

// One piece of ink between empty columns of an upright picture, over the digits' rows.
struct InkPiece {
  int32_t left = 0;  // inclusive columns
  int32_t right = 0;
  int32_t top = 0;   // first and last row holding ink
  int32_t bottom = 0;
  int32_t ink = 0;   // ink pixels
  int32_t rows = 0;  // rows holding ink
  // Vertical runs of rows holding ink, with the columns each run's ink spans.
  struct Run {
    int32_t top = 0;
    int32_t bottom = 0;
    int32_t left = 0;
    int32_t right = 0;
    int32_t Height() const { return bottom - top + 1; }
    int32_t Width() const { return right - left + 1; }
  };
  std::vector<Run> runs;
  int32_t Width() const { return right - left + 1; }
};

// How many columns the characters lean right per row up (0 for upright ones): the shear that
// stands their side strokes upright, lining them up in the fewest columns (bars, which only widen
// when sheared, are left out).
double EstimateSlant(const cv::Mat& prepared, int32_t top, int32_t bottom);

// The picture sheared so that characters leaning by `slant` stand upright, rows moving about
// `bottom`; `offset` receives how far the sheared columns lie right of the zone's.
cv::Mat ShearUpright(const cv::Mat& prepared, double slant, int32_t bottom, int32_t& offset);

// The pieces of ink of an upright picture over rows top..bottom, left to right.
std::vector<InkPiece> FindInkPieces(const cv::Mat& upright, int32_t top, int32_t bottom);

// What a piece shows as a separator: a colon (two small marks stacked about the middle of the
// digits' rows) or a point (one small mark at their bottom).
std::optional<std::string> SeparatorShape(const InkPiece& piece, int32_t top, int32_t bottom);

// The layout read for the role: from the ink where it shows the characters clearly, else the
// fixed layout of BuildDigitLayout on the prepared picture as it is. The hint and the separator
// are what clock-layout detection found (the hint in zone columns).
InkLayout PlaceDigitSlots(const PreparedZone& prepared, const std::string& role, std::optional<double> hint,
                          const std::optional<std::string>& detected_separator, ClockFormat format);

}  // namespace tessvark
