#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace tessvark {

// Per-zone image options (the zone's "processing" member). grayscale and binarize are carried
// and shown but do not change the pipeline: every picture is turned grey and thresholded.
struct ZoneProcessing {
  int32_t threshold = 150;
  double contrast = 1.0;
  int32_t brightness = 0;
  double gamma = 1.0;
  double rotation = 0.0;  // degrees, positive turns counter-clockwise
  int32_t blur = 0;
  std::string morphology = "none";
  int32_t morph_size = 1;
  bool grayscale = true;
  bool binarize = true;
  bool invert = false;

  bool operator==(const ZoneProcessing&) const = default;
};

// The clamped copy; morphology always ends as "none", morph_size 1 and binarize true.
ZoneProcessing ClampZoneProcessing(const ZoneProcessing& processing);

// The zone's own options, or the defaults when it has none.
ZoneProcessing ProcessingForReader(const std::optional<ZoneProcessing>& processing);

// Grey, contrast/brightness, gamma, rotation, blur, threshold and inversion: a single-channel
// 8-bit picture holding 0 and 255, white where a segment is judged lit. The input is left
// untouched; OpenCV errors (such as a two-channel input) propagate.
cv::Mat PreprocessZoneImage(const cv::Mat& picture, const ZoneProcessing& processing);

// The prepared picture together with the grey levels it was thresholded from (after every step
// but the threshold, inverted with it), so that lit is bright in both: a segment just below the
// threshold is still nearly as bright as the lit ones, an unlit one is not.
struct PreparedZone {
  cv::Mat binary;        // what PreprocessZoneImage gives
  cv::Mat levels;        // 8-bit grey of the same size; empty for an empty picture
  int32_t ink_from = 0;  // the least level that is ink in the binary picture
};
PreparedZone PrepareZone(const cv::Mat& picture, const ZoneProcessing& processing);

// Options for a first zone drawn on a picture, so that the operator starts from a readable
// picture: a threshold between its dark and its bright part, and invert for dark digits on a
// light board. Nothing when the picture shows no clear contrast. Not clamped.
std::optional<ZoneProcessing> EstimateZoneProcessing(const cv::Mat& picture);

}  // namespace tessvark
