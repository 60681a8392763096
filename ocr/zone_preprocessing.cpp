#include "ocr/zone_preprocessing.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace tessvark {

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

cv::Mat PreprocessZoneImage(const cv::Mat& picture, const ZoneProcessing& processing) {
  const ZoneProcessing options = ClampZoneProcessing(processing);
  if (picture.empty() || picture.total() == 0) return picture.clone();

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
  cv::threshold(work, work, options.threshold, 255, cv::THRESH_BINARY);
  if (options.invert) cv::bitwise_not(work, work);
  return work;
}

}  // namespace tessvark
