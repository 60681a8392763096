#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "core/json_writer.h"
#include "core/mutex.h"
#include "ocr/analysis_worker.h"
#include "session/frame_path.h"
#include "session/runtime_response.h"
#include "session/session_engine.h"
#include "session/session_outputs.h"
#include "session/session_server.h"
#include "sources/example_player.h"
#include "sources/ndi_runtime.h"
#include "sources/srt_receiver.h"

namespace tessvark {

// The video sources: choosing, clearing, listing and refreshing them, the SRT listener's settings
// and switch, the status of the selected source, and the inputs behind them (the NDI and OMT
// runtimes, the Example player and the SRT receiver), started and stopped as the selection
// changes.
//
// Locks: the control mutex serialises starting and stopping the inputs, which are not safe to
// start and stop from several threads at once; it comes before every other session lock. A
// change of the selection, which is saved, holds the session's settings mutex (after the control
// mutex, before the engine mutex), so it runs one at a time with every other saved change. An
// operation that starts an input holds it around its test of `stopping` and the start, and
// BeginStop raises `stopping` under it, so nothing is started once the session stops. No callback
// takes it, and nothing that joins an input's thread runs under the engine mutex.
class SessionSources {
 public:
  SessionSources(const std::string& ui_root, SessionEngine& engine, FramePath& frame_path,
                 AnalysisWorker& worker, SessionServer& server, SessionOutputs& outputs,
                 Mutex& settings);
  SessionSources(const SessionSources&) = delete;
  SessionSources& operator=(const SessionSources&) = delete;

  // Lifecycle, on the session's owning thread. The runtimes attached at start (either may be
  // absent) receive the session's frame and link callbacks before anything else is asked of
  // them; StartStored starts the input of a stored selection.
  void AttachRuntimes(std::shared_ptr<NdiRuntime> ndi_runtime,
                      std::shared_ptr<NdiRuntime> omt_runtime) EXCLUDES(engine_.mutex);
  void StartStored() EXCLUDES(control_, engine_.mutex);
  // Raises `stopping`; every later operation that would start an input refuses.
  void BeginStop() EXCLUDES(control_);
  void StopSrtListener() EXCLUDES(control_, engine_.mutex);
  // Stops both runtimes and takes the session's callbacks back (a supplied runtime may outlive
  // the session).
  void StopRuntimes() EXCLUDES(engine_.mutex);
  void StopExamplePlayer() EXCLUDES(control_);

  RuntimeResponse GetStatus() EXCLUDES(engine_.mutex);
  RuntimeResponse ListSources() EXCLUDES(engine_.mutex);
  RuntimeResponse RefreshSources(const std::string& body) EXCLUDES(control_, engine_.mutex);
  RuntimeResponse SelectSource(const std::string& body) EXCLUDES(control_, settings_, engine_.mutex);
  RuntimeResponse ClearSource() EXCLUDES(control_, settings_, engine_.mutex);
  RuntimeResponse SetSrtSettings(const std::string& body) EXCLUDES(control_, engine_.mutex);
  RuntimeResponse SetSrtListening(const std::string& body) EXCLUDES(control_, engine_.mutex);

 private:
  // Callbacks of the inputs.
  void InstallRuntimeCallbacks(NdiRuntime& runtime, SourceKind kind);
  void OnReceiverLinkState(SourceKind kind, const NdiLinkSnapshot& snapshot)
      EXCLUDES(engine_.mutex);
  bool OnExampleVideoEvent(const ExampleVideoEvent& event) EXCLUDES(engine_.mutex);
  ExampleVideoCallback ForwardExampleEvent();
  // The SRT receiver's start of a new stream: a new source generation.
  std::uint64_t BeginSrtSession() EXCLUDES(engine_.mutex);

  // Both runtimes (NDI first), either possibly absent.
  std::array<std::shared_ptr<NdiRuntime>, 2> Runtimes() EXCLUDES(engine_.mutex);
  void StartSelectedReceiver() EXCLUDES(engine_.mutex);
  void StartExampleSource() EXCLUDES(engine_.mutex);
  void StopReceivers() EXCLUDES(engine_.mutex);
  // Stops the SRT listener, the Example player and both receivers; false when the session is
  // stopping (nothing but the listener stopped then).
  bool StopEveryInput() EXCLUDES(control_, engine_.mutex);

  RuntimeResponse SelectSrtSource(const std::string& id)
      EXCLUDES(control_, settings_, engine_.mutex);
  RuntimeResponse SelectReceiverSource(SourceKind kind, const std::string& id)
      EXCLUDES(control_, settings_, engine_.mutex);
  RuntimeResponse SelectExampleSource(const std::string& id)
      EXCLUDES(control_, settings_, engine_.mutex);

  // The resets of a change of source, with the engine mutex held.
  void ResetExampleInfo() REQUIRES(engine_.mutex);
  void ResetStateAndOutputs();
  void ResetForNewSource() REQUIRES(engine_.mutex);

  // The listing of both runtimes' sources.
  std::string SourcesJson(bool refresh_requested) EXCLUDES(engine_.mutex);
  // The status object of an SRT selection, or its members into an open object.
  std::string SrtStatusJson() REQUIRES(engine_.mutex);
  void WriteSrtStatus(JsonWriter& out) REQUIRES(engine_.mutex);

  const std::string ui_root_;
  SessionEngine& engine_;
  FramePath& frame_path_;
  AnalysisWorker& worker_;
  SessionServer& server_;
  SessionOutputs& outputs_;
  Mutex& settings_;

  // Outermost of the session's locks, as the compiler checks.
  Mutex control_ ACQUIRED_BEFORE(settings_, engine_.mutex);
  // Set before the server listens; read under the engine mutex afterwards.
  std::shared_ptr<NdiRuntime> ndi_runtime_ GUARDED_BY(engine_.mutex);
  std::shared_ptr<NdiRuntime> omt_runtime_ GUARDED_BY(engine_.mutex);
  // Destroyed before the frame path whose slot it publishes into (the session owns both).
  SrtReceiver srt_receiver_;  // its own lock
  ExamplePlayer example_player_;
};

// The status words of the signal codes: 0 "connecting", 1 "live", 2 "stale", 3 "offline", any
// other "stopped".
std::string SignalName(std::int32_t code);
// The status object of an Example selection or of no selection; the members alone into an open
// object.
std::string ExampleStatusJson(SessionEngine& engine) REQUIRES(engine.mutex);
void WriteExampleStatus(SessionEngine& engine, JsonWriter& out) REQUIRES(engine.mutex);
// The frame path's counters of a live source's status: "frames_replaced", "frames_published",
// "jpeg_frames", "ocr_frames" and "ocr_skipped".
void WriteFrameCounters(FramePath& frame_path, JsonWriter& out);

}  // namespace tessvark
