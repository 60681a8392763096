#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ocr/analysis_inputs.h"
#include "ocr/zone_geometry.h"
#include "session/ocr_zone.h"
#include "session/source_selection.h"
#include "settings/config_store.h"
#include "settings/sport_zones.h"

namespace tessvark {

// The zones, source geometry and hide-empty switch of every source, the zone sets the operator
// drew under a sport, and the stored configuration they are saved in. A plain record: the session
// keeps it under its engine mutex (SessionEngine), and the functions below expect that mutex held.
struct ZoneBook {
  // Keyed by ProfileKeyOf: source type, a newline and the source id.
  std::map<std::string, std::vector<OcrZone>> zones;
  std::map<std::string, SourceGeometry> geometries;
  std::map<std::string, bool> hide_empty;
  // The geometry while nothing is selected (the "unscoped" profile of the stored files).
  SourceGeometry default_geometry;

  // The applied sport: only its roles are read, from its own zone set for the source when the
  // operator drew one there.
  bool sport_active = false;
  std::string active_sport;
  std::set<std::string> active_roles;
  SportZonesDocument sport_zones;

  // Made at start when the session has a data folder; without one nothing is written.
  std::unique_ptr<ConfigStore> config_store;
  // The configuration as last loaded or saved; every save starts from it, so that what the
  // session does not keep in its maps (unknown profiles, the output document) stays as it was.
  SourceConfiguration stored;
};

// The zones of the selected source, following an applied sport: its own zone set for the sport
// when there is one, else the stored zones of the sport's roles; without a sport the stored
// zones. The text form gives a sport zone set exactly as stored.
std::vector<OcrZone> ZonesFor(const ZoneBook& book, const SourceSelection& selection);
std::string ZonesTextFor(const ZoneBook& book, const SourceSelection& selection);
// The default geometry without a selection (no map entry made); otherwise the selected source's
// entry, created as the identity quad when missing (and saved with the next save from then on).
SourceGeometry& GeometryFor(ZoneBook& book, const SourceSelection& selection);
// The stored switch, else true only for the Example still.
bool HideEmptyFor(const ZoneBook& book, const SourceSelection& selection);
// How the worker reads the selection's frames, with generation 0: the zones of ZonesFor, the
// geometry of GeometryFor (without making an entry), and the applied sport's roles.
AnalysisSetup AnalysisSetupFor(const ZoneBook& book, const SourceSelection& selection);

// The stored configuration into the selection and the maps, and back into a record.
void ApplySourceConfiguration(const SourceConfiguration& configuration, SourceSelection& selection,
                              ZoneBook& book);
SourceConfiguration BuildSourceConfiguration(const ZoneBook& book,
                                             const SourceSelection& selection);
// Saves the record built from the book and the selection; true without a store (nothing
// written).
bool SaveConfiguration(ZoneBook& book, const SourceSelection& selection);
// Why StoreZones must not take this zone list for the selected source: under an applied sport,
// the reader of the sport zone file would not bring its entry back at the next start (a source id
// over 240 bytes, for one), or the file would grow beyond what that reader takes. Nothing when the
// list may be stored; the configuration files keep any source and any size.
std::optional<std::string> ZoneListRefusal(const ZoneBook& book, const SourceSelection& selection,
                                           const std::string& zones_text);
// A change of what the settings files keep, written without the engine mutex. It is prepared
// under that mutex (the files' content built as it will be after the change, the book left as it
// was), written holding only the session's settings mutex, and committed under the engine mutex
// once written; nothing changes when the write fails. Every operation that changes stored
// settings holds the settings mutex from preparation to commit, so the book cannot change in
// between (the configuration store refuses a save overtaken by a later one all the same).
struct SettingsChange {
  std::function<void(ZoneBook&)> apply;  // the change itself
  ConfigStore* store = nullptr;          // none without a data folder: nothing is written
  std::optional<ConfigSave> configuration;        // the configuration files, when they change
  std::optional<SportZonesDocument> sport_zones;  // the sport zone file, when it changes
};

// A change of the zones, geometries or hide-empty switches that the configuration files keep.
SettingsChange PrepareConfigurationChange(ZoneBook& book, const SourceSelection& selection,
                                          std::function<void(ZoneBook&)> apply);
// A new zone list (its JSON text) for the selected source: into the active sport's zone set and
// the sport zone file, or the source's own list and the configuration files.
SettingsChange PrepareZonesChange(ZoneBook& book, const SourceSelection& selection,
                                  const std::string& zones_text);
// Writes what the change writes; true when written or when there is nothing to write.
bool WriteSettingsChange(const SettingsChange& change);
// Applies a written change, and keeps the written record as the stored configuration.
void CommitSettingsChange(ZoneBook& book, const SettingsChange& change);

}  // namespace tessvark
