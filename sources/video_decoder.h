#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

namespace tessvark {

// Reads the pictures of a local video file one after another. It cannot seek: a caller that wants
// to start again closes the decoder and opens a fresh one. A decoder belongs to one thread.
class VideoDecoder {
 public:
  virtual ~VideoDecoder() = default;
  // Opens the file (closing an earlier one first). On failure `error` holds the message.
  virtual bool Open(const std::string& path, std::string& error) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The numbers below are 0 and the codec name empty while closed.
  virtual std::int32_t Width() const = 0;
  virtual std::int32_t Height() const = 0;
  virtual double FramesPerSecond() const = 0;
  virtual std::int32_t FrameCount() const = 0;
  virtual double DurationSeconds() const = 0;
  // "H.264", "video" or empty.
  virtual std::string CodecName() const = 0;
  // Kept for interface compatibility; nothing in the program asks them.
  virtual bool ReservedQueryA() const = 0;
  virtual bool ReservedQueryB() const = 0;
  // The next picture as 8-bit BGR in top-down row order with its presentation time in seconds.
  // The end of the stream is false with an empty error; the decoder then stays open.
  virtual bool ReadFrame(cv::Mat& image, double& pts_seconds, std::string& error) = 0;
};

}  // namespace tessvark
