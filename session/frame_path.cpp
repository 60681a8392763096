// Live frames from the receivers to the analysis worker: the receiver callbacks, the preview
// thread, the frame feeder thread and the frame step shared with the Example source and the API.

#include <chrono>
#include <limits>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "session/native_session.h"

namespace tessvark {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t kPreviewWaitMs = 200;
constexpr auto kPreviewSpacing = std::chrono::nanoseconds(200'000'000);
constexpr std::int32_t kPreviewQuality = 80;
constexpr std::int64_t kFeederWaitMs = 50;
constexpr auto kFeederSpacing = std::chrono::nanoseconds(50'000'000);
constexpr std::int64_t kFrameAgeLimitNs = 2'500'000'000;

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             SteadyClock::now().time_since_epoch())
      .count();
}

bool IsLiveReceiverType(const std::string& type) {
  return type == "ndi" || type == "srt" || type == "omt";
}

// Waits for a frame newer than `last_seen` and takes it, moving `last_seen` on.
std::shared_ptr<const VideoFrame> TakeNewerFrame(LatestFrameSlot& slot, std::int64_t timeout_ms,
                                                 std::int64_t& last_seen) {
  std::unique_lock<std::mutex> lock = slot.Lock();
  slot.WaitForNewer(lock, timeout_ms, last_seen);
  std::shared_ptr<const VideoFrame> held = slot.HeldFrame(lock);
  if (!held || held->sequence <= last_seen) return nullptr;
  last_seen = held->sequence;
  return held;
}

// The frame belongs to the selection now in force; the caller holds the engine mutex.
bool MatchesSelection(const SessionState& state, const VideoFrame& frame) {
  return IsLiveReceiverType(state.source_type) &&
         frame.source_generation == state.source_generation && frame.source == state.source_id;
}

}  // namespace

std::string EncodeJpeg(const cv::Mat& picture, std::int32_t quality) {
  if (picture.empty()) return {};
  std::vector<unsigned char> bytes;
  try {
    if (!cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality})) return {};
  } catch (const cv::Exception&) {
    return {};
  }
  return std::string(bytes.begin(), bytes.end());
}

void NativeSession::InstallRuntimeCallbacks(NdiRuntime& runtime, const std::string& kind) {
  runtime.SetFrameCallback([this, kind](const NdiFrame& frame) { OnReceiverFrame(kind, frame); });
  runtime.SetLinkCallback(
      [this, kind](const NdiLinkSnapshot& snapshot) { OnReceiverLinkState(kind, snapshot); });
}

void NativeSession::OnReceiverFrame(const std::string& kind, const NdiFrame& frame) {
  SessionState& state = *state_;
  if (frame.image.empty() || state.threads_stop || state.stopping || kind.empty()) return;
  bool selected = false;
  std::string type;
  std::string id;
  std::int32_t generation = 0;
  {
    std::lock_guard<std::mutex> selection(state.selection_mutex);
    selected = state.published_selected;
    type = state.published_source_type;
    id = state.published_source_id;
    generation = state.published_generation;
  }
  if (!selected || kind != type || frame.source != id) return;
  VideoFrame video;
  video.image = frame.image;
  video.width = frame.image.cols;
  video.height = frame.image.rows;
  video.row_stride = static_cast<std::int32_t>(frame.image.step[0]);
  video.received_at = SteadyNowNs();
  video.source = frame.source;
  video.source_generation = generation;
  state.frame_slot.Publish(std::move(video));
}

void NativeSession::OnReceiverLinkState(const std::string& kind, const NdiLinkSnapshot& snapshot) {
  SessionState& state = *state_;
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  if (state.stopping || !state.selected || kind.empty() || state.source_type != kind) return;
  if (!snapshot.selected_source.empty() && snapshot.selected_source != state.source_id) return;
  const std::string& link = snapshot.state;
  if (link == "offline" || link == "error" || link == "no_source" || link == "stale") {
    worker_.SetAnalysisEnabled(false);
    server_.SetStateAvailable(!state.source_jpeg.empty());
  }
}

void NativeSession::RunPreviewLoop() {
  SessionState& state = *state_;
  if (state.threads_stop) return;
  std::int64_t last_seen = 0;
  std::optional<SteadyClock::time_point> last_store;
  while (true) {
    std::shared_ptr<const VideoFrame> frame = TakeNewerFrame(state.frame_slot, kPreviewWaitMs, last_seen);
    if (frame && !state.threads_stop &&
        (!last_store || SteadyClock::now() - *last_store >= kPreviewSpacing)) {
      std::lock_guard<std::mutex> engine(state.engine_mutex);
      if (MatchesSelection(state, *frame)) {
        state.source_image = frame->image;
        RefreshPreview(state, false, kPreviewQuality);
        last_store = SteadyClock::now();
        state.jpeg_frames.fetch_add(1);
      }
    }
    frame.reset();
    if (state.threads_stop) return;
  }
}

