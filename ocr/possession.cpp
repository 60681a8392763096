#include "ocr/possession.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessvark {

cv::Mat LumaImage(const cv::Mat& picture) {
  if (picture.empty() || picture.rows < 1 || picture.cols < 1) return cv::Mat();
  const int channels = picture.channels();
  if (channels == 2) return cv::Mat();
  cv::Mat luma;
  if (channels == 1) {
    picture.convertTo(luma, CV_32F);
    return luma;
  }
  cv::Mat as_float;
  picture.convertTo(as_float, CV_MAKETYPE(CV_32F, channels));
  luma.create(picture.rows, picture.cols, CV_32F);
  for (int y = 0; y < picture.rows; ++y) {
    const float* in = as_float.ptr<float>(y);
    float* out = luma.ptr<float>(y);
    for (int x = 0; x < picture.cols; ++x) {
      const float* p = in + static_cast<ptrdiff_t>(x) * channels;
      out[x] = p[1] * 0.587f + p[0] * 0.114f + p[2] * 0.299f;
    }
  }
  return luma;
}

std::optional<double> FillRatio(const cv::Mat& picture) {
  const cv::Mat luma = LumaImage(picture);
  if (luma.empty()) return std::nullopt;
  int64_t lit = 0;
  for (int y = 0; y < luma.rows; ++y) {
    const float* row = luma.ptr<float>(y);
    for (int x = 0; x < luma.cols; ++x) lit += row[x] >= 170.0f ? 1 : 0;
  }
  return static_cast<double>(lit) / (static_cast<double>(luma.cols) * luma.rows);
}

std::optional<PossessionDecision> ComparePossession(const cv::Mat& home, const cv::Mat& guest) {
  const std::optional<double> home_fill = FillRatio(home);
  const std::optional<double> guest_fill = FillRatio(guest);
  if (!home_fill || !guest_fill) return std::nullopt;
  const double a = *home_fill;
  const double b = *guest_fill;
  const double high = std::max(a, b);
  const double low = std::min(a, b);
  if (a <= 0.045 && b <= 0.045) return std::nullopt;  // both lamps dark
  if (a >= 0.35 && b >= 0.35) return std::nullopt;    // both lit
  if (std::abs(a - b) < 0.05) return std::nullopt;
  if (high < 0.07) return std::nullopt;
  if (low > 0.0 && high < 2.0 * low) return std::nullopt;  // the brighter is not clearly brighter
  if (a == b) return std::nullopt;
  return a > b ? PossessionDecision{1, 0} : PossessionDecision{0, 1};
}

std::optional<PossessionDecision> PossessionSmoother::Update(const std::optional<PossessionDecision>& decision) {
  const std::optional<PossessionDecision> shown =
      !suppressed_ && published_ ? published_ : std::optional<PossessionDecision>();
  if (decision && decision == shown) {
    candidate_ = decision;
    candidate_valid_ = true;
    count_ = 2;
    return shown;
  }
  if (!decision && !shown) {
    candidate_.reset();
    candidate_valid_ = true;
    count_ = 0;
    return std::nullopt;
  }
  if (candidate_valid_ && candidate_ == decision) {
    ++count_;
    if (count_ > 1) {
      published_ = decision;
      suppressed_ = !decision.has_value();
    }
  } else {
    candidate_ = decision;
    candidate_valid_ = true;
    count_ = 1;
  }
  if (suppressed_ || !published_) return std::nullopt;
  return published_;
}

void PossessionSmoother::Reset() {
  published_.reset();
  candidate_.reset();
  candidate_valid_ = false;
  count_ = 0;
  suppressed_ = true;
}

}  // namespace tessvark
