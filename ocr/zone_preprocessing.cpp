#include "ocr/zone_preprocessing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

// The share of a picture's pixels at either end of its levels left out of the estimate's dark and
// bright levels, and the least share of either side.
constexpr double kEndShare = 0.005;

std::optional<double> GreyPercentile(const std::vector<std::uint8_t>& sorted, double p) {
  if (sorted.empty()) return std::nullopt;
  const std::size_t n = sorted.size();
  const double pos = static_cast<double>(n - 1) * p / 100.0;
  const std::size_t i = static_cast<std::size_t>(std::floor(pos));
  const std::size_t j = std::min(static_cast<std::size_t>(std::ceil(pos)), n - 1);
  const double fraction = pos - static_cast<double>(i);
  return sorted[i] * (1.0 - fraction) + sorted[j] * fraction;
}

// The share of pixels brighter than the threshold along the picture's edge (its outermost rows and
// columns, two hundredths of its height or width deep, at least one).
std::optional<double> BrightShareOfEdge(const cv::Mat& grey, int32_t threshold) {
  const int32_t depth_y = std::max(RoundHalfEven(0.02 * grey.rows), 1);
  const int32_t depth_x = std::max(RoundHalfEven(0.02 * grey.cols), 1);
  double bright = 0.0;
  double all = 0.0;
  for (int32_t y = 0; y < grey.rows; ++y) {
    const uchar* row = grey.ptr<uchar>(y);
    const bool edge_row = y < depth_y || y >= grey.rows - depth_y;
    for (int32_t x = 0; x < grey.cols; ++x) {
      if (!edge_row && x >= depth_x && x < grey.cols - depth_x) continue;
      all += 1.0;
      bright += row[x] > threshold ? 1.0 : 0.0;
    }
  }
  if (all == 0.0) return std::nullopt;
  return bright / all;
}

}  // namespace

std::optional<ZoneProcessing> EstimateZoneProcessing(const cv::Mat& picture) {
  if (picture.empty() || picture.rows < 8 || picture.cols < 8) return std::nullopt;
  cv::Mat grey;
  if (picture.channels() == 4) {
    cv::cvtColor(picture, grey, cv::COLOR_BGRA2GRAY);
  } else if (picture.channels() > 1) {
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
  } else {
    grey = picture;
  }
  std::vector<std::uint8_t> values;
  values.reserve(grey.total());
  for (int row = 0; row < grey.rows; ++row) {
    const std::uint8_t* line = grey.ptr<std::uint8_t>(row);
    values.insert(values.end(), line, line + grey.cols);
  }
  std::sort(values.begin(), values.end());
  // The digits may hold well under a fiftieth of the zone (a 1 of small LEDs), and the glow of unlit
  // segments sits between them and the board: the levels are taken near the ends.
  const std::optional<double> low = GreyPercentile(values, kEndShare * 100.0);
  const std::optional<double> high = GreyPercentile(values, 100.0 - kEndShare * 100.0);
  if (!low || !high || *high - *low < 30.0) return std::nullopt;
  const std::int32_t t = RoundHalfEven((*low + *high) / 2.0);
  if (t < 2 || t > 253) return std::nullopt;

  double bright_count = 0.0;
  double bright_sum = 0.0;
  double dark_sum = 0.0;
  for (const std::uint8_t value : values) {
    if (value > t) {
      bright_count += 1.0;
      bright_sum += value;
    } else {
      dark_sum += value;
    }
  }
  const double all = static_cast<double>(values.size());
  const double dark_count = all - bright_count;
  const double fraction = bright_count / all;
  if (fraction < kEndShare || fraction > 1.0 - kEndShare || bright_count == 0.0 || dark_count == 0.0) {
    return std::nullopt;
  }
  if (bright_sum / bright_count - dark_sum / dark_count < 30.0) return std::nullopt;

  ZoneProcessing processing;
  processing.threshold = t;
  processing.contrast = 1.0;
  processing.brightness = 0;
  processing.gamma = 1.0;
  processing.rotation = 0.0;
  processing.blur = 0;
  processing.morphology = "none";
  processing.morph_size = 1;
  processing.grayscale = true;
  processing.binarize = true;
  // Which side is the board: the zone's edge is mostly board, even where digits fill the zone (a
  // light board's zone around an 8 is more dark digit than light board). Only an edge that does
  // not tell leaves it to the share of bright pixels.
  const std::optional<double> edge = BrightShareOfEdge(grey, t);
  processing.invert = edge && *edge >= 0.6 ? true : edge && *edge <= 0.4 ? false : fraction > 0.55;
  return processing;
}

