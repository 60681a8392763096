#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/state_value.h"
#include "ocr/analysis_worker.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "server/local_http_server.h"
#include "session/native_session_options.h"
#include "session/ocr_runtime.h"
#include "session/ocr_zone.h"
#include "session/session_state.h"
#include "sources/example_player.h"
#include "sources/ndi_runtime.h"

namespace tessvark {

// The one runtime object of the program: it owns the analysis worker, the local web server, the
// vMix output, the Example player and the shared session state, and answers the server's API
// operations. The desktop host constructs it, calls Start once, runs its loop, calls Stop and
// destroys it, all on one thread.
class NativeSession : public OcrRuntime {
 public:
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

  LocalHttpServer& Server() { return server_; }
  // The mailbox the live receivers publish into (the SRT receiver directly, NDI and OMT through
  // the session's frame callbacks).
  LatestFrameSlot& FrameSlot() { return state_->frame_slot; }

  RuntimeResponse ListZones() override;
  RuntimeResponse CreateZone(const std::string& body) override;
  RuntimeResponse UpdateZone(const std::string& zone_id, const std::string& body) override;
  RuntimeResponse DeleteZone(const std::string& zone_id) override;
  RuntimeResponse ReorderZones(const std::string& body) override;
  RuntimeResponse GetHideEmpty() override;
  RuntimeResponse SetHideEmpty(const std::string& body) override;
  RuntimeResponse GetSourceGeometry() override;
  RuntimeResponse SetSourceGeometry(const std::string& body) override;
  RuntimeResponse GetStatus() override;
  RuntimeResponse ListSources() override;
  RuntimeResponse RefreshSources(const std::string& body) override;
  RuntimeResponse SelectSource(const std::string& body) override;
  RuntimeResponse ClearSource() override;
  RuntimeResponse GetPreview(bool working) override;
  RuntimeResponse GetZonePreview(const std::string& zone_id, const std::string& kind,
                                 std::int32_t slot_index,
                                 const ZonePreviewOptions& options) override;
  RuntimeResponse GetVmixOutput() override;
  RuntimeResponse SetVmixOutput(const std::string& body) override;
  RuntimeResponse SetOutputSwitches(const std::string& body) override;
  RuntimeResponse TestVmixOutput(const std::string& body) override;
  RuntimeResponse DiscoverVmixInputs(const std::string& body) override;
  RuntimeResponse StartVmixLanSearch() override;
  RuntimeResponse GetVmixLanSearch() override;
  RuntimeResponse CancelVmixLanSearch() override;
  RuntimeResponse SetSrtSettings(const std::string& body) override;
  RuntimeResponse SetSrtListening(const std::string& body) override;
  RuntimeResponse HandleSports(const std::string& method, const std::string& path,
                               const std::string& body) override;
  RuntimeResponse HandleDisplayFormat(const std::string& method, const std::string& path,
                                      const std::string& body) override;

 private:
  // Hooks of the worker and the vMix output.
  StateValue CurrentStateValue();
  void RunPendingAnalysis();
  void OnAnalysisTick();
  void OnValuesPublished(std::uint64_t generation);

  // Frame path; the functions marked "engine" expect the engine mutex held.
  void OnReceiverFrame(const std::string& kind, const NdiFrame& frame);
  void OnReceiverLinkState(const std::string& kind, const NdiLinkSnapshot& snapshot);
  void InstallRuntimeCallbacks(NdiRuntime& runtime, const std::string& kind);
  void RunPreviewLoop();
  void RunOcrLoop();
  void AnalyzeFrame(bool analysis_allowed, bool refresh_previews);  // engine
  void ResetStateAndOutputs();                                      // engine

  // Sources.
  void StartSelectedReceiver();
  void StopReceivers();
  void StartExampleSource();
  bool OnExampleVideoEvent(const ExampleVideoEvent& event);
  ExampleVideoCallback ForwardExampleEvent();
  void ResetExampleInfo();  // engine
  void StopSrtListener();
  std::uint64_t BeginSrtSession();
  // Takes the control lock; while it is held `stopping` cannot change. An operation that would
  // start something refuses when `stopping` is set under it.
  std::unique_lock<std::mutex> LockControl();

  // The stored configuration at start.
  void LoadExampleDefaults();

  // Catalogs, sport and display format at start.
  void LoadCatalogs();
  void ApplySport(const std::string& code);
  void ReapplyDisplayFormat();
  // The display format in force and whether football is the active sport, each read under its
  // own lock.
  DisplayFormat DisplayFormatInForce(bool& football);

  // Status, sources, outputs, sports and display format.
  RuntimeResponse SelectSrtSource(const std::string& id);
  RuntimeResponse SelectReceiverSource(const std::string& kind, const std::string& id);
  RuntimeResponse SelectExampleSource(const std::string& id);
  // Stops the SRT listener, the Example player and both receivers; false when the session is
  // stopping (nothing but the listener stopped then).
  bool StopEveryInput();
  // The resets of a newly selected NDI, OMT or Example video source (engine).
  void ResetForNewSource();
  RuntimeResponse ChooseSport(const std::string& body);
  RuntimeResponse ChangeDisplayFormat(const std::string& body);
  RuntimeResponse DisplayFormatReply();
  // Saves the output document for `config` and applies it; settings_mutex_ is held.
  bool StoreVmixConfig(const VmixOutputConfig& config);
  // Serialises every change of a stored setting (vMix output, sport, display format) with its
  // application, so that concurrent requests cannot undo one another's change. Taken before the
  // catalog and engine mutexes.
  std::mutex settings_mutex_;

  NativeSessionOptions options_;
  AnalysisWorker worker_;
  VmixOutputControllerPtr vmix_;  // made by Start; read by hooks and operations after that
  LocalHttpServer server_;
  std::unique_ptr<SessionState> state_;
  std::unique_ptr<ExamplePlayer> example_player_;
};

// The picture as JPEG bytes of the given quality; empty for an empty picture or a failed encode.
std::string EncodeJpeg(const cv::Mat& picture, std::int32_t quality);

// The status words of the signal codes: 0 "connecting", 1 "live", 2 "stale", 3 "offline", any
// other "stopped".
std::string SignalName(std::int32_t code);
// The status object of an Example selection or of no selection; the engine mutex is held.
std::string ExampleStatusJson(SessionState& state);
// The status object of an SRT selection; the engine mutex is held.
std::string SrtStatusJson(SessionState& state);

}  // namespace tessvark
