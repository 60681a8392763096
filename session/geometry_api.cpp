// The source geometry of the API: the scoreboard's four corners on the picture of the current
// source, or of a source named in the request.

#include "session/session_zones.h"

#include <array>

#include "core/json_writer.h"

namespace tessvark {
namespace {

constexpr const char* kCornersRequired =
    "Exactly top_left, top_right, bottom_right and bottom_left are required";
constexpr const char* kIdentityRequired = "Source identity requires source_type and source_id";

// The pseudo-source whose geometry is used while nothing is selected.
constexpr const char* kUnscopedType = "geometry";
constexpr const char* kUnscopedId = "unscoped";

void WriteGeometryPoints(const SourceGeometry& geometry, JsonWriter& out) {
  static const std::array<const char*, 4> kNames = {"top_left", "top_right", "bottom_right",
                                                    "bottom_left"};
  const CornerQuad corners = GeometryCorners(geometry);
  out.BeginObject();
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    out.Key(kNames[i]).BeginObject();
    out.Key("x").Double(corners[i].x).Key("y").Double(corners[i].y);
    out.EndObject();
  }
  out.EndObject();
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
  const std::string_view type =
      selected ? SourceKindName(engine_.selection.type) : std::string_view(kUnscopedType);
  const std::string id = selected ? engine_.selection.id : kUnscopedId;
  const SourceGeometry& points = GeometryFor(engine_.zones, engine_.selection);
  JsonWriter out(kApiJson);
  out.BeginObject().Key("source_type").String(type).Key("source_id").String(id);
  WriteGeometryPoints(points, out.Key("points"));
  return MakeOkResponse(out.EndObject().Take());
}

RuntimeResponse SessionZones::SetSourceGeometry(const std::string& body_text) {
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
  MutexLock settings(settings_);
  SettingsChange change;
  bool current = false;
  {
    MutexLock engine(engine_.mutex);
    const bool names_selection = identity_given &&
                                 type->text == SourceKindName(engine_.selection.type) &&
                                 id->text == engine_.selection.id;
    current = !identity_given || (engine_.selection.selected ? names_selection : names_unscoped);
    const SourceSelection selection = engine_.selection;
    const std::string other = identity_given ? type->text + "\n" + id->text : std::string();
    change = PrepareConfigurationChange(engine_.zones, selection, [=](ZoneBook& book) {
      if (current) {
        GeometryFor(book, selection) = geometry;
      } else if (names_unscoped) {
        book.default_geometry = geometry;
      } else {
        book.geometries[other] = geometry;
      }
    });
  }
  if (std::optional<RuntimeResponse> failed = Store(change, current)) return *failed;
  JsonWriter out(kApiJson);
  WriteGeometryPoints(geometry, out.BeginObject().Key("points"));
  return MakeOkResponse(out.EndObject().Take());
}

}  // namespace tessvark
