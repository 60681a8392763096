#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json_value.h"
#include "core/json_writer.h"
#include "ocr/analysis_inputs.h"
#include "ocr/digit_layout.h"
#include "ocr/zone_preprocessing.h"

namespace tessvark {

// One field of the scoreboard as the operator marked it on the working image. Whenever
// has_perspective is false, perspective_enabled is false and the corners are zero.
struct OcrZone {
  std::string id;
  std::string role;  // one of the agent roles
  std::string name;  // the role's display name
  std::string type;  // "score", "period", "clock" or "indicator"
  double x = 0.0;    // fractions of the working image
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
  std::optional<ZoneProcessing> processing;  // absent: the engine's defaults
  ClockFormat clock_format = ClockFormat::Auto;
  bool perspective_enabled = false;
  bool has_perspective = false;
  CornerQuad corners{};  // top_left, top_right, bottom_right, bottom_left
  std::optional<std::int64_t> created_sequence;
};

// One row of the role table as the zone operations read it.
struct ZoneRoleRow {
  std::string role;
  std::string name;
  std::string type;
};

// Compact JSON of a zone, of a zone list ("[]" when empty) and of a processing object, in the
// style of the API replies (kApiJson: numbers by "%.17g", null when not finite); the Write forms
// put them into a reply being written.
std::string OcrZoneJson(const OcrZone& zone);
std::string OcrZoneListJson(const std::vector<OcrZone>& zones);
std::string ZoneProcessingJson(const ZoneProcessing& processing);
void WriteOcrZone(const OcrZone& zone, JsonWriter& out);
void WriteOcrZoneList(const std::vector<OcrZone>& zones, JsonWriter& out);

// Reads a stored zone list leniently: text that is no JSON array gives an empty list, elements
// without a string id and role or a rectangle of finite numbers are skipped, unusable optional
// members fall back to their defaults. Each skipped element adds its reason to `refusals` when
// given ("zone 2: y is not a finite number", elements counted from 1). Never throws.
std::vector<OcrZone> ParseOcrZoneList(const std::string& text,
                                      std::vector<std::string>* refusals = nullptr);

enum class ZoneRectangleFault : std::int32_t {
  kNone = 0,
  kMissing = 1,
  kNotNumber = 2,
  kNotFinite = 3,
};

// The first "x", "y", "width" and "height" members of a zone object. When they cannot be used,
// `fault` says why and `member` names the one at fault: a missing member before any other, else
// the first, in that order, that is not a finite number.
struct ZoneRectangle {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
  ZoneRectangleFault fault = ZoneRectangleFault::kNone;
  std::string member;
};
ZoneRectangle ReadZoneRectangle(const JsonValue& zone);
// The refusal of a rectangle with a fault: "Zone is missing a required field", "Zone coordinates
// must be numeric" (a member that is no number at all) or "<member> is not a finite number".
std::string ZoneRectangleRefusal(const ZoneRectangle& rectangle);

// The caller passes an empty `error`; a non-empty one afterwards means the value was refused.
std::optional<ZoneProcessing> ParseZoneProcessing(const JsonValue& value, std::string& error);
// On true the zone's perspective fields are replaced; on false the zone is unchanged and
// `error` says why.
bool ParseZonePerspective(const JsonValue& value, OcrZone& zone, std::string& error);

AnalysisZone ToAnalysisZone(const OcrZone& zone);

// 1 to 80 bytes, neither "." nor "..", no "/" or "\", no ".." anywhere.
bool IsValidZoneId(const std::string& id);
std::optional<ZoneRoleRow> FindZoneRole(const std::string& role);

// The key of the current source's zone list, geometry and hide-empty switch: type, a newline
// and the id while a source is selected, "none" otherwise.
std::string ZoneProfileKey(bool selected, const std::string& source_type,
                           const std::string& source_id);

ZoneProcessing ProcessingOrDefaults(const OcrZone& zone);

}  // namespace tessvark
