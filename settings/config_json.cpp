#include "settings/config_json.h"

#include <array>
#include <cmath>

#include "core/json_writer.h"
#include "core/source_kind.h"

namespace tessvark {
namespace {

constexpr std::array<const char*, 4> kCornerNames = {"top_left", "top_right", "bottom_right",
                                                     "bottom_left"};

std::array<CornerPoint, 4> InOrder(const ProfileCorners& corners) {
  return {corners.top_left, corners.top_right, corners.bottom_right, corners.bottom_left};
}

}  // namespace

ProfileCorners IdentityCorners() { return {{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}}; }

std::string WriteCompactJson(const JsonValue& value) {
  return JsonWriter(kApiJson).Value(value).Take();
}

bool IsKnownSourceType(std::string_view type) { return ParseSourceKind(type).has_value(); }

bool IsStableQuad(const ProfileCorners& corners) {
  const std::array<CornerPoint, 4> p = InOrder(corners);
  for (const CornerPoint& point : p) {
    for (const double v : {point.x, point.y}) {
      if (!std::isfinite(v) || v < 0.0 || v > 1.0) return false;
    }
  }
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) {
      if (std::hypot(p[i].x - p[j].x, p[i].y - p[j].y) < 0.001) return false;
    }
  }
  double twice_area = 0.0;
  for (int i = 0; i < 4; ++i) {
    const CornerPoint& a = p[i];
    const CornerPoint& b = p[(i + 1) % 4];
    twice_area += a.x * b.y - b.x * a.y;
  }
  if (twice_area / 2.0 < 0.001) return false;
  for (int k = 0; k < 4; ++k) {
    const CornerPoint& c = p[k];
    const CornerPoint& a = p[(k + 1) % 4];
    const CornerPoint& b = p[(k + 2) % 4];
    const double turn = (a.x - c.x) * (b.y - a.y) - (a.y - c.y) * (b.x - a.x);
    if (!(turn > 0.0)) return false;
  }
  return true;
}

bool ReadCornerPoints(const JsonValue& value, ProfileCorners& corners) {
  if (value.kind != JsonKind::kObject || value.members.size() != 4) return false;
  std::array<CornerPoint, 4> read{};
  for (std::size_t i = 0; i < kCornerNames.size(); ++i) {
    const JsonValue* corner = value.Find(kCornerNames[i]);
    if (corner == nullptr || corner->kind != JsonKind::kObject || corner->members.size() != 2) {
      return false;
    }
    const JsonValue* x = corner->Find("x");
    const JsonValue* y = corner->Find("y");
    if (x == nullptr || y == nullptr || x->kind != JsonKind::kNumber ||
        y->kind != JsonKind::kNumber) {
      return false;
    }
    read[i] = {x->number, y->number};
  }
  corners = {read[0], read[1], read[2], read[3]};
  return IsStableQuad(corners);
}

std::string WriteCornerPoints(const ProfileCorners& corners) {
  const std::array<CornerPoint, 4> p = InOrder(corners);
  JsonWriter out(kApiJson);
  out.BeginObject();
  for (std::size_t i = 0; i < p.size(); ++i) {
    out.Key(kCornerNames[i]).BeginObject();
    out.Key("x").Double(p[i].x).Key("y").Double(p[i].y);
    out.EndObject();
  }
  return out.EndObject().Take();
}

}  // namespace tessvark
