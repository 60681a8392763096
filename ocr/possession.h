#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include <opencv2/core.hpp>

namespace tessvark {

// (home, guest): (1, 0) or (0, 1).
using PossessionDecision = std::pair<int32_t, int32_t>;

// Luma in single precision: a grey picture unchanged, BGR as 0.587 G + 0.114 B + 0.299 R.
// Empty for an empty or two-channel picture.
cv::Mat LumaImage(const cv::Mat& picture);

// Share of pixels with luma of at least 170; absent for a picture without luma.
std::optional<double> FillRatio(const cv::Mat& picture);

// Which team's possession lamp is lit, from the two zones' pictures as cut; absent when the
// lamps do not tell clearly.
std::optional<PossessionDecision> ComparePossession(const cv::Mat& home, const cv::Mat& guest);

// Shows a possession decision only after two consecutive passes agree on it; two undecided
// passes in a row clear it. Not thread-safe: its owner serialises Update and Reset.
class PossessionSmoother {
 public:
  std::optional<PossessionDecision> Update(const std::optional<PossessionDecision>& decision);
  void Reset();

 private:
  std::optional<PossessionDecision> published_;
  std::optional<PossessionDecision> candidate_;
  bool candidate_valid_ = false;
  int32_t count_ = 0;
  bool suppressed_ = true;
};

}  // namespace tessvark
