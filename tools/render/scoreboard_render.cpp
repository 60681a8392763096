#include "tools/render/scoreboard_render.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tessvark {
namespace {

// Proportions of a seven-segment character, in digit heights.
constexpr double kSeparatorWidth = 0.2;
constexpr double kSegmentGap = 0.025;
constexpr int kShift = 4;  // sub-pixel bits for the polygon drawing
constexpr double kScale = 1 << kShift;

// Lit segments a..g per digit; the 6 has its top bar, the 7 no upper-left segment, the 9 its
// bottom bar.
constexpr std::array<std::array<bool, 7>, 10> kSegments = {{
    {true, true, true, true, true, true, false},
    {false, true, true, false, false, false, false},
    {true, true, false, true, true, false, true},
    {true, true, true, true, false, false, true},
    {false, true, true, false, false, true, true},
    {true, false, true, true, false, true, true},
    {true, false, true, true, true, true, true},
    {true, true, true, false, false, false, false},
    {true, true, true, true, true, true, true},
    {true, true, true, true, false, true, true},
}};

cv::Point Fixed(double x, double y) {
  return cv::Point(static_cast<int>(std::lround(x * kScale)), static_cast<int>(std::lround(y * kScale)));
}

// Where a point of a character goes on a slanted display: the character leans right by the
// field's slant per digit height above its bottom edge.
struct Lean {
  double slant = 0.0;
  double bottom = 0.0;
  cv::Point2d operator()(const cv::Point2d& p) const { return {p.x + slant * (bottom - p.y), p.y}; }
};

void FillPolygon(cv::Mat& image, const std::vector<cv::Point2d>& points, const Lean& lean,
                 const cv::Scalar& colour) {
  std::vector<cv::Point> fixed;
  for (const cv::Point2d& p : points) {
    const cv::Point2d q = lean(p);
    fixed.push_back(Fixed(q.x, q.y));
  }
  cv::fillPoly(image, std::vector<std::vector<cv::Point>>{fixed}, colour, cv::LINE_AA, kShift);
}

// One segment between two tips lying along x or along y: a hexagon, or on an LED board a row of
// round LEDs of the given radius, the first and last at the tips.
void DrawSegment(cv::Mat& image, const cv::Point2d& from, const cv::Point2d& to, double half, double led_pitch,
                 double led_radius, const Lean& lean, const cv::Scalar& colour) {
  if (led_pitch > 0.0) {
    const cv::Point2d axis = to - from;
    const double length = std::hypot(axis.x, axis.y);
    const cv::Point2d unit = length > 0.0 ? axis / length : cv::Point2d(0.0, 0.0);
    const double span = std::max(length - 2.0 * half, 0.0);
    const int gaps = std::max(static_cast<int>(std::ceil(span / led_pitch)), 1);
    for (int i = 0; i <= gaps; ++i) {
      const cv::Point2d centre = lean(from + unit * (half + span * i / gaps));
      cv::circle(image, Fixed(centre.x, centre.y), static_cast<int>(std::lround(led_radius * kScale)), colour,
                 cv::FILLED, cv::LINE_AA, kShift);
    }
    return;
  }
  const double x0 = from.x, y0 = from.y, x1 = to.x, y1 = to.y;
  if (y0 == y1) {
    FillPolygon(image,
                {{x0, y0}, {x0 + half, y0 - half}, {x1 - half, y0 - half},
                 {x1, y0}, {x1 - half, y0 + half}, {x0 + half, y0 + half}},
                lean, colour);
  } else {
    FillPolygon(image,
                {{x0, y0}, {x0 + half, y0 + half}, {x0 + half, y1 - half},
                 {x0, y1}, {x0 - half, y1 - half}, {x0 - half, y0 + half}},
                lean, colour);
  }
}

void DrawDigit(cv::Mat& image, double left, double top, const BoardField& field, const std::array<bool, 7>& lit,
               const cv::Scalar& colour) {
  const double hd = field.digit_height;
  const double wd = field.digit_width * hd;
  const double half = std::max(field.thickness * hd, 1.0) / 2.0;
  const double e = kSegmentGap * hd;
  const double xl = left + half;
  const double xr = left + wd - half;
  const double mid = top + hd / 2.0;
  const Lean lean{field.slant, top + hd};
  const std::array<std::array<cv::Point2d, 2>, 7> tips = {{
      {{{xl + e, top + half}, {xr - e, top + half}}},            // a
      {{{xr, top + half + e}, {xr, mid - e}}},                   // b
      {{{xr, mid + e}, {xr, top + hd - half - e}}},              // c
      {{{xl + e, top + hd - half}, {xr - e, top + hd - half}}},  // d
      {{{xl, mid + e}, {xl, top + hd - half - e}}},              // e
      {{{xl, top + half + e}, {xl, mid - e}}},                   // f
      {{{xl + e, mid}, {xr - e, mid}}},                          // g
  }};
  for (size_t i = 0; i < 7; ++i) {
    if (!lit[i]) continue;
    DrawSegment(image, tips[i][0], tips[i][1], half, field.led_pitch * hd, half * field.led_size, lean, colour);
  }
}

void DrawDot(cv::Mat& image, double cx, double cy, double size, const Lean& lean, const cv::Scalar& colour) {
  const double r = size / 2.0;
  FillPolygon(image, {{cx - r, cy - r}, {cx + r, cy - r}, {cx + r, cy + r}, {cx - r, cy + r}}, lean, colour);
}

bool IsSeparator(char c) { return c == ':' || c == '.'; }

double CellWidth(const BoardField& field, char c) {
  return (IsSeparator(c) ? kSeparatorWidth : field.digit_width) * field.digit_height;
}

// The space after character i of the field's text, before the next one.
double GapAfter(const BoardField& field, size_t i) {
  const double digit = field.digit_width * field.digit_height;
  if (IsSeparator(field.text[i]) && field.gap_after_separator) return *field.gap_after_separator * digit;
  if (i + 1 < field.text.size() && IsSeparator(field.text[i + 1]) && field.gap_before_separator) {
    return *field.gap_before_separator * digit;
  }
  return field.cell_gap * field.digit_height;
}

// Where each character of the field's text starts, from the field's left edge, and the width of
// the whole text (upright).
std::vector<double> CharacterLefts(const BoardField& field, double& width) {
  std::vector<double> lefts;
  double left = 0.0;
  for (size_t i = 0; i < field.text.size(); ++i) {
    lefts.push_back(left);
    left += CellWidth(field, field.text[i]);
    width = left;
    if (i + 1 < field.text.size()) left += GapAfter(field, i);
  }
  if (field.text.empty()) width = 0.0;
  return lefts;
}

void DrawField(cv::Mat& image, const BoardField& field) {
  const double hd = field.digit_height;
  const double top = field.y * image.rows;
  const double dot = std::max(field.thickness * hd * 1.15, 1.5);
  const Lean lean{field.slant, top + hd};
  double width = 0.0;
  const std::vector<double> lefts = CharacterLefts(field, width);
  for (size_t i = 0; i < field.text.size(); ++i) {
    const char c = field.text[i];
    const double left = field.x * image.cols + lefts[i];
    const double cell = CellWidth(field, c);
    if (c >= '0' && c <= '9') {
      if (field.ghosts) DrawDigit(image, left, top, field, kSegments[8], field.ghost_colour);
      constexpr std::array<bool, 7> kFourBarSeven = {true, true, true, false, false, true, false};
      const bool four_bar = c == '7' && field.seven_upper_left;
      DrawDigit(image, left, top, field, four_bar ? kFourBarSeven : kSegments[c - '0'], field.lit_colour);
    } else if (c == ' ') {
      if (field.ghosts) DrawDigit(image, left, top, field, kSegments[8], field.ghost_colour);
    } else if (c == ':') {
      DrawDot(image, left + cell / 2.0, top + 0.32 * hd, dot, lean, field.lit_colour);
      DrawDot(image, left + cell / 2.0, top + 0.68 * hd, dot, lean, field.lit_colour);
    } else if (c == '.') {
      DrawDot(image, left + cell / 2.0, top + hd - dot / 2.0, dot, lean, field.lit_colour);
    }
  }
}

cv::Matx33d GeometricWarp(const cv::Size& size, const BoardPerturbation& p, cv::RNG& rng) {
  cv::Matx33d warp = cv::Matx33d::eye();
  if (p.rotation_degrees != 0.0) {
    const cv::Mat r = cv::getRotationMatrix2D(cv::Point2f(size.width * 0.5f, size.height * 0.5f),
                                              p.rotation_degrees, 1.0);
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 3; ++j) warp(i, j) = r.at<double>(i, j);
    }
  }
  if (p.perspective > 0.0) {
    const float w = static_cast<float>(size.width - 1);
    const float h = static_cast<float>(size.height - 1);
    const cv::Point2f source[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    cv::Point2f moved[4];
    for (int i = 0; i < 4; ++i) {
      moved[i] = source[i] + cv::Point2f(static_cast<float>(rng.uniform(-p.perspective, p.perspective) * w),
                                         static_cast<float>(rng.uniform(-p.perspective, p.perspective) * h));
    }
    warp = cv::Matx33d(cv::getPerspectiveTransform(source, moved)) * warp;
  }
  return warp;
}