void NativeSession::RunOcrLoop() {
  SessionState& state = *state_;
  if (state.threads_stop) return;
  std::int64_t last_seen = 0;
  std::optional<SteadyClock::time_point> last_pass;
  while (true) {
    std::shared_ptr<const VideoFrame> frame = TakeNewerFrame(state.frame_slot, kFeederWaitMs, last_seen);
    if (frame && !state.threads_stop) {
      if (last_pass && SteadyClock::now() - *last_pass < kFeederSpacing) {
        const auto remaining = *last_pass + kFeederSpacing - SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(remaining));
        std::unique_lock<std::mutex> lock = state.frame_slot.Lock();
        if (std::shared_ptr<const VideoFrame> newest = state.frame_slot.HeldFrame(lock)) {
          frame = std::move(newest);
          last_seen = frame->sequence;
        }
      }
      if (SteadyNowNs() - frame->received_at >= kFrameAgeLimitNs) {
        state.ocr_skipped.fetch_add(1);
      } else {
        // The engine mutex is held for the whole pass, so the selection cannot change between
        // the test and the step; a frame of another selection is dropped.
        std::lock_guard<std::mutex> engine(state.engine_mutex);
        if (!state.threads_stop && MatchesSelection(state, *frame)) {
          state.source_image = frame->image;
          AnalyzeFrame(true, false);
          last_pass = SteadyClock::now();
          state.ocr_frames.fetch_add(1);
        }
      }
    }
    frame.reset();
    if (state.threads_stop) return;
  }
}

void NativeSession::AnalyzeFrame(bool analysis_allowed, bool refresh_previews) {
  SessionState& state = *state_;
  const std::vector<OcrZone> zones = ZonesForCurrentSource(state);
  std::vector<AnalysisZone> analysis_zones;
  analysis_zones.reserve(zones.size());
  for (const OcrZone& zone : zones) analysis_zones.push_back(ToAnalysisZone(zone));
  worker_.UpdateZones(std::move(analysis_zones), OcrZoneListJson(zones));

  const SourceGeometry geometry = CurrentSourceGeometry(state);
  const std::string geometry_key = GeometryKey(geometry);
  const auto switch_analysis_off = [&] {
    worker_.SetGeometryKey(geometry_key);
    worker_.SetAnalysisEnabled(false);
    server_.SetStateAvailable(false);
  };
  if (!state.selected || state.source_image.empty()) {
    switch_analysis_off();
    return;
  }
  // The whole picture is the working picture under the identity geometry: no copy is made,
  // since nothing writes into a stored picture (the worker copies what it analyses). A
  // degenerate geometry cannot straighten the picture, which is then read as it is.
  if (PlanSourceWarp(state.source_image.cols, state.source_image.rows, geometry).identity) {
    state.working_image = state.source_image;
  } else {
    state.working_image = WarpSourceFrame(state.source_image, geometry);
    if (state.working_image.empty()) state.working_image = state.source_image;
  }

  const bool live = IsLiveReceiverType(state.source_type) ||
                    (state.source_type == "example" && state.example_video_active);
  const std::int32_t source_quality = live ? 80 : 90;
  const std::int32_t working_quality = live ? 95 : 90;
  if (refresh_previews || state.source_jpeg.empty()) {
    RefreshPreview(state, false, source_quality);
    RefreshPreview(state, true, working_quality);
  } else if (analysis_allowed) {
    RefreshPreview(state, true, working_quality);
  }
  if (!analysis_allowed) {
    switch_analysis_off();
    return;
  }

  auto frame = std::make_shared<WorkingFrame>();
  frame->image = state.working_image;
  // Wraps to 1 instead of overflowing after years of frames.
  state.frame_number = state.frame_number == std::numeric_limits<std::int32_t>::max()
                           ? 1
                           : state.frame_number + 1;
  frame->frame_number = state.frame_number;
  frame->profile_key = state.source_type + "\n" + state.source_id;
  frame->geometry_key = geometry_key;
  frame->source = CurrentSourceContext(state);
  worker_.SetAnalysisEnabled(true);
  worker_.SubmitFrame(std::move(frame));
  worker_.SetGeometryKey(geometry_key);
  server_.SetStateAvailable(true);
}

void NativeSession::ResetStateAndOutputs() {
  worker_.RecomputeState();
  if (vmix_) vmix_->RequestClear();
}

void RefreshPreview(SessionState& state, bool working, std::int32_t quality) {
  std::string& jpeg = working ? state.working_jpeg : state.source_jpeg;
  std::int32_t& pending = working ? state.working_jpeg_pending : state.source_jpeg_pending;
  if (jpeg.empty()) {
    jpeg = EncodeJpeg(working ? state.working_image : state.source_image, quality);
    pending = 0;
  } else {
    pending = quality;
  }
}

RuntimeResponse NativeSession::GetPreview(bool working) {
  SessionState& state = *state_;
  std::string jpeg;
  cv::Mat picture;
  std::int32_t quality = 0;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    jpeg = working ? state.working_jpeg : state.source_jpeg;
    quality = working ? state.working_jpeg_pending : state.source_jpeg_pending;
    if (quality > 0) picture = working ? state.working_image : state.source_image;
  }
  if (!picture.empty()) {
    // The newest picture has not been encoded yet: encoded now, outside the lock, and kept for
    // the next request unless a newer picture came meanwhile.
    jpeg = EncodeJpeg(picture, quality);
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    const cv::Mat& current = working ? state.working_image : state.source_image;
    std::int32_t& pending = working ? state.working_jpeg_pending : state.source_jpeg_pending;
    if (current.data == picture.data && pending == quality) {
      (working ? state.working_jpeg : state.source_jpeg) = jpeg;
      pending = 0;
    }
  }
  if (jpeg.empty()) {
    RuntimeResponse waiting;
    waiting.status = 503;
    waiting.content_type = "text/html; charset=utf-8";
    waiting.body = working ? "Waiting for working frame..." : "Waiting for source...";
    return waiting;
  }
  RuntimeResponse reply;
  reply.content_type = "image/jpeg";
  reply.body = std::move(jpeg);
  return reply;
}

}  // namespace tessvark
