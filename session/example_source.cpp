// The Example media as a source, and the start of a stored live selection.

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "session/native_session.h"

namespace tessvark {

void NativeSession::StartSelectedReceiver() {
  SessionState& state = *state_;
  bool selected = false;
  std::string type;
  std::string id;
  std::shared_ptr<NdiRuntime> runtime;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    selected = state.selected;
    type = state.source_type;
    id = state.source_id;
    if (type == "ndi") runtime = state.ndi_runtime;
    if (type == "omt") runtime = state.omt_runtime;
  }
  if (!selected || !runtime) return;
  runtime->Start();
  runtime->SelectSource(id);
}

void NativeSession::StopReceivers() {
  std::shared_ptr<NdiRuntime> runtimes[2];
  {
    std::lock_guard<std::mutex> engine(state_->engine_mutex);
    runtimes[0] = state_->ndi_runtime;
    runtimes[1] = state_->omt_runtime;
  }
  for (const std::shared_ptr<NdiRuntime>& runtime : runtimes) {
    if (runtime) runtime->Stop();
  }
}

ExampleVideoCallback NativeSession::ForwardExampleEvent() {
  return [this](const ExampleVideoEvent& event) { return OnExampleVideoEvent(event); };
}

void NativeSession::ResetExampleInfo() {
  SessionState& state = *state_;
  state.example_video_active = false;
  state.example_error.clear();
  state.example_codec.clear();
  state.example_fps = 0.0;
  state.example_duration = 0.0;
  state.example_frame_count = 0;
  state.example_width = 0;
  state.example_height = 0;
}

void NativeSession::StartExampleSource() {
  SessionState& state = *state_;
  std::string id;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    if (!state.selected || state.source_type != "example") return;
    id = state.source_id;
  }
  if (id == "example-1") {
    const std::string path = options_.ui_root + "/assets/example/3.mp4";
    // A missing clip leaves the selection without pictures; other status failures throw.
    if (!std::filesystem::is_regular_file(std::filesystem::status(path))) return;
    {
      std::lock_guard<std::mutex> engine(state.engine_mutex);
      state.example_video_active = true;
      worker_.SetSourceIdentity(CurrentSourceContext(state));
      worker_.SetAnalysisEnabled(false);
      server_.SetStateAvailable(false);
    }
    StopReceivers();
    example_player_->Start(path, ForwardExampleEvent());
  } else if (id == "example-2") {
    const cv::Mat still = cv::imread(options_.ui_root + "/assets/example/1.jpg", cv::IMREAD_COLOR);
    StopReceivers();
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    worker_.SetSourceIdentity(CurrentSourceContext(state));
    if (!still.empty()) state.source_image = still;
    AnalyzeFrame(!still.empty(), true);
  }
}

bool NativeSession::OnExampleVideoEvent(const ExampleVideoEvent& event) {
  SessionState& state = *state_;
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  if (!state.example_video_active || state.source_id != "example-1") return false;
  if (event.kind == kExampleEventError) {
    state.example_error = event.message.empty() ? "Could not decode Example video" : event.message;
    return false;
  }
  if (event.kind == kExampleEventInfo) {
    state.example_fps = event.fps;
    state.example_frame_count = event.frame_count;
    state.example_duration = event.duration;
    state.example_codec = event.codec_name;
    state.example_error.clear();
    return true;
  }
  if (event.image.empty()) return true;
  state.example_width = event.image.cols;
  state.example_height = event.image.rows;
  if (event.fps > 0.0) state.example_fps = event.fps;
  state.example_error.clear();
  // The player reuses its picture buffers; the session keeps its own copy.
  state.source_image = event.image.clone();
  if (worker_.IsBusy()) {
    // Analysed by the after-analysis hook once the worker is free; the preview shows it now.
    state.example_pending = true;
    RefreshPreview(state, false, 80);
    return true;
  }
  state.example_pending = false;
  AnalyzeFrame(true, true);
  return true;
}

}  // namespace tessvark
