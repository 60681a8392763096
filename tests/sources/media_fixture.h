#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "background_program.h"
#include "tests/support/temp_folder.h"

namespace tessvark::testing {

// A picture whose index is written as eight black or white cells along the top, over a ground of
// the given BGR colour; readable back exactly after a lossless round trip.
cv::Mat MakeIndexedPicture(int index, int width, int height, cv::Scalar ground);
// The index written by MakeIndexedPicture, or -1 when the cells are not clean black or white.
int ReadPictureIndex(const cv::Mat& picture);

struct ClipSpec {
  int frames = 20;
  int fps = 25;
  int width = 96;
  int height = 64;
  double audio_seconds = 0.0;          // > 0 adds a sine tone of that length
  std::string container = "mp4";       // file extension
  std::string codec = "libx264rgb";    // lossless H.264 in RGB by default
};

// Encodes the indexed pictures 0..frames-1 with the ffmpeg command. True when the file exists.
bool MakeIndexedClip(const std::string& path, const ClipSpec& spec);

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackUdpPort();

}  // namespace tessvark::testing
