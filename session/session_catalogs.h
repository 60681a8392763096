#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/display_format.h"
#include "core/mutex.h"
#include "ocr/analysis_worker.h"
#include "session/runtime_response.h"
#include "session/session_engine.h"
#include "session/session_outputs.h"
#include "session/session_server.h"
#include "settings/sport_selection.h"
#include "settings/sports_catalog.h"

namespace tessvark {

// The sports catalog, the sport choice and the display format: loaded at start, changed through
// their routes, and applied to the running session (the worker's zone set and roles, the vMix
// output's sources, the display values of the state).
//
// Locks: the catalog mutex guards the catalog, the sport choice and the display format. A change
// of a stored setting holds the session's settings mutex around its save and its application;
// the order is settings mutex, catalog mutex, engine mutex, and the worker's, the vMix
// controller's and the server's own locks last.
class SessionCatalogs {
 public:
  SessionCatalogs(SessionEngine& engine, AnalysisWorker& worker, SessionServer& server,
                  SessionOutputs& outputs, Mutex& settings);
  SessionCatalogs(const SessionCatalogs&) = delete;
  SessionCatalogs& operator=(const SessionCatalogs&) = delete;

  // Loads the catalog (the copy in `data_dir` when valid, else `catalog_path`), the sport choice,
  // the display format and the sport zone sets of `data_dir` (nothing is read or written there
  // when it is empty), and applies a stored sport. Called at start, before the server listens.
  void Load(const std::filesystem::path& data_dir, const std::string& catalog_path)
      EXCLUDES(mutex_);
  // From now on a cached catalog is no longer applied ("ocr is running").
  void MarkAnalysisStarted() { analysis_started_.store(true); }

  // Dispatch on the route's literal method and path: the role vocabulary, the catalog and the
  // sport choice.
  RuntimeResponse HandleSports(const std::string& method, const std::string& path,
                               const std::string& body) EXCLUDES(mutex_, settings_);
  RuntimeResponse HandleDisplayFormat(const std::string& method, const std::string& path,
                                      const std::string& body) EXCLUDES(mutex_, settings_);

 private:
  // Restricts the worker and the vMix output to the sport's roles and re-applies the display
  // format.
  void ApplySport(const std::string& code) EXCLUDES(mutex_);
  void ReapplyDisplayFormat() EXCLUDES(mutex_);
  // The display format in force and whether football is the active sport, each read under its
  // own lock.
  DisplayFormat DisplayFormatInForce(bool& football) EXCLUDES(mutex_);
  RuntimeResponse ChooseSport(const std::string& body) EXCLUDES(mutex_, settings_);
  RuntimeResponse ChangeDisplayFormat(const std::string& body) EXCLUDES(mutex_, settings_);
  RuntimeResponse DisplayFormatReply() EXCLUDES(mutex_);

  SessionEngine& engine_;
  AnalysisWorker& worker_;
  SessionServer& server_;
  SessionOutputs& outputs_;
  Mutex& settings_;

  // The catalog mutex; its place between the settings and the engine mutex is checked.
  Mutex mutex_ ACQUIRED_AFTER(settings_) ACQUIRED_BEFORE(engine_.mutex);
  SportsCatalogStore catalog_store_ GUARDED_BY(mutex_);
  SportSelectionStore selection_store_ GUARDED_BY(mutex_);
  // Raised by every saved sport choice; the worker and the vMix output tell passes apart by it.
  std::uint64_t sport_generation_ GUARDED_BY(mutex_) = 0;
  DisplayFormat display_format_ GUARDED_BY(mutex_) = DefaultDisplayFormat();
  std::filesystem::path display_format_path_ GUARDED_BY(mutex_);
  std::atomic<bool> analysis_started_{false};
};

}  // namespace tessvark
