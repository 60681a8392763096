#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tessvark {

// Where a clock zone's lit separator is and whether it is a colon (minutes:seconds) or a point
// (seconds.tenths). When detected is false the other fields carry no meaning.
struct ClockLayoutDetection {
  double separator_x = 0.0;  // zone column of the separator's ink-weighted centre
  std::string separator;     // ":" or "."
  std::string mode;          // "minutes" or "tenths"
  double confidence = 0.0;
  bool detected = false;
};

// Looks for the separator near where the automatic clock layout puts it, in the zone's colour
// crop (8-bit BGR). Pure; safe on several threads at once.
ClockLayoutDetection DetectClockLayout(const cv::Mat& zone_image);

// Building blocks of the detector, exposed so that each rule can be checked by itself.

struct SeparatorSearchWindowResult {
  int32_t nominal_left = 0;  // inclusive
  int32_t nominal_right = 0;
  int32_t search_left = 0;
  int32_t search_right = 0;
  int32_t strip_width = 0;
};

// One bright horizontal band of a strip.
struct SeparatorBlob {
  int32_t top = 0;
  int32_t bottom = 0;
  float centre_x = 0.0f;  // strip columns
  float centre_y = 0.0f;  // zone rows
  float width = 0.0f;
  int32_t height = 0;
  float weight = 0.0f;
  float relative_y = 0.0f;
  float mass = 0.0f;
};

struct SeparatorMarks {
  bool colon_found = false;
  double colon_score = 0.0;
  SeparatorBlob upper;
  SeparatorBlob lower;
  bool point_found = false;
  double point_score = 0.0;
  SeparatorBlob point;
};

struct SeparatorStripEvaluation {
  int32_t strip_left = 0;  // inclusive zone columns
  int32_t strip_right = 0;
  std::vector<SeparatorBlob> blobs;
  SeparatorMarks marks;
};

struct SeparatorHypothesis {
  std::string separator;
  double separator_x = 0.0;
  double mark_score = 0.0;
  double final_score = 0.0;
  double placement_fit = 0.0;
};

SeparatorSearchWindowResult SeparatorSearchWindow(int32_t zone_width, int32_t zone_height);
SeparatorStripEvaluation EvaluateSeparatorStrip(const cv::Mat& zone_image, int32_t start, int32_t width);
// A lit-segment mask of a BGR picture: 255 where a segment looks lit, else 0.
cv::Mat LitSegmentMask(const cv::Mat& strip);
cv::Mat RemoveSmallBlobs(const cv::Mat& mask, int32_t minimum_area);
std::vector<SeparatorBlob> ExtractSeparatorBlobs(const cv::Mat& lit, const cv::Mat& brightness,
                                                 const cv::Mat& combined);
SeparatorMarks FindSeparatorMarks(const std::vector<SeparatorBlob>& blobs, int32_t strip_width,
                                  int32_t zone_height);
SeparatorHypothesis ScoreSeparatorHypothesis(const SeparatorStripEvaluation& evaluation,
                                             const std::string& separator, double x, double mark_score,
                                             int32_t nominal_left, int32_t nominal_right);
// Linear interpolation between the two nearest ranks of the sorted values; 0 for no values.
double Percentile(std::vector<double> values, double p);
// The first value, in ascending order, at which the accumulated weight reaches q of the total.
double WeightedPercentile(const std::vector<double>& values, const std::vector<double>& weights, double q);

}  // namespace tessvark
