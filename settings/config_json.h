#pragma once

#include <string>
#include <string_view>

#include "core/json_value.h"

namespace tessvark {

// A corner of the scoreboard on the source picture, in fractions 0..1; y grows downwards.
struct CornerPoint {
  double x = 0.0;
  double y = 0.0;
};

// The four corners of one source profile as the configuration files hold them, always in the
// order top_left, top_right, bottom_right, bottom_left.
struct ProfileCorners {
  CornerPoint top_left;
  CornerPoint top_right;
  CornerPoint bottom_right;
  CornerPoint bottom_left;
};

// The whole picture: (0,0), (1,0), (1,1), (0,1).
ProfileCorners IdentityCorners();

// Compact JSON with no white space: numbers by "%.17g" (null when not finite), strings through
// EscapeJsonText, object members in document order with duplicates kept.
std::string WriteCompactJson(const JsonValue& value);

// The ten source types "source_config.json" may name, compared byte for byte.
bool IsKnownSourceType(std::string_view type);

// True for a quad whose corners lie in 0..1, are at least 0.001 apart, enclose an area of at
// least 0.001 running clockwise on the screen, and form a convex, uncrossed shape.
bool IsStableQuad(const ProfileCorners& corners);

// Reads a "points" object of exactly the four named corners, each exactly {"x":..,"y":..}
// with numbers, and accepts it only when the quad is stable. On false `corners` is not
// meaningful.
bool ReadCornerPoints(const JsonValue& value, ProfileCorners& corners);

// {"top_left":{"x":..,"y":..},...} with "%.17g" numbers and no white space.
std::string WriteCornerPoints(const ProfileCorners& corners);

}  // namespace tessvark
