// The session's selection and per-source maps, loaded from and saved to the configuration files.

#include <filesystem>

#include "session/native_session.h"

namespace tessvark {
namespace {

SourceGeometry GeometryOfCorners(const ProfileCorners& corners) {
  return SourceGeometry{{corners.top_left.x, corners.top_left.y},
                        {corners.top_right.x, corners.top_right.y},
                        {corners.bottom_right.x, corners.bottom_right.y},
                        {corners.bottom_left.x, corners.bottom_left.y}};
}

ProfileCorners CornersOfGeometry(const SourceGeometry& geometry) {
  return ProfileCorners{{geometry.top_left.x, geometry.top_left.y},
                        {geometry.top_right.x, geometry.top_right.y},
                        {geometry.bottom_right.x, geometry.bottom_right.y},
                        {geometry.bottom_left.x, geometry.bottom_left.y}};
}

bool IsIdentityGeometry(const SourceGeometry& geometry) {
  const SourceGeometry identity;
  const CornerQuad a = GeometryCorners(geometry);
  const CornerQuad b = GeometryCorners(identity);
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].x != b[i].x || a[i].y != b[i].y) return false;
  }
  return true;
}

bool IsSelectableType(const std::string& type) {
  return type == "example" || type == "ndi" || type == "omt" || type == "srt";
}

// Splits a map key "type\nid"; false for a key without a newline ("none").
bool SplitMapKey(const std::string& key, std::string& type, std::string& id) {
  const std::size_t newline = key.find('\n');
  if (newline == std::string::npos) return false;
  type = key.substr(0, newline);
  id = key.substr(newline + 1);
  return true;
}

template <typename Value, typename Store>
void WriteProfiles(SourceConfiguration& configuration, const std::map<std::string, Value>& map,
                   Store store) {
  for (const auto& [key, value] : map) {
    std::string type;
    std::string id;
    if (!SplitMapKey(key, type, id)) continue;
    store(configuration.FindOrAddProfile(ProfileKey(type, id)), value);
  }
}

}  // namespace

void NativeSession::LoadExampleDefaults() {
  if (options_.data_dir.empty()) return;
  SessionState& state = *state_;
  state.config_store = std::make_unique<ConfigStore>(std::filesystem::path(options_.data_dir));
  SourceConfiguration configuration;
  const ConfigLoadResult loaded = state.config_store->Load(configuration);

  bool save_due = loaded.zone_store_rewritten || loaded.geometry_needs_rewrite;
  // The third Example of earlier versions is the clip now.
  if (configuration.source_type == "example" && configuration.source_id == "example-3") {
    configuration.source_id = "example-1";
    save_due = true;
  }
  const std::string defaults_path = options_.example_defaults_path.empty()
                                        ? options_.ui_root + "/assets/example/factory-defaults.json"
                                        : options_.example_defaults_path;
  if (options_.load_example_defaults &&
      std::filesystem::is_regular_file(std::filesystem::status(defaults_path))) {
    std::string error;
    if (state.config_store->ApplyFactoryDefaults(configuration, defaults_path, error)) {
      save_due = true;
    }
  }
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    ApplySourceConfiguration(state, configuration);
  }
  if (configuration.output_config_loaded) {
    server_.SetOutputEnabled("vmix", configuration.vmix_enabled);
  }
  if (save_due) {
    std::string error;
    state.config_store->Save(configuration, error);
  }
}

