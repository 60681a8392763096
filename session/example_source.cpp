// The inputs' lifecycle and callbacks: the start of a stored selection, the receivers' link
// states, the Example media as a source, and stopping everything.

#include "session/session_sources.h"

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

namespace tessvark {

void SessionSources::InstallRuntimeCallbacks(NdiRuntime& runtime, SourceKind kind) {
  runtime.SetFrameCallback(
      [this, kind](const NdiFrame& frame) { frame_path_.OnReceiverFrame(kind, frame); });
  runtime.SetLinkCallback(
      [this, kind](const NdiLinkSnapshot& snapshot) { OnReceiverLinkState(kind, snapshot); });
}

void SessionSources::AttachRuntimes(std::shared_ptr<NdiRuntime> ndi_runtime,
                                    std::shared_ptr<NdiRuntime> omt_runtime) {
  if (ndi_runtime) InstallRuntimeCallbacks(*ndi_runtime, SourceKind::kNdi);
  if (omt_runtime) InstallRuntimeCallbacks(*omt_runtime, SourceKind::kOmt);
  MutexLock engine(engine_.mutex);
  ndi_runtime_ = std::move(ndi_runtime);
  omt_runtime_ = std::move(omt_runtime);
}

void SessionSources::StartStored() {
  StartSelectedReceiver();
  StartExampleSource();
}

void SessionSources::BeginStop() {
  // An operation that is starting something finishes before this, and every later one sees
  // `stopping`, so whatever is stopped afterwards stays stopped.
  MutexLock control(control_);
  engine_.stopping.store(true);
}

std::array<std::shared_ptr<NdiRuntime>, 2> SessionSources::Runtimes() {
  MutexLock engine(engine_.mutex);
  return {ndi_runtime_, omt_runtime_};
}

void SessionSources::StopRuntimes() {
  for (const std::shared_ptr<NdiRuntime>& runtime : Runtimes()) {
    if (!runtime) continue;
    runtime->Stop();
    // A supplied runtime may outlive the session; its callbacks must not.
    runtime->SetFrameCallback({});
    runtime->SetLinkCallback({});
  }
}

void SessionSources::StopExamplePlayer() {
  MutexLock control(control_);
  example_player_.Stop();
}

void SessionSources::OnReceiverLinkState(SourceKind kind, const NdiLinkSnapshot& snapshot) {
  MutexLock engine(engine_.mutex);
  SourceSelection& selection = engine_.selection;
  if (engine_.stopping || !selection.selected || selection.type != kind) return;
  if (!snapshot.selected_source.empty() && snapshot.selected_source != selection.id) return;
  const std::string& link = snapshot.state;
  if (link == "offline" || link == "error" || link == "no_source" || link == "stale") {
    worker_.SetAnalysisEnabled(false);
    // A source preview exists: encoded already, or to be encoded from the stored picture.
    server_.SetStateAvailable(!engine_.pictures.source_jpeg.empty() ||
                              !engine_.pictures.source_image.empty());
  }
}

void SessionSources::StartSelectedReceiver() {
  bool selected = false;
  std::string id;
  std::shared_ptr<NdiRuntime> runtime;
  {
    MutexLock engine(engine_.mutex);
    selected = engine_.selection.selected;
    const SourceKind type = engine_.selection.type;
    id = engine_.selection.id;
    if (type == SourceKind::kNdi) runtime = ndi_runtime_;
    if (type == SourceKind::kOmt) runtime = omt_runtime_;
  }
  if (!selected || !runtime) return;
  runtime->Start();
  runtime->SelectSource(id);
}

void SessionSources::StopReceivers() {
  for (const std::shared_ptr<NdiRuntime>& runtime : Runtimes()) {
    if (runtime) runtime->Stop();
  }
}

ExampleVideoCallback SessionSources::ForwardExampleEvent() {
  return [this](const ExampleVideoEvent& event) { return OnExampleVideoEvent(event); };
}

void SessionSources::ResetExampleInfo() { engine_.example = ExampleInfo{}; }

void SessionSources::StartExampleSource() {
  std::string id;
  {
    MutexLock engine(engine_.mutex);
    if (!engine_.selection.selected || engine_.selection.type != SourceKind::kExample) return;
    id = engine_.selection.id;
  }
  if (id == "example-1") {
    const std::string path = ui_root_ + "/assets/example/3.mp4";
    // A missing clip leaves the selection without pictures; other status failures throw.
    if (!std::filesystem::is_regular_file(std::filesystem::status(path))) return;
    {
      MutexLock engine(engine_.mutex);
      engine_.example.video_active = true;
      worker_.SetSourceIdentity(ContextOf(engine_.selection));
      worker_.SetAnalysisEnabled(false);
      server_.SetStateAvailable(false);
    }
    StopReceivers();
    example_player_.Start(path, ForwardExampleEvent());
  } else if (id == "example-2") {
    const cv::Mat still = cv::imread(ui_root_ + "/assets/example/1.jpg", cv::IMREAD_COLOR);
    StopReceivers();
    MutexLock engine(engine_.mutex);
    worker_.SetSourceIdentity(ContextOf(engine_.selection));
    if (!still.empty()) engine_.pictures.source_image = still;
    frame_path_.Analyze(engine_, !still.empty(), true);
  }
}

bool SessionSources::OnExampleVideoEvent(const ExampleVideoEvent& event) {
  // The player reuses its picture buffers; the session keeps its own copy, made before the
  // engine mutex is taken.
  const cv::Mat picture = event.kind == kExampleEventError || event.kind == kExampleEventInfo
                              ? cv::Mat()
                              : event.image.clone();
  MutexLock engine(engine_.mutex);
  ExampleInfo& example = engine_.example;
  FramePictures& pictures = engine_.pictures;
  if (!example.video_active || engine_.selection.id != "example-1") return false;
  if (event.kind == kExampleEventError) {
    example.error = event.message.empty() ? "Could not decode Example video" : event.message;
    return false;
  }
  if (event.kind == kExampleEventInfo) {
    example.fps = event.fps;
    example.frame_count = event.frame_count;
    example.duration = event.duration;
    example.codec = event.codec_name;
    example.error.clear();
    return true;
  }
  if (picture.empty()) return true;
  example.width = picture.cols;
  example.height = picture.rows;
  if (event.fps > 0.0) example.fps = event.fps;
  example.error.clear();
  frame_path_.StorePicture(engine_, picture);
  if (worker_.IsBusy()) {
    // Analysed by the after-analysis hook once the worker is free; the preview shows it now.
    pictures.example_pending = true;
    frame_path_.RefreshPreview(engine_, false, 80);
    return true;
  }
  pictures.example_pending = false;
  frame_path_.Analyze(engine_, true, true);
  return true;
}

}  // namespace tessvark