FieldTruth MovedTruth(const FieldTruth& truth, const cv::Matx33d& warp, const cv::Size& size) {
  const double w = size.width;
  const double h = size.height;
  const std::vector<cv::Point2d> corners = {{truth.x * w, truth.y * h},
                                            {(truth.x + truth.width) * w, truth.y * h},
                                            {(truth.x + truth.width) * w, (truth.y + truth.height) * h},
                                            {truth.x * w, (truth.y + truth.height) * h}};
  std::vector<cv::Point2d> moved;
  cv::perspectiveTransform(corners, moved, cv::Mat(warp));
  double x0 = w, y0 = h, x1 = 0.0, y1 = 0.0;
  for (const cv::Point2d& p : moved) {
    x0 = std::min(x0, p.x);
    y0 = std::min(y0, p.y);
    x1 = std::max(x1, p.x);
    y1 = std::max(y1, p.y);
  }
  x0 = std::clamp(x0, 0.0, w);
  x1 = std::clamp(x1, 0.0, w);
  y0 = std::clamp(y0, 0.0, h);
  y1 = std::clamp(y1, 0.0, h);
  FieldTruth out = truth;
  out.x = x0 / w;
  out.y = y0 / h;
  out.width = std::max(x1 - x0, 0.0) / w;
  out.height = std::max(y1 - y0, 0.0) / h;
  return out;
}

}  // namespace

