#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "sources/video_decoder.h"

namespace tessvark {

inline constexpr std::int32_t kExampleEventInfo = 0;
inline constexpr std::int32_t kExampleEventFrame = 1;
inline constexpr std::int32_t kExampleEventError = 2;

// One event of the Example player. Info events carry the clip's properties once per opening,
// frame events one picture (shared with the decoder's output, not copied), error events a message.
struct ExampleVideoEvent {
  std::int32_t kind = kExampleEventFrame;
  cv::Mat image;                  // frame: 8-bit BGR
  double pts = 0.0;               // frame: presentation time in seconds
  double fps = 0.0;               // info and frame
  std::int32_t frame_count = 0;   // info and frame
  double duration = 0.0;          // info: seconds
  std::string codec_name;         // info: "H.264", "video" or empty
  std::string message;            // error
};

// Receives every event on the playback thread, without any player lock held. A false answer to
// an info or frame event ends playback; the answer to an error event is ignored.
using ExampleVideoCallback = std::function<bool(const ExampleVideoEvent&)>;
using VideoDecoderFactory = std::function<std::unique_ptr<VideoDecoder>()>;

struct ExamplePlayerState;

// Plays the Example clip in an endless loop on a thread of its own ("example"), paced by the wall
// clock at the clip's frame rate: the picture due is the one whose place in the loop matches the
// time since playback began, and pictures that fall behind are decoded and dropped. Because a
// decoder cannot seek, every wrap opens the clip again with a fresh decoder.
class ExamplePlayer {
 public:
  // Decoders come from MakeFfmpegVideoDecoder.
  ExamplePlayer();
  // Decoders come from `make_decoder`; it runs on the playback thread.
  explicit ExamplePlayer(VideoDecoderFactory make_decoder);
  ExamplePlayer(const ExamplePlayer&) = delete;
  ExamplePlayer& operator=(const ExamplePlayer&) = delete;
  // Stops playback and joins the thread.
  ~ExamplePlayer();

  // Stops and joins any earlier playback, then plays the clip at `path` (UTF-8). Throws
  // std::system_error when the thread cannot be started.
  void Start(const std::string& path, ExampleVideoCallback callback);
  // Ends playback and joins the thread; harmless when nothing plays. Called from the playback
  // thread itself (inside the callback) it throws std::system_error (resource deadlock).
  void Stop();

 private:
  std::unique_ptr<ExamplePlayerState> state_;
};

}  // namespace tessvark
