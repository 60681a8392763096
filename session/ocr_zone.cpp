#include "session/ocr_zone.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/agent_roles.h"
#include "core/json_writer.h"

namespace tessvark {
namespace {

// Truncates toward zero, saturating at the type's range, so that a huge stored number cannot
// become undefined behaviour in a cast.
template <typename Int>
Int TruncateSaturating(double value) {
  constexpr double kLow = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kHigh = static_cast<double>(std::numeric_limits<Int>::max());
  if (std::isnan(value)) return 0;
  const double truncated = std::trunc(value);
  if (truncated <= kLow) return std::numeric_limits<Int>::min();
  if (truncated >= kHigh) return std::numeric_limits<Int>::max();
  return static_cast<Int>(truncated);
}

}  // namespace

void WriteZoneProcessing(const ZoneProcessing& processing, JsonWriter& out) {
  out.BeginObject();
  out.Key("threshold").Int(processing.threshold);
  out.Key("contrast").Double(processing.contrast);
  out.Key("brightness").Int(processing.brightness);
  out.Key("gamma").Double(processing.gamma);
  out.Key("rotation").Double(processing.rotation);
  out.Key("blur").Int(processing.blur);
  out.Key("morphology").String(processing.morphology);
  out.Key("morph_size").Int(processing.morph_size);
  out.Key("grayscale").Bool(processing.grayscale);
  out.Key("binarize").Bool(processing.binarize);
  out.Key("invert").Bool(processing.invert);
  out.EndObject();
}

void WriteOcrZone(const OcrZone& zone, JsonWriter& out) {
  out.BeginObject();
  out.Key("id").String(zone.id);
  out.Key("role").String(zone.role);
  out.Key("name").String(zone.name);
  out.Key("type").String(zone.type);
  out.Key("x").Double(zone.x);
  out.Key("y").Double(zone.y);
  out.Key("width").Double(zone.width);
  out.Key("height").Double(zone.height);
  out.Key("processing");
  if (zone.processing) {
    WriteZoneProcessing(*zone.processing, out);
  } else {
    out.Null();
  }
  if (zone.clock_format != ClockFormat::Auto) {
    out.Key("clock_format").String(ClockFormatName(zone.clock_format));
  }
  if (zone.has_perspective) {
    out.Key("perspective").BeginObject();
    out.Key("enabled").Bool(zone.perspective_enabled);
    out.Key("corners").BeginArray();
    for (const GeometryPoint& corner : zone.corners) {
      out.BeginObject().Key("x").Double(corner.x).Key("y").Double(corner.y).EndObject();
    }
    out.EndArray();
    out.EndObject();
  }
  if (zone.created_sequence) out.Key("created_sequence").Int(*zone.created_sequence);
  out.EndObject();
}

std::string ZoneProcessingJson(const ZoneProcessing& processing) {
  JsonWriter out(kApiJson);
  WriteZoneProcessing(processing, out);
  return out.Take();
}

std::string OcrZoneJson(const OcrZone& zone) {
  JsonWriter out(kApiJson);
  WriteOcrZone(zone, out);
  return out.Take();
}

std::string OcrZoneListJson(const std::vector<OcrZone>& zones) {
  JsonWriter out(kApiJson);
  WriteOcrZoneList(zones, out);
  return out.Take();
}

void WriteOcrZoneList(const std::vector<OcrZone>& zones, JsonWriter& out) {
  out.BeginArray();
  for (const OcrZone& zone : zones) WriteOcrZone(zone, out);
  out.EndArray();
}

std::optional<ZoneProcessing> ParseZoneProcessing(const JsonValue& value, std::string& error) {
  if (value.kind == JsonKind::kNull) return std::nullopt;
  if (value.kind != JsonKind::kObject) {
    error = "Zone processing must be an object";
    return std::nullopt;
  }
  ZoneProcessing processing;
  struct NumericMember {
    const char* name;
    int32_t* integer;
    double* number;
  };
  const NumericMember numeric[] = {
      {"threshold", &processing.threshold, nullptr},
      {"contrast", nullptr, &processing.contrast},
      {"brightness", &processing.brightness, nullptr},
      {"gamma", nullptr, &processing.gamma},
      {"rotation", nullptr, &processing.rotation},
      {"blur", &processing.blur, nullptr},
      {"morph_size", &processing.morph_size, nullptr},
  };
  for (const NumericMember& member : numeric) {
    const JsonValue* found = value.Find(member.name);
    if (found == nullptr) continue;
    if (found->kind != JsonKind::kNumber) {
      error = std::string(member.name) + " must be numeric";
      continue;
    }
    // A literal too large for a double would be written back as null, which refuses the whole
    // processing at the next reading.
    const std::optional<double> number = found->FiniteNumber();
    if (!number) {
      error = std::string(member.name) + " is not a finite number";
      continue;
    }
    if (member.integer != nullptr) {
      *member.integer = TruncateSaturating<int32_t>(*number);
    } else {
      *member.number = *number;
    }
  }
  if (!error.empty()) return std::nullopt;
  if (const JsonValue* morphology = value.Find("morphology")) {
    if (morphology->kind != JsonKind::kString) {
      error = "morphology must be a string";
      return std::nullopt;
    }
    processing.morphology = morphology->text;
  }
  struct FlagMember {
    const char* name;
    bool* flag;
  };
  const FlagMember flags[] = {{"grayscale", &processing.grayscale},
                              {"binarize", &processing.binarize},
                              {"invert", &processing.invert}};
  for (const FlagMember& member : flags) {
    const JsonValue* found = value.Find(member.name);
    if (found == nullptr) continue;
    if (found->kind != JsonKind::kBool) {
      error = std::string(member.name) + " must be a boolean";
      continue;
    }
    *member.flag = found->bool_value;
  }
  if (!error.empty()) return std::nullopt;
  return ClampZoneProcessing(processing);
}

bool ParseZonePerspective(const JsonValue& value, OcrZone& zone, std::string& error) {
  if (value.kind == JsonKind::kNull) {
    zone.perspective_enabled = false;
    zone.has_perspective = false;
    zone.corners = CornerQuad{};
    return true;
  }
  if (value.kind != JsonKind::kObject) {
    error = "Perspective must be an object";
    return false;
  }
  const JsonValue* enabled = value.Find("enabled");
  if (enabled == nullptr || enabled->kind != JsonKind::kBool) {
    error = "Perspective enabled must be a boolean";
    return false;
  }
  const JsonValue* corners = value.Find("corners");
  if (corners == nullptr || corners->kind != JsonKind::kArray || corners->items.size() != 4) {
    error = "Perspective requires four corners";
    return false;
  }
  CornerQuad quad{};
  for (std::size_t i = 0; i < 4; ++i) {
    const JsonValue& corner = corners->items[i];
    if (corner.kind != JsonKind::kObject) {
      error = "Perspective corners must be objects";
      return false;
    }
    const JsonValue* x = corner.Find("x");
    const JsonValue* y = corner.Find("y");
    const std::optional<double> fx = x ? x->FiniteNumber() : std::nullopt;
    const std::optional<double> fy = y ? y->FiniteNumber() : std::nullopt;
    if (!fx || !fy) {
      error = "Perspective corners must be finite numbers";
      return false;
    }
    quad[i] = GeometryPoint{*fx, *fy};
  }
  zone.corners = quad;
  zone.perspective_enabled = enabled->bool_value;
  zone.has_perspective = true;
  return true;
}

ZoneRectangle ReadZoneRectangle(const JsonValue& zone) {
  ZoneRectangle rectangle;
  const std::pair<const char*, double*> members[] = {{"x", &rectangle.x},
                                                     {"y", &rectangle.y},
                                                     {"width", &rectangle.width},
                                                     {"height", &rectangle.height}};
  for (const auto& [name, target] : members) {
    if (zone.Find(name) != nullptr) continue;
    rectangle.fault = ZoneRectangleFault::kMissing;
    rectangle.member = name;
    return rectangle;
  }
  for (const auto& [name, target] : members) {
    const JsonValue* value = zone.Find(name);
    const std::optional<double> number = value->FiniteNumber();
    if (!number) {
      rectangle.fault = value->kind == JsonKind::kNumber ? ZoneRectangleFault::kNotFinite
                                                         : ZoneRectangleFault::kNotNumber;
      rectangle.member = name;
      return rectangle;
    }
    *target = *number;
  }
  return rectangle;
}

std::string ZoneRectangleRefusal(const ZoneRectangle& rectangle) {
  switch (rectangle.fault) {
    case ZoneRectangleFault::kNone:
      return {};
    case ZoneRectangleFault::kMissing:
      return "Zone is missing a required field";
    case ZoneRectangleFault::kNotNumber:
      return "Zone coordinates must be numeric";
    case ZoneRectangleFault::kNotFinite:
      break;
  }
  return rectangle.member + " is not a finite number";
}

std::vector<OcrZone> ParseOcrZoneList(const std::string& text, std::vector<std::string>* refusals) {
  std::vector<OcrZone> zones;
  JsonValue document;
  try {
    document = ParseJson(text);
  } catch (const std::exception&) {
    return zones;
  }
  if (document.kind != JsonKind::kArray) return zones;
  try {
    std::size_t position = 0;
    for (const JsonValue& element : document.items) {
      ++position;
      const auto refuse = [&](const std::string& reason) {
        if (refusals == nullptr) return;
        refusals->push_back("zone " + std::to_string(position) + ": " + reason);
      };
      if (element.kind != JsonKind::kObject) {
        refuse("not an object");
        continue;
      }
      const JsonValue* id = element.Find("id");
      const JsonValue* role = element.Find("role");
      if (id == nullptr || id->kind != JsonKind::kString) {
        refuse("id is not a string");
        continue;
      }
      if (role == nullptr || role->kind != JsonKind::kString) {
        refuse("role is not a string");
        continue;
      }
      // A number that is not finite would be written back as null, and the zone lost at the
      // next reading without a word: it is refused here, with its reason.
      const ZoneRectangle rect = ReadZoneRectangle(element);
      if (rect.fault == ZoneRectangleFault::kMissing) {
        refuse(rect.member + " is missing");
        continue;
      }
      if (rect.fault != ZoneRectangleFault::kNone) {
        refuse(rect.member + " is not a finite number");
        continue;
      }

      OcrZone zone;
      zone.id = id->text;
      zone.role = role->text;
      if (const JsonValue* name = element.Find("name"); name && name->kind == JsonKind::kString) {
        zone.name = name->text;
      }
      if (const JsonValue* type = element.Find("type"); type && type->kind == JsonKind::kString) {
        zone.type = type->text;
      }
      zone.x = rect.x;
      zone.y = rect.y;
      zone.width = rect.width;
      zone.height = rect.height;
      if (const JsonValue* processing = element.Find("processing")) {
        std::string error;
        std::optional<ZoneProcessing> parsed = ParseZoneProcessing(*processing, error);
        if (error.empty()) zone.processing = std::move(parsed);
      }
      if (const JsonValue* format = element.Find("clock_format");
          format && format->kind == JsonKind::kString && IsClockFormatName(format->text)) {
        zone.clock_format = ParseClockFormat(format->text);
      }
      if (const JsonValue* perspective = element.Find("perspective")) {
        std::string error;
        if (!ParseZonePerspective(*perspective, zone, error)) {
          zone.perspective_enabled = false;
          zone.has_perspective = false;
        }
      }
      if (const JsonValue* sequence = element.Find("created_sequence")) {
        const std::optional<double> number = sequence->FiniteNumber();
        if (number && *number >= 1.0) zone.created_sequence = TruncateSaturating<int64_t>(*number);
      }
      zones.push_back(std::move(zone));
    }
  } catch (const std::bad_alloc&) {
    // Keep what was read before memory ran out.
  }
  return zones;
}

AnalysisZone ToAnalysisZone(const OcrZone& zone) {
  AnalysisZone out;
  out.id = zone.id;
  out.role = zone.role;
  out.x = zone.x;
  out.y = zone.y;
  out.width = zone.width;
  out.height = zone.height;
  out.processing = zone.processing;
  out.clock_format = zone.clock_format;
  out.perspective = zone.perspective_enabled;
  out.corners = zone.corners;
  return out;
}

bool IsValidZoneId(const std::string& id) {
  if (id.empty() || id.size() > 80) return false;
  if (id == "." || id == "..") return false;
  if (id.find('/') != std::string::npos || id.find('\\') != std::string::npos) return false;
  return id.find("..") == std::string::npos;
}

std::optional<ZoneRoleRow> FindZoneRole(const std::string& role) {
  const AgentRole* row = FindAgentRole(role);
  if (row == nullptr) return std::nullopt;
  return ZoneRoleRow{std::string(row->role), std::string(row->display_name),
                     std::string(row->zone_type)};
}

std::string ZoneProfileKey(bool selected, const std::string& source_type,
                           const std::string& source_id) {
  if (!selected) return "none";
  return source_type + "\n" + source_id;
}

ZoneProcessing ProcessingOrDefaults(const OcrZone& zone) {
  return zone.processing ? *zone.processing : ZoneProcessing{};
}

}  // namespace tessvark
