#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tools/render/scoreboard_render.h"

namespace tessvark {

// The Example clip: an ice-hockey board filmed from slightly off-axis, looping 16 s at 25 fps.
inline constexpr int kExampleWidth = 1280;
inline constexpr int kExampleHeight = 720;
inline constexpr int kExampleFps = 25;
inline constexpr int kExampleVideoFrames = 16 * kExampleFps;

// One picture of an Example source with what its zones should read.
struct ExampleScene {
  cv::Mat image;                              // kExampleWidth x kExampleHeight, 8-bit BGR
  // The board's four corners in the picture, as fractions, clockwise from the top left: the
  // source geometry that straightens the board into the working image.
  std::array<cv::Point2d, 4> corners;
  // Every field in fractions of the straightened board (the working image), with its text.
  std::vector<FieldTruth> fields;
};

// Picture `frame` (0 .. kExampleVideoFrames - 1) of the ice-hockey clip. The clock runs down,
// goals change scores, shots and the shot clock, a period ends and penalties run out and start.
ExampleScene RenderHockeyScene(int frame);

// The American-football still: clock, scores, period, down, to go, ball on, timeouts and the two
// possession lamps.
ExampleScene RenderFootballScene();

}  // namespace tessvark
