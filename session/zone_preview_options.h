#pragma once

#include <array>
#include <string>

namespace tessvark {

// What a zone-preview request asks beyond the zone id, read from its query. The rectangle and the
// corners are in the units of a zone's own rectangle and perspective corners; corners run
// top_left, top_right, bottom_right, bottom_left.
struct ZonePreviewOptions {
  bool has_x = false;
  bool has_y = false;
  bool has_width = false;
  bool has_height = false;
  bool has_role = false;
  // Cleared when a numeric parameter that was read is not a finite number.
  bool numbers_valid = true;
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
  std::string role;
  bool perspective_set = false;
  bool perspective = false;
  // All four corner pairs were given.
  bool corners_complete = false;
  std::array<double, 4> corner_x{};
  std::array<double, 4> corner_y{};
};

}  // namespace tessvark
