#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/mutex.h"
#include "ocr/analysis_worker.h"
#include "session/frame_path.h"
#include "session/native_session_options.h"
#include "session/ocr_runtime.h"
#include "session/session_catalogs.h"
#include "session/session_engine.h"
#include "session/session_outputs.h"
#include "session/session_server.h"
#include "session/session_sources.h"
#include "session/session_zones.h"

namespace tessvark {

// The one runtime object of the program. It owns the analysis worker, the web server and the
// session's parts, and answers the server's API operations by routing each to its part:
//   SessionSources   source selection, the inputs behind it and their status
//   SessionZones     zones, hide-empty, source geometry and zone previews
//   SessionCatalogs  sports catalog, sport choice and display format
//   FramePath        the frame slot, the preview and feeder threads and the frame step
//   SessionOutputs   the vMix output
// Selection, zones and pictures live in the SessionEngine under its engine mutex, where the lock
// order is written. The desktop host constructs the session, calls Start once, runs its loop,
// calls Stop and destroys it, all on one thread.
class NativeSession : public OcrRuntime {
 public:
  // Makes the server through `options.make_server`; throws std::invalid_argument without one,
  // and passes on what the factory throws.
  explicit NativeSession(NativeSessionOptions options);
  ~NativeSession() override;
  NativeSession(const NativeSession&) = delete;
  NativeSession& operator=(const NativeSession&) = delete;

  // Loads the configuration, readies everything the routes reach, starts listening, then the
  // worker, the session threads and the stored source. False when the server cannot listen;
  // throws std::system_error when a thread cannot be made and std::filesystem::filesystem_error
  // when a settings file's status cannot be queried.
  bool Start();
  // Stops everything; harmless when repeated or after a failed start. A stopped session is not
  // started again. Never call it from the session's own threads or callbacks.
  void Stop();

  SessionServer& Server() { return *server_; }
  // The mailbox the live receivers publish into (the SRT receiver directly, NDI and OMT through
  // the session's frame callbacks).
  LatestFrameSlot& FrameSlot() { return frame_path_.Slot(); }
  // What the frame path counted, for callers that wait for it to have passed a frame.
  FramePathCounters FrameCounters() const { return frame_path_.Counters(); }

  RuntimeResponse ListZones() override { return zones_.ListZones(); }
  RuntimeResponse CreateZone(const std::string& body) override { return zones_.CreateZone(body); }
  RuntimeResponse UpdateZone(const std::string& zone_id, const std::string& body) override {
    return zones_.UpdateZone(zone_id, body);
  }
  RuntimeResponse DeleteZone(const std::string& zone_id) override {
    return zones_.DeleteZone(zone_id);
  }
  RuntimeResponse ReorderZones(const std::string& body) override {
    return zones_.ReorderZones(body);
  }
  RuntimeResponse GetHideEmpty() override { return zones_.GetHideEmpty(); }
  RuntimeResponse SetHideEmpty(const std::string& body) override {
    return zones_.SetHideEmpty(body);
  }
  RuntimeResponse GetSourceGeometry() override { return zones_.GetSourceGeometry(); }
  RuntimeResponse SetSourceGeometry(const std::string& body) override {
    return zones_.SetSourceGeometry(body);
  }
  RuntimeResponse GetStatus() override { return sources_.GetStatus(); }
  RuntimeResponse ListSources() override { return sources_.ListSources(); }
  RuntimeResponse RefreshSources(const std::string& body) override {
    return sources_.RefreshSources(body);
  }
  RuntimeResponse SelectSource(const std::string& body) override {
    return sources_.SelectSource(body);
  }
  RuntimeResponse ClearSource() override { return sources_.ClearSource(); }
  RuntimeResponse GetPreview(bool working) override { return frame_path_.GetPreview(working); }
  RuntimeResponse GetZonePreview(const std::string& zone_id, const std::string& kind,
                                 std::int32_t slot_index,
                                 const ZonePreviewOptions& options) override {
    return zones_.GetZonePreview(zone_id, kind, slot_index, options);
  }
  RuntimeResponse GetVmixOutput() override { return outputs_.GetVmixOutput(); }
  RuntimeResponse SetVmixOutput(const std::string& body) override {
    return outputs_.SetVmixOutput(body);
  }
  RuntimeResponse SetOutputSwitches(const std::string& body) override {
    return outputs_.SetOutputSwitches(body);
  }
  RuntimeResponse TestVmixOutput(const std::string& body) override {
    return outputs_.TestVmixOutput(body);
  }
  RuntimeResponse DiscoverVmixInputs(const std::string& body) override {
    return outputs_.DiscoverVmixInputs(body);
  }
  RuntimeResponse StartVmixLanSearch() override { return outputs_.StartVmixLanSearch(); }
  RuntimeResponse GetVmixLanSearch() override { return outputs_.GetVmixLanSearch(); }
  RuntimeResponse CancelVmixLanSearch() override { return outputs_.CancelVmixLanSearch(); }
  RuntimeResponse SetSrtSettings(const std::string& body) override {
    return sources_.SetSrtSettings(body);
  }
  RuntimeResponse SetSrtListening(const std::string& body) override {
    return sources_.SetSrtListening(body);
  }
  RuntimeResponse HandleSports(const std::string& method, const std::string& path,
                               const std::string& body) override {
    return catalogs_.HandleSports(method, path, body);
  }
  RuntimeResponse HandleDisplayFormat(const std::string& method, const std::string& path,
                                      const std::string& body) override {
    return catalogs_.HandleDisplayFormat(method, path, body);
  }

 private:
  // The stored configuration at start: the selection and the per-source maps, the vMix switch,
  // the Example factory defaults, and a save when loading changed anything.
  void LoadStoredConfiguration();
  // The worker's tick-done hook: tells the server whether there is a state to stream and hands
  // the vMix output a snapshot.
  void OnAnalysisTick();

  NativeSessionOptions options_;
  AnalysisWorker worker_;
  std::unique_ptr<SessionServer> server_;
  // Serialises every change of a stored setting (zones, geometry, hide-empty, source choice, vMix
  // output, sport, display format) with its application, so that concurrent requests cannot undo
  // one another's change and files are written in the order of the changes. Taken after the
  // sources' control mutex and before the catalog and engine mutexes; the frame path never takes
  // it, so a settings file is written while frames go on.
  Mutex settings_mutex_;
  SessionEngine engine_;
  SessionOutputs outputs_;
  FramePath frame_path_;
  SessionCatalogs catalogs_;
  SessionZones zones_;
  // Last, so destroyed first: its inputs publish into the frame path and call the other parts
  // until they stop.
  SessionSources sources_;
};

}  // namespace tessvark
