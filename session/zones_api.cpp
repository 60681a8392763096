// The zone operations of the API: list, create, update, delete, reorder and the hide-empty
// preference of the current source. A change is checked and prepared under the engine mutex,
// written without it, then applied and handed to the worker by running the frame step again.

#include "session/session_zones.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "core/text.h"
#include "ocr/zone_preprocessing.h"

namespace tessvark {
namespace {

constexpr const char* kNotSaved = "Configuration could not be saved";
constexpr const char* kZoneNotFound = "Zone not found";

// The server refuses every path that holds these sequences (in any case), so a zone whose id
// holds one could never be reached by its update, delete or preview routes.
bool IdBreaksZonePaths(const std::string& id) {
  const std::string lower = ToLowerAscii(id);
  for (const char* sequence : {"%2e", "%5c", "%00"}) {
    if (lower.find(sequence) != std::string::npos) return true;
  }
  return false;
}

bool IsClockZone(const OcrZone& zone) {
  return zone.type == "clock" || IsClockLikeRole(zone.role);
}

// The members of the body that create and update read alike: processing, clock format and
// perspective. A null processing leaves the zone's own. Empty on success, else the 422 message.
std::string ApplyZoneOptions(const JsonValue& body, OcrZone& zone) {
  if (const JsonValue* processing = body.Find("processing")) {
    std::string error;
    std::optional<ZoneProcessing> parsed = ParseZoneProcessing(*processing, error);
    if (!error.empty()) return error;
    if (parsed) zone.processing = std::move(parsed);
  }
  if (IsClockZone(zone)) {
    if (const JsonValue* format = body.Find("clock_format")) {
      if (format->kind != JsonKind::kString || !IsClockFormatName(format->text)) {
        return "Clock format must be auto, m:ss, or mm:ss";
      }
      zone.clock_format = ParseClockFormat(format->text);
    }
  }
  if (const JsonValue* perspective = body.Find("perspective")) {
    std::string error;
    if (!ParseZonePerspective(*perspective, zone, error)) return error;
  }
  return {};
}

// The next creation number; a list whose zones carry none is numbered 1..n first.
std::int64_t NextCreatedSequence(std::vector<OcrZone>& zones) {
  std::int64_t next = 1;
  bool any = false;
  for (const OcrZone& zone : zones) {
    if (!zone.created_sequence) continue;
    any = true;
    if (*zone.created_sequence < std::numeric_limits<std::int64_t>::max()) {
      next = std::max(next, *zone.created_sequence + 1);
    }
  }
  if (!any && !zones.empty()) {
    for (std::size_t i = 0; i < zones.size(); ++i) {
      zones[i].created_sequence = static_cast<std::int64_t>(i + 1);
    }
    next = static_cast<std::int64_t>(zones.size()) + 1;
  }
  return next;
}

// The processing of the zone created last, of equal numbers the later one in the list.
std::optional<ZoneProcessing> ProcessingOfNewestZone(const std::vector<OcrZone>& zones) {
  const OcrZone* newest = nullptr;
  for (const OcrZone& zone : zones) {
    if (zone.created_sequence &&
        (newest == nullptr || *zone.created_sequence >= *newest->created_sequence)) {
      newest = &zone;
    }
  }
  if (newest == nullptr) return std::nullopt;
  return ProcessingOrDefaults(*newest);
}

// Prepares the new zone list of the selected source for storing: 422 with the reason when it
// would not come back after a restart (nothing is changed then).
std::optional<RuntimeResponse> PrepareZoneList(SessionEngine& engine,
                                               const std::vector<OcrZone>& zones,
                                               SettingsChange& change) REQUIRES(engine.mutex) {
  const std::string text = OcrZoneListJson(zones);
  if (std::optional<std::string> refusal = ZoneListRefusal(engine.zones, engine.selection, text)) {
    return MakeErrorResponse(422, *refusal);
  }
  change = PrepareZonesChange(engine.zones, engine.selection, text);
  return std::nullopt;
}

std::string HideEmptyJson(bool enabled) {
  return JsonWriter(kApiJson).BeginObject().Key("enabled").Bool(enabled).EndObject().Take();
}

std::string ZoneReplyJson(const OcrZone& zone) {
  JsonWriter out(kApiJson);
  out.BeginObject().Key("success").Bool(true);
  WriteOcrZone(zone, out.Key("zone"));
  return out.EndObject().Take();
}

}  // namespace

SessionZones::SessionZones(SessionEngine& engine, FramePath& frame_path, Mutex& settings)
    : engine_(engine), frame_path_(frame_path), settings_(settings) {}

std::optional<RuntimeResponse> SessionZones::Store(const SettingsChange& change, bool analyze) {
  if (!WriteSettingsChange(change)) return MakeErrorResponse(500, kNotSaved);
  MutexLock engine(engine_.mutex);
  CommitSettingsChange(engine_.zones, change);
  engine_.RefreshSetup();
  if (analyze) frame_path_.Analyze(engine_, true, true);
  return std::nullopt;
}

RuntimeResponse SessionZones::ListZones() {
  MutexLock engine(engine_.mutex);
  return MakeOkResponse(OcrZoneListJson(ZonesFor(engine_.zones, engine_.selection)));
}

RuntimeResponse SessionZones::CreateZone(const std::string& body_text) {
  RuntimeResponse error;
  const std::optional<JsonValue> body = ParseRequestObject(body_text, error);
  if (!body) return error;
  MutexLock settings(settings_);
  OcrZone zone;
  std::vector<OcrZone> zones;
  // The picture a first zone's processing is estimated from, cut outside the engine mutex; the
  // settings mutex keeps the zones as they are meanwhile.
  std::optional<WorkingView> estimate_from;
  {
    MutexLock engine(engine_.mutex);
    const ZoneRectangle rect = ReadZoneRectangle(*body);
    const JsonValue* id = body->Find("id");
    const JsonValue* role = body->Find("role");
    if (id == nullptr || role == nullptr || rect.fault == ZoneRectangleFault::kMissing) {
      return MakeErrorResponse(422, "Zone is missing a required field");
    }
    if (id->kind != JsonKind::kString || !IsValidZoneId(id->text) ||
        role->kind != JsonKind::kString) {
      return MakeErrorResponse(422, "Zone id and role must be strings");
    }
    if (IdBreaksZonePaths(id->text)) {
      return MakeErrorResponse(422, "Zone id must not contain %2e, %5c or %00");
    }
    const std::optional<ZoneRoleRow> row = FindZoneRole(role->text);
    if (!row) return MakeErrorResponse(400, "Unknown OCR zone role");
    if (engine_.zones.sport_active && engine_.zones.active_roles.count(row->role) == 0) {
      return MakeErrorResponse(400, "This field is not available for the selected sport");
    }
    if (rect.fault != ZoneRectangleFault::kNone) {
      return MakeErrorResponse(422, ZoneRectangleRefusal(rect));
    }

    zones = ZonesFor(engine_.zones, engine_.selection);
    for (const OcrZone& existing : zones) {
      if (existing.role == role->text || existing.id == id->text) {
        return MakeErrorResponse(409, "This OCR zone already exists");
      }
    }
    zone.id = id->text;
    zone.role = row->role;
    zone.name = row->name;
    zone.type = row->type;
    zone.x = rect.x;
    zone.y = rect.y;
    zone.width = rect.width;
    zone.height = rect.height;
    if (std::string refused = ApplyZoneOptions(*body, zone); !refused.empty()) {
      return MakeErrorResponse(422, refused);
    }
    zone.created_sequence = NextCreatedSequence(zones);
    if (!zone.processing && !zones.empty()) {
      zone.processing = ProcessingOfNewestZone(zones);
    } else if (!zone.processing && WorkingPictureShown(engine_.pictures)) {
      estimate_from = WorkingView{};
      estimate_from->source = engine_.pictures.source_image;
      estimate_from->geometry = engine_.CurrentSetup()->geometry;
    }
  }
  if (estimate_from) {
    const WorkingView view = MakeWorkingView(estimate_from->source, estimate_from->geometry);
    zone.processing = EstimateZoneProcessing(
        CutZone(view, zone.x, zone.y, zone.width, zone.height, std::nullopt, zone.id).image);
  }
  zones.push_back(zone);
  SettingsChange change;
  {
    MutexLock engine(engine_.mutex);
    if (std::optional<RuntimeResponse> refused = PrepareZoneList(engine_, zones, change)) {
      return *refused;
    }
  }
  if (std::optional<RuntimeResponse> failed = Store(change, true)) return *failed;
  return MakeOkResponse(ZoneReplyJson(zone));
}

RuntimeResponse SessionZones::UpdateZone(const std::string& zone_id,
                                          const std::string& body_text) {
  if (!IsValidZoneId(zone_id)) return MakeErrorResponse(404, kZoneNotFound);
  RuntimeResponse error;
  const std::optional<JsonValue> body = ParseRequestObject(body_text, error);
  if (!body) return error;
  MutexLock settings(settings_);
  SettingsChange change;
  OcrZone zone;
  {
    MutexLock engine(engine_.mutex);
    std::vector<OcrZone> zones = ZonesFor(engine_.zones, engine_.selection);
    const auto found = std::find_if(zones.begin(), zones.end(),
                                    [&](const OcrZone& stored) { return stored.id == zone_id; });
    if (found == zones.end()) return MakeErrorResponse(404, kZoneNotFound);
    const ZoneRectangle rect = ReadZoneRectangle(*body);
    if (rect.fault != ZoneRectangleFault::kNone) {
      return MakeErrorResponse(422, ZoneRectangleRefusal(rect));
    }
    const std::optional<ZoneRoleRow> row = FindZoneRole(found->role);
    if (!row) return MakeErrorResponse(400, "Unknown OCR zone role");

    zone = *found;
    zone.x = std::min(std::max(rect.x, 0.0), 1.0);
    zone.y = std::min(std::max(rect.y, 0.0), 1.0);
    zone.width = std::min(1.0 - zone.x, std::max(std::min(rect.width, 1.0), 0.001));
    zone.height = std::min(1.0 - zone.y, std::max(std::min(rect.height, 1.0), 0.001));
    zone.name = row->name;
    zone.type = row->type;
    if (body->Find("perspective") == nullptr) {
      zone.perspective_enabled = false;
      zone.has_perspective = false;
      zone.corners = CornerQuad{};
    }
    if (std::string refused = ApplyZoneOptions(*body, zone); !refused.empty()) {
      return MakeErrorResponse(422, refused);
    }
    *found = zone;
    if (std::optional<RuntimeResponse> refused = PrepareZoneList(engine_, zones, change)) {
      return *refused;
    }
  }
  if (std::optional<RuntimeResponse> failed = Store(change, true)) return *failed;
  return MakeOkResponse(ZoneReplyJson(zone));
}

RuntimeResponse SessionZones::DeleteZone(const std::string& zone_id) {
  MutexLock settings(settings_);
  SettingsChange change;
  {
    MutexLock engine(engine_.mutex);
    std::vector<OcrZone> zones = ZonesFor(engine_.zones, engine_.selection);
    const auto found = std::find_if(zones.begin(), zones.end(),
                                    [&](const OcrZone& zone) { return zone.id == zone_id; });
    if (found == zones.end()) return MakeErrorResponse(404, kZoneNotFound);
    zones.erase(found);
    if (std::optional<RuntimeResponse> refused = PrepareZoneList(engine_, zones, change)) {
      return *refused;
    }
  }
  if (std::optional<RuntimeResponse> failed = Store(change, true)) return *failed;
  return MakeOkResponse(R"({"success":true})");
}

RuntimeResponse SessionZones::ReorderZones(const std::string& body_text) {
  RuntimeResponse error;
  const std::optional<JsonValue> body = ParseRequestObject(body_text, error);
  if (!body) return error;
  const JsonValue* ids = body->Find("zone_ids");
  if (!HasExactKeys(*body, {"zone_ids"}) || ids == nullptr || ids->kind != JsonKind::kArray) {
    return MakeErrorResponse(422, "Zone order requires zone_ids");
  }
  for (const JsonValue& id : ids->items) {
    if (id.kind != JsonKind::kString) return MakeErrorResponse(422, "Zone order ids must be strings");
  }

  MutexLock settings(settings_);
  SettingsChange change;
  JsonWriter reply(kApiJson);
  {
    MutexLock engine(engine_.mutex);
    const std::vector<OcrZone> zones = ZonesFor(engine_.zones, engine_.selection);
    std::map<std::string, const OcrZone*> stored;
    for (const OcrZone& zone : zones) {
      if (!stored.emplace(zone.id, &zone).second) {
        return MakeErrorResponse(500, "Stored OCR zones contain duplicate IDs");
      }
    }
    std::set<std::string> requested;
    for (const JsonValue& id : ids->items) {
      if (!requested.insert(id.text).second) {
        return MakeErrorResponse(400, "Zone order contains duplicate IDs");
      }
    }
    for (const std::string& id : requested) {
      if (stored.count(id) == 0) return MakeErrorResponse(400, "Zone order contains unknown IDs");
    }
    for (const auto& entry : stored) {
      if (requested.count(entry.first) == 0) {
        return MakeErrorResponse(400, "Zone order is missing existing IDs");
      }
    }

    std::vector<OcrZone> ordered;
    ordered.reserve(zones.size());
    reply.BeginObject().Key("success").Bool(true).Key("zone_ids").BeginArray();
    for (const JsonValue& id : ids->items) {
      ordered.push_back(*stored.at(id.text));
      reply.String(id.text);
    }
    reply.EndArray().EndObject();
    if (std::optional<RuntimeResponse> refused = PrepareZoneList(engine_, ordered, change)) {
      return *refused;
    }
  }
  if (std::optional<RuntimeResponse> failed = Store(change, true)) return *failed;
  return MakeOkResponse(reply.Take());
}

RuntimeResponse SessionZones::GetHideEmpty() {
  MutexLock engine(engine_.mutex);
  return MakeOkResponse(HideEmptyJson(HideEmptyFor(engine_.zones, engine_.selection)));
}

RuntimeResponse SessionZones::SetHideEmpty(const std::string& body_text) {
  RuntimeResponse error;
  const std::optional<JsonValue> body = ParseRequestObject(body_text, error);
  if (!body) return error;
  if (!HasExactKeys(*body, {"enabled"})) {
    return MakeErrorResponse(422, "Hide empty accepts only enabled");
  }
  const JsonValue* enabled = body->Find("enabled");
  if (enabled->kind != JsonKind::kBool) return MakeErrorResponse(400, "Hide empty requires a boolean");
  MutexLock settings(settings_);
  SettingsChange change;
  {
    MutexLock engine(engine_.mutex);
    change = PrepareConfigurationChange(
        engine_.zones, engine_.selection,
        [key = ProfileKeyOf(engine_.selection), enabled = enabled->bool_value](ZoneBook& book) {
          book.hide_empty[key] = enabled;
        });
  }
  if (std::optional<RuntimeResponse> failed = Store(change, false)) return *failed;
  return MakeOkResponse(HideEmptyJson(enabled->bool_value));
}

}  // namespace tessvark
