#include "session/ocr_zone.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/json_text.h"
#include "session/reply_json.h"
#include "core/agent_roles.h"

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

std::string ZoneProcessingJson(const ZoneProcessing& processing) {
  std::string out = "{\"threshold\":" + std::to_string(processing.threshold);
  out += ",\"contrast\":" + FormatJsonNumber(processing.contrast);
  out += ",\"brightness\":" + std::to_string(processing.brightness);
  out += ",\"gamma\":" + FormatJsonNumber(processing.gamma);
  out += ",\"rotation\":" + FormatJsonNumber(processing.rotation);
  out += ",\"blur\":" + std::to_string(processing.blur);
  out += ",\"morphology\":";
  out += QuotedJsonText(processing.morphology);
  out += ",\"morph_size\":" + std::to_string(processing.morph_size);
  out += ",\"grayscale\":";
  out += JsonBool(processing.grayscale);
  out += ",\"binarize\":";
  out += JsonBool(processing.binarize);
  out += ",\"invert\":";
  out += JsonBool(processing.invert);
  out += '}';
  return out;
}

std::string OcrZoneJson(const OcrZone& zone) {
  std::string out = "{\"id\":";
  out += QuotedJsonText(zone.id);
  out += ",\"role\":";
  out += QuotedJsonText(zone.role);
  out += ",\"name\":";
  out += QuotedJsonText(zone.name);
  out += ",\"type\":";
  out += QuotedJsonText(zone.type);
  out += ",\"x\":" + FormatJsonNumber(zone.x);
  out += ",\"y\":" + FormatJsonNumber(zone.y);
  out += ",\"width\":" + FormatJsonNumber(zone.width);
  out += ",\"height\":" + FormatJsonNumber(zone.height);
  out += ",\"processing\":";
  out += zone.processing ? ZoneProcessingJson(*zone.processing) : "null";
  if (zone.clock_format != ClockFormat::Auto) {
    out += ",\"clock_format\":";
    out += QuotedJsonText(ClockFormatName(zone.clock_format));
  }
  if (zone.has_perspective) {
    out += ",\"perspective\":{\"enabled\":";
    out += JsonBool(zone.perspective_enabled);
    out += ",\"corners\":[";
    for (std::size_t i = 0; i < zone.corners.size(); ++i) {
      if (i > 0) out += ',';
      out += "{\"x\":" + FormatJsonNumber(zone.corners[i].x) +
             ",\"y\":" + FormatJsonNumber(zone.corners[i].y) + '}';
    }
    out += "]}";
  }
  if (zone.created_sequence) {
    out += ",\"created_sequence\":" + std::to_string(*zone.created_sequence);
  }
  out += '}';
  return out;
}

std::string OcrZoneListJson(const std::vector<OcrZone>& zones) {
  std::string out = "[";
  for (std::size_t i = 0; i < zones.size(); ++i) {
    if (i > 0) out += ',';
    out += OcrZoneJson(zones[i]);
  }
  out += ']';
  return out;
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
    if (member.integer != nullptr) {
      *member.integer = TruncateSaturating<int32_t>(found->number);
    } else {
      *member.number = found->number;
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

std::vector<OcrZone> ParseOcrZoneList(const std::string& text) {
  std::vector<OcrZone> zones;
  JsonValue document;
  try {
    document = ParseJson(text);
  } catch (const std::exception&) {
    return zones;
  }
  if (document.kind != JsonKind::kArray) return zones;
  try {
    for (const JsonValue& element : document.items) {
      if (element.kind != JsonKind::kObject) continue;
      const JsonValue* id = element.Find("id");
      const JsonValue* role = element.Find("role");
      if (id == nullptr || id->kind != JsonKind::kString) continue;
      if (role == nullptr || role->kind != JsonKind::kString) continue;
      const JsonValue* rect[4] = {element.Find("x"), element.Find("y"), element.Find("width"),
                                  element.Find("height")};
      bool numeric = true;
      for (const JsonValue* member : rect) {
        numeric = numeric && member != nullptr && member->kind == JsonKind::kNumber;
      }
      if (!numeric) continue;

      OcrZone zone;
      zone.id = id->text;
      zone.role = role->text;
      if (const JsonValue* name = element.Find("name"); name && name->kind == JsonKind::kString) {
        zone.name = name->text;
      }
      if (const JsonValue* type = element.Find("type"); type && type->kind == JsonKind::kString) {
        zone.type = type->text;
      }
      zone.x = rect[0]->number;
      zone.y = rect[1]->number;
      zone.width = rect[2]->number;
      zone.height = rect[3]->number;
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
