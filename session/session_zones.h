#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "session/frame_path.h"
#include "session/runtime_response.h"
#include "session/session_engine.h"
#include "session/zone_preview_options.h"

namespace tessvark {

// The zone, hide-empty, source-geometry and zone-preview operations of the API, on the zones of
// the selected source. A change holds the session's settings mutex from start to reply, so that
// changes of stored settings run one at a time; it checks the request and prepares its files under
// the engine mutex, writes them without it, and then, under the engine mutex again, applies the
// change, publishes the new analysis setup and runs the frame step. A change of the zones never
// blanks the vMix fields: the worker keeps the readings of the zones still there, and only a
// field whose zone is gone or reads nothing goes blank.
class SessionZones {
 public:
  SessionZones(SessionEngine& engine, FramePath& frame_path, Mutex& settings);
  SessionZones(const SessionZones&) = delete;
  SessionZones& operator=(const SessionZones&) = delete;

  RuntimeResponse ListZones() EXCLUDES(engine_.mutex);
  RuntimeResponse CreateZone(const std::string& body) EXCLUDES(settings_, engine_.mutex);
  RuntimeResponse UpdateZone(const std::string& zone_id, const std::string& body)
      EXCLUDES(settings_, engine_.mutex);
  RuntimeResponse DeleteZone(const std::string& zone_id) EXCLUDES(settings_, engine_.mutex);
  RuntimeResponse ReorderZones(const std::string& body) EXCLUDES(settings_, engine_.mutex);
  RuntimeResponse GetHideEmpty() EXCLUDES(engine_.mutex);
  RuntimeResponse SetHideEmpty(const std::string& body) EXCLUDES(settings_, engine_.mutex);

  // The scoreboard's four corners on the picture of the selected source, or of a source named in
  // the request.
  RuntimeResponse GetSourceGeometry() EXCLUDES(engine_.mutex);
  RuntimeResponse SetSourceGeometry(const std::string& body) EXCLUDES(settings_, engine_.mutex);

  // A zone as cut from the working picture, its prepared picture or one digit slot, made exactly
  // as the analysis makes them, for a stored zone or one still being drawn. The picture work runs
  // without the engine mutex.
  RuntimeResponse GetZonePreview(const std::string& zone_id, const std::string& kind,
                                 std::int32_t slot_index, const ZonePreviewOptions& options)
      EXCLUDES(engine_.mutex);

 private:
  // Writes a prepared change without the engine mutex; once written, applies it, publishes the
  // new setup and, when `analyze`, runs the frame step. 500 (nothing changed) when the files
  // could not be written.
  std::optional<RuntimeResponse> Store(const SettingsChange& change, bool analyze)
      REQUIRES(settings_) EXCLUDES(engine_.mutex);

  SessionEngine& engine_;
  FramePath& frame_path_;
  Mutex& settings_;
};

}  // namespace tessvark
