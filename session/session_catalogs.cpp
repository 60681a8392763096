// The sports catalog, the sport selection, the display format and the sport zone sets at start,
// and applying a sport to the running session.

#include <cstdio>
#include <filesystem>

#include "session/native_session.h"
#include "settings/display_format_file.h"

namespace tessvark {

void NativeSession::LoadCatalogs() {
  SessionState& state = *state_;
  const std::filesystem::path data = options_.data_dir;
  const auto in_data = [&data](const char* name) {
    return data.empty() ? std::filesystem::path() : data / name;
  };
  {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    state.catalog_store.LoadCatalog(in_data("sports-catalog.json"), options_.sports_catalog_path);
    std::fprintf(stderr, "catalog=%s\n", state.catalog_store.catalog.origin.c_str());
    std::fflush(stderr);
    state.selection_store = SportSelectionStore(in_data("sport_selection.json"));
    state.display_format_path = in_data("display_format.json");
    std::string error;
    ReadDisplayFormat(state.display_format_path, state.display_format, error);
    state.sport_zones = ReadSportZones(in_data("sport_zones.json"));
    const SportSelection selection = state.selection_store.ReadSelection();
    if (selection.valid && selection.selected_sport &&
        state.catalog_store.catalog.FindSport(*selection.selected_sport) != nullptr) {
      state.sport_active = true;
      state.sport_generation = 1;
    }
  }
  std::optional<std::string> sport;
  {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    if (state.sport_active) sport = state.selection_store.ReadSelection().selected_sport;
  }
  if (sport) ApplySport(*sport);
}

void NativeSession::ApplySport(const std::string& code) {
  SessionState& state = *state_;
  std::vector<std::string> roles;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    roles = state.catalog_store.catalog.AgentRoles(code);
    if (state.sport_generation == 0) state.sport_generation = 1;
    generation = state.sport_generation;
    state.sport_active = true;
  }
  if (vmix_) vmix_->SetActiveSources(roles, generation);
  std::set<std::string> role_set(roles.begin(), roles.end());
  std::vector<OcrZone> zones;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    state.active_sport = code;
    state.active_roles = role_set;
    zones = ZonesForCurrentSource(state);
  }
  std::vector<AnalysisZone> analysis_zones;
  analysis_zones.reserve(zones.size());
  for (const OcrZone& zone : zones) analysis_zones.push_back(ToAnalysisZone(zone));
  worker_.SetZones(std::move(analysis_zones), OcrZoneListJson(zones), generation,
                   std::move(role_set));
  ReapplyDisplayFormat();
}

DisplayFormat NativeSession::DisplayFormatInForce(bool& football) {
  SessionState& state = *state_;
  DisplayFormat format;
  {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    format = state.display_format;
  }
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    football = state.active_sport == "football";
  }
  return format;
}

void NativeSession::ReapplyDisplayFormat() {
  bool football = false;
  const DisplayFormat format = DisplayFormatInForce(football);
  if (!worker_.StateStore().SetDisplayFormat(format, football)) return;
  if (vmix_) vmix_->PublishValues(worker_.StateStore().SnapshotWithDisplay());
  server_.WakeStreams();
}

}  // namespace tessvark