ZoneProcessing ClampZoneProcessing(const ZoneProcessing& processing) {
  ZoneProcessing out = processing;
  out.threshold = std::clamp(out.threshold, 0, 255);
  out.contrast = out.contrast <= 0.2 ? 0.2 : std::min(out.contrast, 4.0);
  out.brightness = std::clamp(out.brightness, -150, 150);
  out.gamma = out.gamma <= 0.2 ? 0.2 : std::min(out.gamma, 3.0);
  out.rotation = out.rotation <= -15.0 ? -15.0 : std::min(out.rotation, 15.0);
  out.blur = std::clamp(out.blur, 0, 15);
  // The pipeline has no morphology step, so whatever was asked for is stored as none.
  out.morphology = "none";
  out.morph_size = 1;
  out.binarize = true;
  return out;
}

ZoneProcessing ProcessingForReader(const std::optional<ZoneProcessing>& processing) {
  return processing.has_value() ? *processing : ZoneProcessing{};
}

PreparedZone PrepareZone(const cv::Mat& picture, const ZoneProcessing& processing) {
  const ZoneProcessing options = ClampZoneProcessing(processing);
  PreparedZone prepared;
  if (picture.empty() || picture.total() == 0) {
    prepared.binary = picture.clone();
    return prepared;
  }

  cv::Mat work;
  if (picture.channels() == 1) {
    work = picture.clone();
  } else {
    cv::cvtColor(picture, work, cv::COLOR_BGR2GRAY);
  }
  cv::convertScaleAbs(work, work, options.contrast, options.brightness);

  cv::Mat table(1, 256, CV_8U);
  const double exponent = 1.0 / std::max(options.gamma, 0.01);
  for (int i = 0; i < 256; ++i) {
    table.at<uchar>(i) = static_cast<uchar>(std::trunc(std::pow(i / 255.0, exponent) * 255.0));
  }
  cv::LUT(work, table, work);

  if (std::abs(options.rotation) > 0.001) {
    const cv::Point2f centre(static_cast<float>(work.cols * 0.5), static_cast<float>(work.rows * 0.5));
    const cv::Mat rotation = cv::getRotationMatrix2D(centre, options.rotation, 1.0);
    cv::Mat rotated;
    cv::warpAffine(work, rotated, rotation, work.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));
    work = rotated;
  }
  if (options.blur > 0) {
    const int kernel = options.blur % 2 == 0 ? options.blur + 1 : options.blur;
    cv::GaussianBlur(work, work, cv::Size(kernel, kernel), 0.0, 0.0, cv::BORDER_REFLECT_101);
  }
  cv::threshold(work, prepared.binary, options.threshold, 255, cv::THRESH_BINARY);
  if (options.invert) {
    cv::bitwise_not(prepared.binary, prepared.binary);
    cv::bitwise_not(work, work);
  }
  prepared.levels = work;
  // Ink is strictly above the threshold, or once inverted at or above its mirror.
  prepared.ink_from = options.invert ? 255 - options.threshold : options.threshold + 1;
  return prepared;
}

cv::Mat PreprocessZoneImage(const cv::Mat& picture, const ZoneProcessing& processing) {
  return PrepareZone(picture, processing).binary;
}

}  // namespace tessvark
