#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace tessvark {

// One received live picture. Once published it is shared read-only between threads, so the
// image keeps sharing its pixel buffer with the receiver's picture instead of being copied.
struct VideoFrame {
  cv::Mat image;                        // 8-bit BGR, 3 channels
  std::int32_t width = 0;               // pixels
  std::int32_t height = 0;              // pixels
  std::int32_t row_stride = 0;          // bytes per row of `image`
  std::int64_t received_at = 0;         // steady clock, nanoseconds
  std::string source;                   // name of the sending source, or the SRT listener label
  std::int64_t source_generation = 0;   // the session's source generation of the frame
  std::int64_t sequence = 0;            // stamped by LatestFrameSlot::Publish
};

}  // namespace tessvark