double FieldTextWidth(const BoardField& field) {
  double width = 0.0;
  CharacterLefts(field, width);
  return width + std::max(field.slant, 0.0) * field.digit_height;
}

RenderedBoard RenderScoreboard(const BoardDescription& board, const BoardPerturbation& perturbation) {
  RenderedBoard out;
  out.image = cv::Mat(board.height, board.width, CV_8UC3, board.background);
  const double w = board.width;
  const double h = board.height;
  for (const BoardField& field : board.fields) {
    DrawField(out.image, field);
    const FieldMargins m = field.side_margins.value_or(
        FieldMargins{field.margin, field.margin, field.margin, field.margin});
    const double hd = field.digit_height;
    out.fields.push_back(FieldTruth{field.name, field.text, (field.x * w - m.left * hd) / w,
                                    (field.y * h - m.top * hd) / h,
                                    (FieldTextWidth(field) + (m.left + m.right) * hd) / w,
                                    (hd + (m.top + m.bottom) * hd) / h});
  }
  for (const PossessionLampSpec& lamp : board.lamps) {
    const double r = lamp.diameter / 2.0;
    cv::circle(out.image, Fixed(lamp.x * w, lamp.y * h), static_cast<int>(std::lround(r * kScale)),
               lamp.lit ? lamp.lit_colour : lamp.unlit_colour, cv::FILLED, cv::LINE_AA, kShift);
    // The zone leaves a fifth of the radius around the lamp.
    out.fields.push_back(FieldTruth{lamp.name, std::string(1, lamp.lit ? '1' : '0'), (lamp.x * w - r * 1.2) / w,
                                    (lamp.y * h - r * 1.2) / h, 2.4 * r / w, 2.4 * r / h});
  }

  cv::RNG rng(perturbation.seed);
  const cv::Size size(board.width, board.height);
  const cv::Matx33d warp = GeometricWarp(size, perturbation, rng);
  if (warp != cv::Matx33d::eye()) {
    cv::Mat moved;
    cv::warpPerspective(out.image, moved, cv::Mat(warp), size, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                        board.background);
    out.image = moved;
    for (FieldTruth& truth : out.fields) truth = MovedTruth(truth, warp, size);
  }
  if (perturbation.blur_sigma > 0.0) {
    cv::GaussianBlur(out.image, out.image, cv::Size(0, 0), perturbation.blur_sigma);
  }
  if (perturbation.gain != 1.0 || perturbation.brightness != 0.0) {
    out.image.convertTo(out.image, -1, perturbation.gain, perturbation.brightness);
  }
  if (perturbation.noise_sigma > 0.0) {
    cv::Mat noise(out.image.size(), CV_32FC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, perturbation.noise_sigma);
    cv::Mat noisy;
    out.image.convertTo(noisy, CV_32FC3);
    noisy += noise;
    noisy.convertTo(out.image, CV_8UC3);
  }
  if (perturbation.jpeg_quality > 0) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", out.image, bytes, {cv::IMWRITE_JPEG_QUALITY, perturbation.jpeg_quality});
    out.image = cv::imdecode(bytes, cv::IMREAD_COLOR);
  }
  return out;
}

BoardDescription SingleFieldBoard(const BoardField& field, const cv::Scalar& background) {
  BoardDescription board;
  board.background = background;
  const double hd = field.digit_height;
  board.width = static_cast<int>(std::ceil(FieldTextWidth(field) + 2.0 * hd));
  board.height = static_cast<int>(std::ceil(3.0 * hd));
  BoardField placed = field;
  placed.x = hd / board.width;
  placed.y = hd / board.height;
  board.fields.push_back(placed);
  return board;
}

}  // namespace tessvark
