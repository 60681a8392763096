#include "session/native_session.h"

#include <utility>

#include "ocr/image_threads.h"
#include "platform/picture_buffers.h"
#include "outputs/vmix/vmix_output_config.h"

namespace tessvark {
namespace {

LocalHttpServerOptions ServerOptionsOf(const NativeSessionOptions& options) {
  LocalHttpServerOptions server;
  server.ui_root = options.ui_root;
  server.host = options.host;
  server.port = options.port;
  server.port_attempts = options.port_attempts;
  server.max_body_bytes = options.max_body_bytes;
  server.max_event_streams = options.max_event_streams;
  server.event_heartbeat_seconds = options.event_heartbeat_seconds;
  server.event_wait_seconds = options.event_wait_seconds;
  server.timestamp_clock = options.timestamp_clock;
  return server;
}

}  // namespace

NativeSession::NativeSession(NativeSessionOptions options)
    : options_(std::move(options)),
      worker_(options_.clock_lane_interval_seconds, options_.other_lane_interval_seconds,
              options_.analysis_wait_seconds, [] { return UtcTimestampNow(); }),
      server_(ServerOptionsOf(options_)),
      state_(std::make_unique<SessionState>()),
      example_player_(MakeExamplePlayer()) {
  KeepImageWorkOnCallingThread();
  KeepPictureBuffersForReuse();
}

NativeSession::~NativeSession() {
  Stop();
  DestroyExamplePlayer(std::move(example_player_));
  state_.reset();
}

bool NativeSession::Start() {
  SessionState& state = *state_;
  LoadExampleDefaults();
  server_.SetStateStore(&worker_.StateStore());
  server_.SetRuntime(this);

  vmix_ = MakeVmixOutputController([this] { return CurrentStateValue(); });
  if (!state.stored_configuration.output_config_text.empty()) {
    vmix_->ApplyConfig(ParseVmixOutputConfigFile(state.stored_configuration.output_config_text));
  }
  vmix_->StartSender();

  worker_.SetAfterAnalysisHook([this] { RunPendingAnalysis(); });
  worker_.SetTickDoneHook([this] { OnAnalysisTick(); });
  worker_.SetAnalysisEnabled(false);
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    state.stopping.exchange(false);
    worker_.SetSourceIdentity(std::nullopt);
    worker_.SetGeometryKey(GeometryKey(state.default_geometry));
  }

  // The server's routes reach the catalogs and the runtimes from the moment it listens, so both
  // are made first. The NDI and OMT protocol runtimes are not part of this build: a session uses
  // only a runtime supplied in its options, and reports a kind without one as absent.
  LoadCatalogs();
  state.ocr_started.exchange(true);
  if (options_.ndi_runtime) {
    InstallRuntimeCallbacks(*options_.ndi_runtime, "ndi");
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    state.ndi_runtime = options_.ndi_runtime;
  }

  if (!server_.Start()) {
    vmix_->StopSender();
    return false;
  }
  worker_.UseSteadyClock();
  worker_.SetValuesPublishedHook([this](std::uint64_t generation) { OnValuesPublished(generation); });
  worker_.Start();

  state.threads_stop.exchange(false);
  state.preview_thread = std::thread([this] { RunPreviewLoop(); });
  state.feeder_thread = std::thread([this] { RunOcrLoop(); });

  StartSelectedReceiver();
  StartExampleSource();
  return true;
}

void NativeSession::Stop() {
  if (state_) {
    SessionState& state = *state_;
    {
      // An operation that is starting something finishes before this, and every later one sees
      // `stopping`, so whatever is stopped below stays stopped.
      std::lock_guard<std::mutex> control(state.control_mutex);
      state.stopping.exchange(true);
      state.threads_stop.exchange(true);
    }
    StopSrtListener();
    state.frame_slot.Close();
    std::shared_ptr<NdiRuntime> runtimes[2];
    {
      std::lock_guard<std::mutex> engine(state.engine_mutex);
      runtimes[0] = state.ndi_runtime;
      runtimes[1] = state.omt_runtime;
    }
    for (const std::shared_ptr<NdiRuntime>& runtime : runtimes) {
      if (!runtime) continue;
      runtime->Stop();
      // A supplied runtime may outlive the session; its callbacks must not.
      runtime->SetFrameCallback({});
      runtime->SetLinkCallback({});
    }
    if (state.preview_thread.joinable()) state.preview_thread.join();
    if (state.feeder_thread.joinable()) state.feeder_thread.join();
  }
  if (example_player_ && state_) {
    std::lock_guard<std::mutex> control(state_->control_mutex);
    example_player_->Stop();
  }
  worker_.SetTickDoneHook({});
  worker_.Stop();
  if (vmix_) vmix_->StopSender();
  server_.SetRuntime(nullptr);
  server_.Stop();
}

std::unique_lock<std::mutex> NativeSession::LockControl() {
  return std::unique_lock<std::mutex>(state_->control_mutex);
}

StateValue NativeSession::CurrentStateValue() { return worker_.StateStore().SnapshotWithDisplay(); }

void NativeSession::OnAnalysisTick() {
  server_.SetStateAvailable(worker_.HasResult());
  if (vmix_) vmix_->PublishValues(worker_.StateStore().SnapshotWithDisplay());
}

void NativeSession::OnValuesPublished(std::uint64_t generation) {
  if (vmix_) vmix_->ReleaseHold(generation);
}

void NativeSession::RunPendingAnalysis() {
  SessionState& state = *state_;
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  if (!state.example_pending || state.stopping || state.source_image.empty() || !state.selected) {
    return;
  }
  state.example_pending = false;
  AnalyzeFrame(true, false);
}

}  // namespace tessvark
