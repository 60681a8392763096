#pragma once

#include <cstdint>
#include <string>

#include "session/frame_path.h"
#include "session/runtime_response.h"
#include "session/session_engine.h"
#include "session/session_outputs.h"
#include "session/zone_preview_options.h"

namespace tessvark {

// The zone, hide-empty, source-geometry and zone-preview operations of the API, on the zones of
// the selected source. Each holds the engine mutex from start to reply; a change is stored first
// and then handed to the worker by running the frame step again.
class SessionZones {
 public:
  SessionZones(SessionEngine& engine, FramePath& frame_path, SessionOutputs& outputs);
  SessionZones(const SessionZones&) = delete;
  SessionZones& operator=(const SessionZones&) = delete;

  RuntimeResponse ListZones();
  RuntimeResponse CreateZone(const std::string& body);
  RuntimeResponse UpdateZone(const std::string& zone_id, const std::string& body);
  RuntimeResponse DeleteZone(const std::string& zone_id);
  RuntimeResponse ReorderZones(const std::string& body);
  RuntimeResponse GetHideEmpty();
  RuntimeResponse SetHideEmpty(const std::string& body);

  // The scoreboard's four corners on the picture of the selected source, or of a source named in
  // the request.
  RuntimeResponse GetSourceGeometry();
  RuntimeResponse SetSourceGeometry(const std::string& body);

  // A zone as cut from the working picture, its prepared picture or one digit slot, made exactly
  // as the analysis makes them, for a stored zone or one still being drawn.
  RuntimeResponse GetZonePreview(const std::string& zone_id, const std::string& kind,
                                 std::int32_t slot_index, const ZonePreviewOptions& options);

 private:
  SessionEngine& engine_;
  FramePath& frame_path_;
  SessionOutputs& outputs_;
};

}  // namespace tessvark
