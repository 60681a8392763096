// The selection, the zones and the source geometry that belong to the source selected now.

#include <cstdio>

#include "session/session_state.h"

namespace tessvark {

void PublishSourceIdentity(SessionState& state) {
  std::lock_guard<std::mutex> selection(state.selection_mutex);
  state.published_selected = state.selected;
  state.published_source_type = state.source_type;
  state.published_source_id = state.source_id;
  state.published_generation = state.source_generation;
}

SourceContext CurrentSourceContext(const SessionState& state) {
  SourceContext context;
  context.source_type = state.selected ? state.source_type : "none";
  context.source_id = state.source_id;
  context.generation = std::to_string(state.source_generation);
  return context;
}

std::string CurrentProfileKey(const SessionState& state) {
  return ZoneProfileKey(state.selected, state.source_type, state.source_id);
}

std::vector<OcrZone>& CurrentProfileZones(SessionState& state) {
  return state.zone_map[CurrentProfileKey(state)];
}

SourceGeometry& CurrentSourceGeometry(SessionState& state) {
  if (!state.selected) return state.default_geometry;
  return state.geometry_map.try_emplace(CurrentProfileKey(state)).first->second;
}

std::string GeometryKey(const SourceGeometry& geometry) {
  std::string key;
  char number[400];  // "%.9f" of the largest double fits
  for (const GeometryPoint& corner : GeometryCorners(geometry)) {
    std::snprintf(number, sizeof number, "%.9f,", corner.x);
    key += number;
    std::snprintf(number, sizeof number, "%.9f;", corner.y);
    key += number;
  }
  return key;
}

namespace {

// The sport's own zone set for the selected source, when the operator drew one.
const SportZoneProfile* FindSportZoneSet(const SessionState& state) {
  if (!state.selected) return nullptr;
  for (const SportZoneProfile& profile : state.sport_zones.profiles) {
    if (profile.sport == state.active_sport && profile.source_type == state.source_type &&
        profile.source_id == state.source_id) {
      return &profile;
    }
  }
  return nullptr;
}

std::vector<OcrZone> StoredZones(const SessionState& state) {
  const auto found = state.zone_map.find(CurrentProfileKey(state));
  return found == state.zone_map.end() ? std::vector<OcrZone>{} : found->second;
}

std::vector<OcrZone> ZonesOfActiveRoles(const SessionState& state) {
  std::vector<OcrZone> zones;
  for (OcrZone& zone : StoredZones(state)) {
    if (state.active_roles.count(zone.role) > 0) zones.push_back(std::move(zone));
  }
  return zones;
}

bool SportApplied(const SessionState& state) {
  return state.sport_active && !state.active_sport.empty();
}

}  // namespace

std::vector<OcrZone> ZonesForCurrentSource(const SessionState& state) {
  if (!SportApplied(state)) return StoredZones(state);
  if (const SportZoneProfile* set = FindSportZoneSet(state)) return ParseOcrZoneList(set->zones);
  return ZonesOfActiveRoles(state);
}

std::string CurrentZonesText(const SessionState& state) {
  if (!SportApplied(state)) {
    const auto found = state.zone_map.find(CurrentProfileKey(state));
    return found == state.zone_map.end() ? "[]" : OcrZoneListJson(found->second);
  }
  if (const SportZoneProfile* set = FindSportZoneSet(state)) return set->zones;
  return OcrZoneListJson(ZonesOfActiveRoles(state));
}

}  // namespace tessvark
