#pragma once

#include <memory>

#include "sources/video_decoder.h"

namespace tessvark {

// The message of every failure to open or read an Example clip.
inline constexpr const char kExampleDecodeError[] = "Could not decode Example video";

// A new closed decoder that reads local files through FFmpeg (libavformat, libavcodec,
// libswscale). Only the "file" protocol is allowed, so a path can never make it open a network
// address. It leaves FFmpeg's process-wide log callback alone.
std::unique_ptr<VideoDecoder> MakeFfmpegVideoDecoder();

}  // namespace tessvark
