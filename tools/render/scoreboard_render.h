#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tessvark {

// A zone's margin on each side of a field's characters, in digit heights.
struct FieldMargins {
  double left = 0.2;
  double top = 0.2;
  double right = 0.2;
  double bottom = 0.2;
};

// One seven-segment field of a synthetic board. Its text is drawn character by character:
// '0'..'9' digits, ' ' a blank digit position (only ghosts), ':' a colon, '.' a point. A colon
// and a point take the same width, so "12:34" and "59.3 " line up on one clock display.
struct BoardField {
  std::string name;              // e.g. "clock", "home_score"
  std::string text;              // e.g. "12:34", " 9:05", "59.3 ", " 7"
  double x = 0.0;                // left edge of the first character, fraction of picture width
  double y = 0.0;                // top edge of the digits, fraction of picture height
  int digit_height = 40;         // pixels
  double thickness = 0.13;       // segment thickness as a fraction of the digit height
  cv::Scalar lit_colour{40, 190, 255};    // BGR
  bool ghosts = false;           // draw unlit segments too
  cv::Scalar ghost_colour{45, 45, 45};    // BGR
  double margin = 0.2;           // zone margin around the digits, fraction of the digit height
  // A zone drawn unevenly: its margin on each side, in digit heights, in place of `margin`.
  std::optional<FieldMargins> side_margins;
  double cell_gap = 0.18;        // space between characters, fraction of the digit height
  double slant = 0.0;            // italic lean: the top of a character sits this share of the
                                 // digit height further right than its bottom
  double led_pitch = 0.0;        // above 0: segments are rows of round LEDs at most this share of the
                                 // digit height apart
  double led_size = 1.0;         // an LED's diameter as a share of the segment thickness
  double digit_width = 0.56;     // a digit's width as a share of its height
  bool seven_upper_left = false; // the 7 lights its upper-left bar too, as many boards draw it
  // The space between a colon or point and the digit before and after it, as shares of the digit
  // width, in place of `cell_gap`; boards set their separator apart unevenly.
  std::optional<double> gap_before_separator;
  std::optional<double> gap_after_separator;
};

// A round possession lamp.
struct PossessionLampSpec {
  std::string name;  // e.g. "home_possession"
  double x = 0.0;    // centre, fraction of picture width
  double y = 0.0;    // centre, fraction of picture height
  int diameter = 20; // pixels
  bool lit = false;
  cv::Scalar lit_colour{60, 60, 255};
  cv::Scalar unlit_colour{30, 30, 50};
};

struct BoardDescription {
  int width = 640;
  int height = 360;
  cv::Scalar background{18, 18, 18};
  std::vector<BoardField> fields;
  std::vector<PossessionLampSpec> lamps;
};

// Degradations applied after drawing, in this order: rotation and perspective (one warp),
// blur, gain and brightness, noise, JPEG round trip. Neutral values switch a step off.
struct BoardPerturbation {
  double rotation_degrees = 0.0;  // about the picture centre, positive counter-clockwise
  double perspective = 0.0;       // each picture corner moves by up to this fraction of the size
  double blur_sigma = 0.0;
  double gain = 1.0;              // every channel is multiplied by it: below 1 a dim frame (a dark
                                  // camera, an LED board caught low in its flicker)
  double brightness = 0.0;        // added to every channel after the gain
  double noise_sigma = 0.0;       // Gaussian noise per pixel and channel
  int jpeg_quality = 0;           // 1..100 for a JPEG round trip, 0 for none
  uint32_t seed = 1;              // drives the perspective corners and the noise
};

// Ground truth of one field or lamp: the zone rectangle an operator would draw, as fractions of
// the picture, and what it shows ("12:34", " 9", "1" for a lit lamp, "0" for a dark one).
struct FieldTruth {
  std::string name;
  std::string text;
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
};

struct RenderedBoard {
  cv::Mat image;  // 8-bit BGR
  std::vector<FieldTruth> fields;
};

// The width in pixels that a field's text takes, its slant included.
double FieldTextWidth(const BoardField& field);

// Draws the board and degrades it. Rectangles follow the rotation and perspective (as the
// bounding box of the moved rectangle) and are clipped to the picture.
RenderedBoard RenderScoreboard(const BoardDescription& board, const BoardPerturbation& perturbation = {});

// A board holding just one field with a margin of one digit height on every side; the
// field's truth is the only entry.
BoardDescription SingleFieldBoard(const BoardField& field, const cv::Scalar& background);

}  // namespace tessvark
