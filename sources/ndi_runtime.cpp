#include "sources/ndi_runtime.h"

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
  cv::Mat image(height, width, CV_8UC3);
  for (std::int32_t r = 0; r < height; ++r) {
    const std::uint8_t* source = data + static_cast<std::size_t>(r) * stride;
    std::uint8_t* target = image.ptr<std::uint8_t>(r);
    for (std::int32_t x = 0; x < width; ++x) {
      target[3 * x] = source[4 * x];
      target[3 * x + 1] = source[4 * x + 1];
      target[3 * x + 2] = source[4 * x + 2];
    }
  }
  return image;
}

}  // namespace tessvark
