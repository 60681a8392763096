#pragma once

#include <cstdint>
#include <string>

#include "session/runtime_response.h"
#include "session/zone_preview_options.h"

namespace tessvark {

// The API operations behind the web server's runtime routes. The server holds a non-owning
// pointer and calls one operation per request from its worker threads, any number at once; each
// operation does its own locking, answers bad input with an error response and never throws for
// it. The object outlives the server's listening.
class OcrRuntime {
 public:
  virtual ~OcrRuntime() = default;

  virtual RuntimeResponse ListZones() = 0;
  virtual RuntimeResponse CreateZone(const std::string& body) = 0;
  virtual RuntimeResponse UpdateZone(const std::string& zone_id, const std::string& body) = 0;
  virtual RuntimeResponse DeleteZone(const std::string& zone_id) = 0;
  virtual RuntimeResponse ReorderZones(const std::string& body) = 0;
  virtual RuntimeResponse GetHideEmpty() = 0;
  virtual RuntimeResponse SetHideEmpty(const std::string& body) = 0;
  virtual RuntimeResponse GetSourceGeometry() = 0;
  virtual RuntimeResponse SetSourceGeometry(const std::string& body) = 0;
  virtual RuntimeResponse GetStatus() = 0;
  virtual RuntimeResponse ListSources() = 0;
  virtual RuntimeResponse RefreshSources(const std::string& body) = 0;
  virtual RuntimeResponse SelectSource(const std::string& body) = 0;
  virtual RuntimeResponse ClearSource() = 0;
  // working false: the stored source preview; true: the stored working preview.
  virtual RuntimeResponse GetPreview(bool working) = 0;
  // kind is "crop", "processed-preview" or "slot-preview"; slot_index is -1 for the first two.
  virtual RuntimeResponse GetZonePreview(const std::string& zone_id, const std::string& kind,
                                         std::int32_t slot_index,
                                         const ZonePreviewOptions& options) = 0;
  virtual RuntimeResponse GetVmixOutput() = 0;
  virtual RuntimeResponse SetVmixOutput(const std::string& body) = 0;
  virtual RuntimeResponse SetOutputSwitches(const std::string& body) = 0;
  virtual RuntimeResponse TestVmixOutput(const std::string& body) = 0;
  virtual RuntimeResponse DiscoverVmixInputs(const std::string& body) = 0;
  virtual RuntimeResponse StartVmixLanSearch() = 0;
  virtual RuntimeResponse GetVmixLanSearch() = 0;
  virtual RuntimeResponse CancelVmixLanSearch() = 0;
  virtual RuntimeResponse SetSrtSettings(const std::string& body) = 0;
  virtual RuntimeResponse SetSrtListening(const std::string& body) = 0;
  // Dispatches on the route's literal method and path, not on the request's.
  virtual RuntimeResponse HandleSports(const std::string& method, const std::string& path,
                                       const std::string& body) = 0;
  virtual RuntimeResponse HandleDisplayFormat(const std::string& method, const std::string& path,
                                              const std::string& body) = 0;
};

}  // namespace tessvark
