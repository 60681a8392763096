// The source geometry of the API: the scoreboard's four corners on the picture of the current
// source, or of a source named in the request.

#include "session/session_zones.h"

#include <array>

#include "core/json_text.h"
#include "session/reply_json.h"

namespace tessvark {
namespace {

constexpr const char* kCornersRequired =
    "Exactly top_left, top_right, bottom_right and bottom_left are required";
constexpr const char* kIdentityRequired = "Source identity requires source_type and source_id";

// The pseudo-source whose geometry is used while nothing is selected.
constexpr const char* kUnscopedType = "geometry";
constexpr const char* kUnscopedId = "unscoped";

std::string GeometryPointsJson(const SourceGeometry& geometry) {
  static const std::array<const char*, 4> kNames = {"top_left", "top_right", "bottom_right",
                                                    "bottom_left"};
  const CornerQuad corners = GeometryCorners(geometry);
  std::string out = "{";
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (i > 0) out += ',';
    out += std::string("\"") + kNames[i] + "\":{\"x\":" + FormatJsonNumber(corners[i].x) +
           ",\"y\":" + FormatJsonNumber(corners[i].y) + "}";
  }
  out += '}';
  return out;
}

// A member that is missing or null counts as not given.
const JsonValue* GivenMember(const JsonValue& body, const char* name) {
  const JsonValue* member = body.Find(name);
  return member == nullptr || member->kind == JsonKind::kNull ? nullptr : member;
}

bool IsNonEmptyString(const JsonValue* value) {
  return value != nullptr && value->kind == JsonKind::kString && !value->text.empty();
}

// Reads the four corners; empty on success, else the 422 message.
std::string ReadGeometryPoints(const JsonValue& points, SourceGeometry& geometry) {
  if (!HasExactKeys(points, {"top_left", "top_right", "bottom_right", "bottom_left"})) {
    return kCornersRequired;
  }
  const std::pair<const char*, GeometryPoint*> corners[4] = {
      {"top_left", &geometry.top_left},
      {"top_right", &geometry.top_right},
      {"bottom_right", &geometry.bottom_right},
      {"bottom_left", &geometry.bottom_left}};
  for (const auto& [name, point] : corners) {
    const JsonValue* corner = points.Find(name);
    if (!HasExactKeys(*corner, {"x", "y"})) {
      return std::string(name) + " must contain exactly x and y";
    }
    const std::pair<const char*, double*> axes[2] = {{"x", &point->x}, {"y", &point->y}};
    for (const auto& [axis, value] : axes) {
      const JsonValue* number = corner->Find(axis);
      if (number->kind != JsonKind::kNumber) {
        return std::string(name) + "." + axis + " must be numeric";
      }
      *value = number->number;
    }
  }
  return {};
}

}  // namespace

RuntimeResponse SessionZones::GetSourceGeometry() {
  MutexLock engine(engine_.mutex);
  const bool selected = engine_.selection.selected;
  const std::string type = selected ? engine_.selection.type : kUnscopedType;
  const std::string id = selected ? engine_.selection.id : kUnscopedId;
  const SourceGeometry& points = GeometryFor(engine_.zones, engine_.selection);
  return MakeOkResponse("{\"source_type\":" + QuotedJsonText(type) +
                        ",\"source_id\":" + QuotedJsonText(id) +
                        ",\"points\":" + GeometryPointsJson(points) + "}");
}

RuntimeResponse SessionZones::SetSourceGeometry(const std::string& body_text) {
  MutexLock engine(engine_.mutex);
  RuntimeResponse error;
  const std::optional<JsonValue> body = ParseRequestObject(body_text, error);
  if (!body) return error;
  const JsonValue* points = body->Find("points");
  if (points == nullptr || points->kind != JsonKind::kObject) {
    return MakeErrorResponse(422, kCornersRequired);
  }
  const JsonValue* type = GivenMember(*body, "source_type");
  const JsonValue* id = GivenMember(*body, "source_id");
  const bool identity_given = type != nullptr || id != nullptr;
  if (identity_given && !(IsNonEmptyString(type) && IsNonEmptyString(id))) {
    return MakeErrorResponse(422, kIdentityRequired);
  }
  SourceGeometry geometry;
  if (std::string refused = ReadGeometryPoints(*points, geometry); !refused.empty()) {
    return MakeErrorResponse(422, refused);
  }
  const SourceWarpPlan plan = PlanSourceWarp(64, 64, geometry);
  if (!plan.ok) return MakeErrorResponse(422, plan.error);

  // The unscoped pseudo-source always names the default geometry, also while a source is
  // selected: a map entry under its name would clash with the default in the stored file.
  const bool names_unscoped =
      identity_given && type->text == kUnscopedType && id->text == kUnscopedId;
  const bool current =
      !identity_given ||
      (engine_.selection.selected ? type->text == engine_.selection.type && id->text == engine_.selection.id
                      : names_unscoped);
  const std::map<std::string, SourceGeometry> previous_map = engine_.zones.geometries;
  const SourceGeometry previous_default = engine_.zones.default_geometry;
  if (current) {
    GeometryFor(engine_.zones, engine_.selection) = geometry;
  } else if (names_unscoped) {
    engine_.zones.default_geometry = geometry;
  } else {
    engine_.zones.geometries[type->text + "\n" + id->text] = geometry;
  }
  if (!SaveConfiguration(engine_.zones, engine_.selection)) {
    engine_.zones.geometries = previous_map;
    engine_.zones.default_geometry = previous_default;
    return MakeErrorResponse(500, "Configuration could not be saved");
  }
  if (current) frame_path_.Analyze(engine_, true, true);
  return MakeOkResponse("{\"points\":" + GeometryPointsJson(geometry) + "}");
}

}  // namespace tessvark
