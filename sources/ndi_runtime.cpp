#include "sources/ndi_runtime.h"

#include <opencv2/imgproc.hpp>

namespace tessvark {

namespace {

constexpr std::int64_t kMaxWidth = 7680;
constexpr std::int64_t kMaxHeight = 4320;
constexpr std::int64_t kMaxStride = 0x8800;
constexpr std::int64_t kMaxPictureBytes = kMaxWidth * 4 * kMaxHeight;

}  // namespace

bool IsValidBgraLayout(std::int32_t width, std::int32_t height, std::int32_t row_stride) {
  if (width < 1 || width > kMaxWidth || height < 1 || height > kMaxHeight || row_stride < 0) {
    return false;
  }
  const std::int64_t stride = row_stride == 0 ? std::int64_t{4} * width : row_stride;
  if (stride < std::int64_t{4} * width || stride > kMaxStride) return false;
  return stride * height <= kMaxPictureBytes;
}

cv::Mat ConvertBgraToBgr(const std::uint8_t* data, std::int32_t width, std::int32_t height,
                         std::int32_t row_stride) {
  if (data == nullptr || !IsValidBgraLayout(width, height, row_stride)) return {};
  const std::size_t stride =
      row_stride == 0 ? std::size_t{4} * static_cast<std::size_t>(width) : static_cast<std::size_t>(row_stride);
  // OpenCV's vectorised channel drop: about four times the speed of a plain byte loop, which
  // matters at 1080p and up on the receive thread.
  const cv::Mat source(height, width, CV_8UC4, const_cast<std::uint8_t*>(data), stride);
  cv::Mat image;
  cv::cvtColor(source, image, cv::COLOR_BGRA2BGR);
  return image;
}

}  // namespace tessvark