void ApplySourceConfiguration(SessionState& state, const SourceConfiguration& configuration) {
  state.source_type = configuration.source_type;
  state.source_id = configuration.source_id;
  state.remembered_ndi_id = configuration.ndi_source_id;
  state.remembered_ndi_name = configuration.ndi_source_name;
  if (state.source_type == "example" && state.source_id == "example-1") {
    state.source_name = "Example 1";
  } else if (state.source_id == "example-2") {
    state.source_name = "Example 2";
  } else {
    state.source_name = state.source_id;
  }
  state.selected = IsSelectableType(state.source_type) && !state.source_id.empty();
  PublishSourceIdentity(state);

  state.zone_map.clear();
  state.geometry_map.clear();
  state.hide_empty_map.clear();
  state.default_geometry = SourceGeometry{};
  for (const ZoneProfile& profile : configuration.profiles) {
    std::string type;
    std::string id;
    if (!ParseProfileKey(profile.key, type, id)) continue;
    if (type == "geometry" && id == "unscoped") {
      if (profile.has_geometry) state.default_geometry = GeometryOfCorners(profile.corners);
      continue;
    }
    const std::string key = type + "\n" + id;
    if (profile.has_zones) state.zone_map[key] = ParseOcrZoneList(profile.zones);
    if (profile.has_geometry) state.geometry_map[key] = GeometryOfCorners(profile.corners);
    if (profile.has_hide_empty) state.hide_empty_map[key] = profile.hide_empty;
  }
  state.stored_configuration = configuration;
}

SourceConfiguration BuildSourceConfiguration(const SessionState& state) {
  SourceConfiguration configuration = state.stored_configuration;
  configuration.source_type = state.source_type.empty() ? "none" : state.source_type;
  configuration.source_id = state.source_id;
  configuration.ndi_source_id = state.remembered_ndi_id;
  configuration.ndi_source_name = state.remembered_ndi_name;
  WriteProfiles(configuration, state.zone_map,
                [](ZoneProfile& profile, const std::vector<OcrZone>& zones) {
                  profile.zones = OcrZoneListJson(zones);
                  profile.has_zones = true;
                });
  WriteProfiles(configuration, state.geometry_map,
                [](ZoneProfile& profile, const SourceGeometry& geometry) {
                  profile.corners = CornersOfGeometry(geometry);
                  profile.has_geometry = true;
                });
  WriteProfiles(configuration, state.hide_empty_map, [](ZoneProfile& profile, bool hide_empty) {
    profile.hide_empty = hide_empty;
    profile.has_hide_empty = true;
  });
  if (!IsIdentityGeometry(state.default_geometry)) {
    ZoneProfile& profile = configuration.FindOrAddProfile(ProfileKey("geometry", "unscoped"));
    profile.corners = CornersOfGeometry(state.default_geometry);
    profile.has_geometry = true;
  }
  return configuration;
}

bool SaveConfiguration(SessionState& state) {
  if (!state.config_store) return true;
  SourceConfiguration configuration = BuildSourceConfiguration(state);
  std::string error;
  if (!state.config_store->Save(configuration, error)) return false;
  state.stored_configuration = std::move(configuration);
  return true;
}

bool StoreZones(SessionState& state, const std::string& zones_text) {
  if (state.sport_active && !state.active_sport.empty()) {
    std::vector<SportZoneProfile>& profiles = state.sport_zones.profiles;
    std::optional<std::string> old_text;
    std::size_t index = profiles.size();
    for (std::size_t i = 0; i < profiles.size(); ++i) {
      if (profiles[i].sport == state.active_sport && profiles[i].source_type == state.source_type &&
          profiles[i].source_id == state.source_id) {
        index = i;
        break;
      }
    }
    if (index < profiles.size()) {
      old_text = profiles[index].zones;
      profiles[index].zones = zones_text;
    } else {
      profiles.push_back(
          SportZoneProfile{state.active_sport, state.source_type, state.source_id, zones_text});
    }
    const std::filesystem::path path =
        state.config_store ? state.config_store->directory() / "sport_zones.json"
                           : std::filesystem::path();
    std::string error;
    if (SaveSportZones(path, state.sport_zones, error)) return true;
    if (old_text) {
      profiles[index].zones = std::move(*old_text);
    } else {
      profiles.erase(profiles.begin() + static_cast<std::ptrdiff_t>(index));
    }
    return false;
  }

  const std::string key = CurrentProfileKey(state);
  const auto found = state.zone_map.find(key);
  const std::vector<OcrZone> previous =
      found == state.zone_map.end() ? std::vector<OcrZone>{} : found->second;
  CurrentProfileZones(state) = ParseOcrZoneList(zones_text);
  if (SaveConfiguration(state)) return true;
  state.zone_map[key] = previous;
  return false;
}

}  // namespace tessvark
