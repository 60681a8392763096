#include "sources/ndi_runtime.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessvark {
namespace {

struct LayoutCase {
  std::int32_t width;
  std::int32_t height;
  std::int32_t stride;
  bool valid;
};

TEST(BgraLayout, BoundsOfWidthHeightAndStride) {
  const LayoutCase cases[] = {
      {7680, 4320, 0, true},        // stride 0 means 30720 bytes a row
      {7680, 4320, 30720, true},
      {7680, 4320, 30721, false},   // stride x height beyond 132,710,400
      {7681, 1, 0, false},
      {1, 4321, 0, false},
      {0, 10, 0, false},
      {10, 0, 0, false},
      {-1, 10, 0, false},
      {10, -1, 0, false},
      {10, 10, -1, false},
      {10, 10, 39, false},          // less than 4 x width
      {10, 10, 40, true},
      {1920, 1080, 34816, true},
      {1920, 1080, 34817, false},
      {1, 1, 0, true},
  };
  for (const LayoutCase& c : cases) {
    EXPECT_EQ(IsValidBgraLayout(c.width, c.height, c.stride), c.valid)
        << c.width << " x " << c.height << " stride " << c.stride;
  }
}

TEST(BgraLayout, ConversionDropsTheFourthByteAndHonoursTheStride) {
  const std::int32_t width = 3;
  const std::int32_t height = 2;
  const std::int32_t stride = 16;  // 4 bytes of padding after each row
  std::vector<std::uint8_t> bgra(stride * height, 0xEE);
  for (int r = 0; r < height; ++r) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = &bgra[r * stride + 4 * x];
      pixel[0] = static_cast<std::uint8_t>(10 * r + x);
      pixel[1] = static_cast<std::uint8_t>(100 + 10 * r + x);
      pixel[2] = static_cast<std::uint8_t>(200 + 10 * r + x);
      pixel[3] = 0;  // transparent: no blending may touch the colour
    }
  }
  const cv::Mat image = ConvertBgraToBgr(bgra.data(), width, height, stride);
  ASSERT_EQ(image.type(), CV_8UC3);
  ASSERT_EQ(image.rows, height);
  ASSERT_EQ(image.cols, width);
  EXPECT_TRUE(image.isContinuous());
  for (int r = 0; r < height; ++r) {
    for (int x = 0; x < width; ++x) {
      const cv::Vec3b pixel = image.at<cv::Vec3b>(r, x);
      EXPECT_EQ(pixel[0], 10 * r + x);
      EXPECT_EQ(pixel[1], 100 + 10 * r + x);
      EXPECT_EQ(pixel[2], 200 + 10 * r + x);
    }
  }
}

TEST(BgraLayout, ConversionRefusesNullDataAndBadLayouts) {
  std::vector<std::uint8_t> bgra(64, 0);
  EXPECT_TRUE(ConvertBgraToBgr(nullptr, 2, 2, 0).empty());
  EXPECT_TRUE(ConvertBgraToBgr(bgra.data(), 2, 2, 7).empty());
  EXPECT_TRUE(ConvertBgraToBgr(bgra.data(), 0, 2, 0).empty());
  EXPECT_FALSE(ConvertBgraToBgr(bgra.data(), 2, 2, 0).empty());
}

}  // namespace
}  // namespace tessvark
