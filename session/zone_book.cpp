// The zones and geometry that belong to the selected source, and the stored configuration they
// are loaded from and saved to.

#include "session/zone_book.h"

#include <exception>
#include <filesystem>
#include <utility>

#include "settings/settings_file.h"

namespace tessvark {
namespace {

// The position of the active sport's zone set for the selected source in `document`, or its
// size when there is none.
std::size_t SportZoneSetIndex(const SportZonesDocument& document, const ZoneBook& book,
                              const SourceSelection& selection) {
  for (std::size_t i = 0; i < document.profiles.size(); ++i) {
    const SportZoneProfile& profile = document.profiles[i];
    if (profile.sport == book.active_sport &&
        profile.source_type == SourceKindName(selection.type) &&
        profile.source_id == selection.id) {
      return i;
    }
  }
  return document.profiles.size();
}

// The sport's own zone set for the selected source, when the operator drew one.
const SportZoneProfile* FindSportZoneSet(const ZoneBook& book, const SourceSelection& selection) {
  if (!selection.selected) return nullptr;
  const std::size_t index = SportZoneSetIndex(book.sport_zones, book, selection);
  return index < book.sport_zones.profiles.size() ? &book.sport_zones.profiles[index] : nullptr;
}

// Sets the active sport's zone set for the selected source in `document`, appending it when
// missing.
void PutSportZoneSet(SportZonesDocument& document, const ZoneBook& book,
                     const SourceSelection& selection, const std::string& zones_text) {
  const std::size_t index = SportZoneSetIndex(document, book, selection);
  if (index < document.profiles.size()) {
    document.profiles[index].zones = zones_text;
  } else {
    document.profiles.push_back(SportZoneProfile{book.active_sport,
                                                 std::string(SourceKindName(selection.type)),
                                                 selection.id, zones_text});
  }
}

std::vector<OcrZone> StoredZones(const ZoneBook& book, const SourceSelection& selection) {
  const auto found = book.zones.find(ProfileKeyOf(selection));
  return found == book.zones.end() ? std::vector<OcrZone>{} : found->second;
}

std::vector<OcrZone> ZonesOfActiveRoles(const ZoneBook& book, const SourceSelection& selection) {
  std::vector<OcrZone> zones;
  for (OcrZone& zone : StoredZones(book, selection)) {
    if (book.active_roles.count(zone.role) > 0) zones.push_back(std::move(zone));
  }
  return zones;
}

bool SportApplied(const ZoneBook& book) { return book.sport_active && !book.active_sport.empty(); }

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

std::vector<OcrZone> ZonesFor(const ZoneBook& book, const SourceSelection& selection) {
  if (!SportApplied(book)) return StoredZones(book, selection);
  if (const SportZoneProfile* set = FindSportZoneSet(book, selection)) {
    return ParseOcrZoneList(set->zones);
  }
  return ZonesOfActiveRoles(book, selection);
}

std::string ZonesTextFor(const ZoneBook& book, const SourceSelection& selection) {
  if (!SportApplied(book)) {
    const auto found = book.zones.find(ProfileKeyOf(selection));
    return found == book.zones.end() ? "[]" : OcrZoneListJson(found->second);
  }
  if (const SportZoneProfile* set = FindSportZoneSet(book, selection)) return set->zones;
  return OcrZoneListJson(ZonesOfActiveRoles(book, selection));
}

SourceGeometry& GeometryFor(ZoneBook& book, const SourceSelection& selection) {
  if (!selection.selected) return book.default_geometry;
  return book.geometries.try_emplace(ProfileKeyOf(selection)).first->second;
}

bool HideEmptyFor(const ZoneBook& book, const SourceSelection& selection) {
  const auto found = book.hide_empty.find(ProfileKeyOf(selection));
  if (found != book.hide_empty.end()) return found->second;
  return selection.selected && selection.type == SourceKind::kExample &&
         selection.id == "example-2";
}

AnalysisSetup AnalysisSetupFor(const ZoneBook& book, const SourceSelection& selection) {
  AnalysisSetup setup;
  for (const OcrZone& zone : ZonesFor(book, selection)) setup.zones.push_back(ToAnalysisZone(zone));
  if (!selection.selected) {
    setup.geometry = book.default_geometry;
  } else if (const auto found = book.geometries.find(ProfileKeyOf(selection));
             found != book.geometries.end()) {
    setup.geometry = found->second;
  }
  if (book.sport_active) setup.role_filter = book.active_roles;
  return setup;
}

void ApplySourceConfiguration(const SourceConfiguration& configuration, SourceSelection& selection,
                              ZoneBook& book) {
  // The store reads only the kinds it knows; any other text in a record counts as no source.
  selection.type = ParseSourceKind(configuration.source_type).value_or(SourceKind::kNone);
  selection.id = configuration.source_id;
  selection.remembered_ndi_id = configuration.ndi_source_id;
  selection.remembered_ndi_name = configuration.ndi_source_name;
  if (selection.type == SourceKind::kExample && selection.id == "example-1") {
    selection.name = "Example 1";
  } else if (selection.id == "example-2") {
    selection.name = "Example 2";
  } else {
    selection.name = selection.id;
  }
  selection.selected = IsSelectableKind(selection.type) && !selection.id.empty();

  book.zones.clear();
  book.geometries.clear();
  book.hide_empty.clear();
  book.default_geometry = SourceGeometry{};
  for (const ZoneProfile& profile : configuration.profiles) {
    std::string type;
    std::string id;
    if (!ParseProfileKey(profile.key, type, id)) continue;
    if (type == "geometry" && id == "unscoped") {
      if (profile.has_geometry) book.default_geometry = GeometryOfCorners(profile.corners);
      continue;
    }
    const std::string key = type + "\n" + id;
    if (profile.has_zones) book.zones[key] = ParseOcrZoneList(profile.zones);
    if (profile.has_geometry) book.geometries[key] = GeometryOfCorners(profile.corners);
    if (profile.has_hide_empty) book.hide_empty[key] = profile.hide_empty;
  }
  book.stored = configuration;
}

SourceConfiguration BuildSourceConfiguration(const ZoneBook& book,
                                             const SourceSelection& selection) {
  SourceConfiguration configuration = book.stored;
  configuration.source_type = SourceKindName(selection.type);
  configuration.source_id = selection.id;
  configuration.ndi_source_id = selection.remembered_ndi_id;
  configuration.ndi_source_name = selection.remembered_ndi_name;
  WriteProfiles(configuration, book.zones,
                [](ZoneProfile& profile, const std::vector<OcrZone>& zones) {
                  profile.zones = OcrZoneListJson(zones);
                  profile.has_zones = true;
                });
  WriteProfiles(configuration, book.geometries,
                [](ZoneProfile& profile, const SourceGeometry& geometry) {
                  profile.corners = CornersOfGeometry(geometry);
                  profile.has_geometry = true;
                });
  WriteProfiles(configuration, book.hide_empty, [](ZoneProfile& profile, bool hide_empty) {
    profile.hide_empty = hide_empty;
    profile.has_hide_empty = true;
  });
  if (!IsIdentityGeometry(book.default_geometry)) {
    ZoneProfile& profile = configuration.FindOrAddProfile(ProfileKey("geometry", "unscoped"));
    profile.corners = CornersOfGeometry(book.default_geometry);
    profile.has_geometry = true;
  }
  return configuration;
}

bool SaveConfiguration(ZoneBook& book, const SourceSelection& selection) {
  const SettingsChange change = PrepareConfigurationChange(book, selection, [](ZoneBook&) {});
  if (!WriteSettingsChange(change)) return false;
  CommitSettingsChange(book, change);
  return true;
}

std::optional<std::string> ZoneListRefusal(const ZoneBook& book, const SourceSelection& selection,
                                           const std::string& zones_text) {
  if (!SportApplied(book)) return std::nullopt;
  JsonValue zones;  // stays null, which no reader takes as a list, when the text does not parse
  try {
    zones = ParseJson(zones_text);
  } catch (const std::exception&) {
  }
  const std::string problem = SportZoneEntryProblem(
      book.active_sport, SourceKindName(selection.type), selection.id, zones);
  if (!problem.empty()) return "Zones of this source cannot be stored under a sport: " + problem;
  SportZonesDocument candidate = book.sport_zones;
  PutSportZoneSet(candidate, book, selection, zones_text);
  if (SportZonesText(candidate).size() > kSettingsFileLimit) {
    return "Zones could not be stored: the sport zone file would be larger than " +
           std::to_string(kSettingsFileLimit) + " bytes";
  }
  return std::nullopt;
}

SettingsChange PrepareConfigurationChange(ZoneBook& book, const SourceSelection& selection,
                                          std::function<void(ZoneBook&)> apply) {
  SettingsChange change;
  change.store = book.config_store.get();
  if (change.store != nullptr) {
    // The record is built from the book as the change leaves it, then the book is put back: it
    // changes only once the files are written.
    const auto zones = book.zones;
    const auto geometries = book.geometries;
    const auto hide_empty = book.hide_empty;
    const SourceGeometry default_geometry = book.default_geometry;
    apply(book);
    change.configuration = change.store->PrepareSave(BuildSourceConfiguration(book, selection));
    book.zones = zones;
    book.geometries = geometries;
    book.hide_empty = hide_empty;
    book.default_geometry = default_geometry;
  }
  change.apply = std::move(apply);
  return change;
}

SettingsChange PrepareZonesChange(ZoneBook& book, const SourceSelection& selection,
                                  const std::string& zones_text) {
  if (!SportApplied(book)) {
    return PrepareConfigurationChange(book, selection, [key = ProfileKeyOf(selection),
                                                        zones = ParseOcrZoneList(zones_text)](ZoneBook& b) {
      b.zones[key] = zones;
    });
  }
  SportZonesDocument document = book.sport_zones;
  PutSportZoneSet(document, book, selection, zones_text);
  SettingsChange change;
  change.store = book.config_store.get();
  change.sport_zones = document;
  change.apply = [document = std::move(document)](ZoneBook& b) { b.sport_zones = document; };
  return change;
}

bool WriteSettingsChange(const SettingsChange& change) {
  if (change.store == nullptr) return true;
  std::string error;
  if (change.configuration && !change.store->Write(*change.configuration, error)) return false;
  return !change.sport_zones ||
         SaveSportZones(change.store->directory() / "sport_zones.json", *change.sport_zones, error);
}

void CommitSettingsChange(ZoneBook& book, const SettingsChange& change) {
  change.apply(book);
  if (change.configuration) book.stored = change.configuration->config;
}

}  // namespace tessvark
