#include "tools/example_media/example_scenes.h"

#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace tessvark {

namespace {

constexpr int kBoardWidth = 1000;
constexpr int kBoardHeight = 540;

const cv::Scalar kAmber{40, 190, 255};
// Bright enough to stay above the recognition's default threshold once turned to grey.
const cv::Scalar kRed{80, 130, 255};
const cv::Scalar kGreen{90, 230, 90};
const cv::Scalar kLabel{225, 225, 225};

std::string Format(const char* format, int value) {
  char text[16];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

// "mm:ss" with a blank for a missing tens-of-minutes digit, so the field keeps five characters.
std::string ClockText(int seconds) {
  char text[16];
  std::snprintf(text, sizeof(text), "%2d:%02d", seconds / 60, seconds % 60);
  return text;
}

// A field centred on `centre_x` (fraction of the board width).
BoardField Field(const std::string& name, const std::string& text, double centre_x, double y, int digit_height,
                 const cv::Scalar& colour) {
  BoardField field;
  field.name = name;
  field.text = text;
  field.y = y;
  field.digit_height = digit_height;
  field.lit_colour = colour;
  field.ghosts = true;
  field.ghost_colour = cv::Scalar(34, 34, 38);
  field.x = (centre_x * kBoardWidth - FieldTextWidth(field) / 2.0) / kBoardWidth;
  return field;
}

struct Label {
  std::string text;
  double centre_x;  // fractions of the board
  double baseline_y;
};

// Draws the board flat, writes its captions, and sets it into a picture of the arena with the
// board's corners at `corners` (pixels), as a camera slightly off-axis would see it.
ExampleScene Compose(const BoardDescription& board, const std::vector<Label>& labels,
                     const std::array<cv::Point2f, 4>& corners) {
  RenderedBoard flat = RenderScoreboard(board);
  for (const Label& label : labels) {
    const int font = cv::FONT_HERSHEY_DUPLEX;
    const double scale = 0.9;
    int baseline = 0;
    const cv::Size size = cv::getTextSize(label.text, font, scale, 2, &baseline);
    const cv::Point origin(static_cast<int>(label.centre_x * kBoardWidth - size.width / 2.0),
                           static_cast<int>(label.baseline_y * kBoardHeight));
    cv::putText(flat.image, label.text, origin, font, scale, kLabel, 2, cv::LINE_AA);
  }

  // The arena: a dark wall, lighter towards the top, behind a grey housing around the board.
  cv::Mat picture(kExampleHeight, kExampleWidth, CV_8UC3);
  for (int y = 0; y < kExampleHeight; ++y) {
    const double shade = 1.0 - 0.5 * y / kExampleHeight;
    picture.row(y).setTo(cv::Scalar(70 * shade, 58 * shade, 48 * shade));
  }
  const std::array<cv::Point2f, 4> board_corners = {cv::Point2f(0, 0), cv::Point2f(kBoardWidth, 0),
                                                    cv::Point2f(kBoardWidth, kBoardHeight),
                                                    cv::Point2f(0, kBoardHeight)};
  const cv::Mat warp = cv::getPerspectiveTransform(board_corners.data(), corners.data());
  std::vector<cv::Point2f> housing_flat = {{-24, -24}, {kBoardWidth + 24, -24}, {kBoardWidth + 24, kBoardHeight + 24},
                                           {-24, kBoardHeight + 24}};
  std::vector<cv::Point2f> housing;
  cv::perspectiveTransform(housing_flat, housing, warp);
  std::vector<cv::Point> housing_points(housing.begin(), housing.end());
  cv::fillConvexPoly(picture, housing_points, cv::Scalar(92, 92, 96), cv::LINE_AA);
  cv::warpPerspective(flat.image, picture, warp, picture.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
  // A touch of lens softness.
  cv::GaussianBlur(picture, picture, cv::Size(0, 0), 0.6);

  ExampleScene scene;
  scene.image = picture;
  for (size_t i = 0; i < 4; ++i) {
    scene.corners[i] = cv::Point2d(corners[i].x / kExampleWidth, corners[i].y / kExampleHeight);
  }
  scene.fields = flat.fields;
  return scene;
}

}  // namespace

ExampleScene RenderHockeyScene(int frame) {
  const int s = frame / kExampleFps;  // every value on the board changes on whole seconds
  const bool third_period = s >= 12;
  const int clock = third_period ? 20 * 60 - (s - 12) : 12 - s;
  const int home = s < 5 ? 2 : 3;
  const int guest = s < 13 ? 1 : 2;
  const int home_shots = 18 + (s >= 5 ? 1 : 0) + (s >= 9 ? 1 : 0);
  const int guest_shots = 14 + (s >= 3 ? 1 : 0) + (s >= 13 ? 1 : 0);
  // The shot clock starts again after the home goal, at the new period and after the guest goal.
  const int shot_clock = s < 5 ? 14 - s : s < 12 ? 20 - (s - 5) : s < 13 ? 20 : 20 - (s - 13);
  const int home_penalty = 90 - s;
  const bool guest_penalty_shown = s < 5 || s >= 10;
  const int guest_penalty = s < 5 ? 5 - s : 120 - (s - 10);
  const int guest_player = s < 5 ? 8 : 23;

  BoardDescription board;
  board.width = kBoardWidth;
  board.height = kBoardHeight;
  board.background = cv::Scalar(22, 20, 20);
  board.fields = {
      Field("home_score", Format("%2d", home), 0.14, 0.13, 96, kRed),
      Field("clock", ClockText(clock), 0.50, 0.11, 110, kAmber),
      Field("guest_score", Format("%2d", guest), 0.86, 0.13, 96, kRed),
      Field("home_shots", Format("%2d", home_shots), 0.14, 0.52, 56, kAmber),
      Field("period", Format("%d", third_period ? 3 : 2), 0.50, 0.50, 70, kGreen),
      Field("guest_shots", Format("%2d", guest_shots), 0.86, 0.52, 56, kAmber),
      Field("home_penalty_player_1", Format("%2d", 17), 0.08, 0.80, 48, kAmber),
      Field("home_penalty_1", ClockText(home_penalty), 0.25, 0.80, 48, kAmber),
      Field("shot_clock", Format("%2d", shot_clock), 0.50, 0.78, 64, kRed),
      Field("guest_penalty_player_1", guest_penalty_shown ? Format("%2d", guest_player) : "  ", 0.92, 0.80, 48,
            kAmber),
      Field("guest_penalty_1", guest_penalty_shown ? ClockText(guest_penalty) : "     ", 0.75, 0.80, 48,
            kAmber),
  };
  const std::vector<Label> labels = {
      {"HOME", 0.14, 0.085},   {"GUEST", 0.86, 0.085},  {"SHOTS", 0.14, 0.475}, {"PERIOD", 0.50, 0.455},
      {"SHOTS", 0.86, 0.475},  {"PLAYER", 0.08, 0.755}, {"PENALTY", 0.25, 0.755}, {"SHOT CLOCK", 0.50, 0.735},
      {"PENALTY", 0.75, 0.755}, {"PLAYER", 0.92, 0.755},
  };
  return Compose(board, labels,
                 {cv::Point2f(190, 112), cv::Point2f(1098, 84), cv::Point2f(1136, 640), cv::Point2f(152, 602)});
}

ExampleScene RenderFootballScene() {
  BoardDescription board;
  board.width = kBoardWidth;
  board.height = kBoardHeight;
  board.background = cv::Scalar(20, 22, 18);
  board.fields = {
      Field("home_score", "14", 0.15, 0.14, 96, kRed),
      Field("clock", ClockText(8 * 60 + 42), 0.50, 0.11, 110, kAmber),
      Field("guest_score", "10", 0.85, 0.14, 96, kRed),
      Field("home_timeouts", "2", 0.15, 0.52, 56, kAmber),
      Field("period", "3", 0.50, 0.50, 70, kGreen),
      Field("guest_timeouts", "3", 0.85, 0.52, 56, kAmber),
      Field("down", "2", 0.20, 0.80, 64, kAmber),
      Field("to_go", " 7", 0.50, 0.80, 64, kAmber),
      Field("ball_on", "35", 0.80, 0.80, 64, kAmber),
  };
  PossessionLampSpec home_lamp;
  home_lamp.name = "home_possession";
  home_lamp.x = 0.15;
  home_lamp.y = 0.395;
  home_lamp.diameter = 26;
  home_lamp.lit = true;
  home_lamp.lit_colour = kAmber;
  PossessionLampSpec guest_lamp = home_lamp;
  guest_lamp.name = "guest_possession";
  guest_lamp.x = 0.85;
  guest_lamp.lit = false;
  board.lamps = {home_lamp, guest_lamp};
  const std::vector<Label> labels = {
      {"HOME", 0.15, 0.095},      {"GUEST", 0.85, 0.095}, {"TIMEOUTS", 0.15, 0.475}, {"QTR", 0.50, 0.455},
      {"TIMEOUTS", 0.85, 0.475},  {"DOWN", 0.20, 0.755},  {"TO GO", 0.50, 0.755},    {"BALL ON", 0.80, 0.755},
  };
  return Compose(board, labels,
                 {cv::Point2f(128, 92), cv::Point2f(1168, 122), cv::Point2f(1146, 628), cv::Point2f(146, 664)});
}

}  // namespace tessvark
