#include "session/frame_path.h"

#include <chrono>
#include <limits>
#include <optional>

#include <opencv2/imgcodecs.hpp>

#include "core/steady_clock.h"

namespace tessvark {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t kPreviewWaitMs = 200;
constexpr auto kPreviewSpacing = std::chrono::nanoseconds(200'000'000);
constexpr std::int32_t kPreviewQuality = 80;
constexpr std::int64_t kFeederWaitMs = 50;
constexpr auto kFeederSpacing = std::chrono::nanoseconds(50'000'000);
constexpr std::int64_t kFrameAgeLimitNs = 2'500'000'000;

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

FramePath::FramePath(SessionEngine& engine, AnalysisWorker& worker, SessionServer& server)
    : engine_(engine), worker_(worker), server_(server) {}

FramePath::~FramePath() {
  RequestStop();
  slot_.Close();
  JoinThreads();
}

void FramePath::StartThreads() {
  stop_.store(false);
  preview_thread_ = std::thread([this] { RunPreviewLoop(); });
  feeder_thread_ = std::thread([this] { RunFeederLoop(); });
}

void FramePath::JoinThreads() {
  if (preview_thread_.joinable()) preview_thread_.join();
  if (feeder_thread_.joinable()) feeder_thread_.join();
}

FramePathCounters FramePath::Counters() const {
  FramePathCounters counters;
  counters.previews_stored = previews_stored_.load();
  counters.frames_analysed = frames_analysed_.load();
  counters.frames_too_old = frames_too_old_.load();
  counters.preview_taken = preview_taken_.load();
  counters.feeder_taken = feeder_taken_.load();
  return counters;
}

void FramePath::OnReceiverFrame(SourceKind kind, const NdiFrame& frame) {
  if (frame.image.empty() || stop_ || engine_.stopping) return;
  const SourceSelection selection = engine_.published.Read();
  if (!selection.selected || kind != selection.type || frame.source != selection.id) return;
  VideoFrame video;
  video.image = frame.image;
  video.width = frame.image.cols;
  video.height = frame.image.rows;
  video.row_stride = static_cast<std::int32_t>(frame.image.step[0]);
  video.received_at = SteadyClockNanoseconds();
  video.source = frame.source;
  video.source_generation = selection.generation;
  slot_.Publish(std::move(video));
}

void FramePath::RunPreviewLoop() {
  if (stop_) return;
  std::int64_t last_seen = 0;
  std::optional<SteadyClock::time_point> last_store;
  while (true) {
    std::shared_ptr<const VideoFrame> frame = TakeNewerFrame(slot_, kPreviewWaitMs, last_seen);
    if (frame && !stop_ &&
        (!last_store || SteadyClock::now() - *last_store >= kPreviewSpacing)) {
      MutexLock engine(engine_.mutex);
      if (MatchesSelection(engine_.selection, *frame)) {
        engine_.pictures.source_image = frame->image;
        RefreshPreview(engine_, false, kPreviewQuality);
        last_store = SteadyClock::now();
        previews_stored_.fetch_add(1);
      }
    }
    if (frame) preview_taken_.fetch_add(1);
    frame.reset();
    if (stop_) return;
  }
}

void FramePath::RunFeederLoop() {
  if (stop_) return;
  std::int64_t last_seen = 0;
  std::optional<SteadyClock::time_point> last_pass;
  while (true) {
    std::shared_ptr<const VideoFrame> frame = TakeNewerFrame(slot_, kFeederWaitMs, last_seen);
    if (frame && !stop_) {
      if (last_pass && SteadyClock::now() - *last_pass < kFeederSpacing) {
        const auto remaining = *last_pass + kFeederSpacing - SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(remaining));
        std::unique_lock<std::mutex> lock = slot_.Lock();
        if (std::shared_ptr<const VideoFrame> newest = slot_.HeldFrame(lock)) {
          frame = std::move(newest);
          last_seen = frame->sequence;
        }
      }
      if (SteadyClockNanoseconds() - frame->received_at >= kFrameAgeLimitNs) {
        frames_too_old_.fetch_add(1);
      } else {
        // The engine mutex is held for the whole pass, so the selection cannot change between
        // the test and the step; a frame of another selection is dropped.
        MutexLock engine(engine_.mutex);
        if (!stop_ && MatchesSelection(engine_.selection, *frame)) {
          engine_.pictures.source_image = frame->image;
          Analyze(engine_, true, false);
          last_pass = SteadyClock::now();
          frames_analysed_.fetch_add(1);
        }
      }
    }
    if (frame) feeder_taken_.fetch_add(1);
    frame.reset();
    if (stop_) return;
  }
}

void FramePath::RunPendingAnalysis() {
  MutexLock engine(engine_.mutex);
  FramePictures& pictures = engine_.pictures;
  if (!pictures.example_pending || engine_.stopping || pictures.source_image.empty() ||
      !engine_.selection.selected) {
    return;
  }
  pictures.example_pending = false;
  Analyze(engine_, true, false);
}

void FramePath::Analyze(SessionEngine& engine, bool analysis_allowed, bool refresh_previews) {
  SourceSelection& selection = engine.selection;
  FramePictures& pictures = engine.pictures;
  const std::vector<OcrZone> zones = ZonesFor(engine.zones, selection);
  std::vector<AnalysisZone> analysis_zones;
  analysis_zones.reserve(zones.size());
  for (const OcrZone& zone : zones) analysis_zones.push_back(ToAnalysisZone(zone));
  worker_.UpdateZones(std::move(analysis_zones), OcrZoneListJson(zones));

  const SourceGeometry geometry = GeometryFor(engine.zones, selection);
  const std::string geometry_key = GeometryKey(geometry);
  const auto switch_analysis_off = [&] {
    worker_.SetGeometryKey(geometry_key);
    worker_.SetAnalysisEnabled(false);
    server_.SetStateAvailable(false);
  };
  if (!selection.selected || pictures.source_image.empty()) {
    switch_analysis_off();
    return;
  }
  // The whole picture is the working picture under the identity geometry: no copy is made,
  // since nothing writes into a stored picture (the worker copies what it analyses). A
  // degenerate geometry cannot straighten the picture, which is then read as it is.
  if (PlanSourceWarp(pictures.source_image.cols, pictures.source_image.rows, geometry).identity) {
    pictures.working_image = pictures.source_image;
  } else {
    pictures.working_image = WarpSourceFrame(pictures.source_image, geometry);
    if (pictures.working_image.empty()) pictures.working_image = pictures.source_image;
  }

  const bool live = IsLiveReceiverKind(selection.type) ||
                    (selection.type == SourceKind::kExample && engine.example.video_active);
  const std::int32_t source_quality = live ? 80 : 90;
  const std::int32_t working_quality = live ? 95 : 90;
  if (refresh_previews || pictures.source_jpeg.empty()) {
    RefreshPreview(engine, false, source_quality);
    RefreshPreview(engine, true, working_quality);
  } else if (analysis_allowed) {
    RefreshPreview(engine, true, working_quality);
  }
  if (!analysis_allowed) {
    switch_analysis_off();
    return;
  }

  auto frame = std::make_shared<WorkingFrame>();
  frame->image = pictures.working_image;
  // Wraps to 1 instead of overflowing after years of frames.
  pictures.frame_number = pictures.frame_number == std::numeric_limits<std::int32_t>::max()
                              ? 1
                              : pictures.frame_number + 1;
  frame->frame_number = pictures.frame_number;
  frame->profile_key = std::string(SourceKindName(selection.type)) + "\n" + selection.id;
  frame->geometry_key = geometry_key;
  frame->source = ContextOf(selection);
  worker_.SetAnalysisEnabled(true);
  worker_.SubmitFrame(std::move(frame));
  worker_.SetGeometryKey(geometry_key);
  server_.SetStateAvailable(true);
}

void FramePath::DropPictures(SessionEngine& engine) {
  FramePictures& pictures = engine.pictures;
  pictures.source_image.release();
  pictures.working_image.release();
  pictures.source_jpeg.clear();
  pictures.working_jpeg.clear();
  pictures.source_jpeg_pending = 0;
  pictures.working_jpeg_pending = 0;
  slot_.Clear();
}

void FramePath::RefreshPreview(SessionEngine& engine, bool working, std::int32_t quality) {
  FramePictures& pictures = engine.pictures;
  std::string& jpeg = working ? pictures.working_jpeg : pictures.source_jpeg;
  std::int32_t& pending = working ? pictures.working_jpeg_pending : pictures.source_jpeg_pending;
  if (jpeg.empty()) {
    jpeg = EncodeJpeg(working ? pictures.working_image : pictures.source_image, quality);
    pending = 0;
  } else {
    pending = quality;
  }
}

RuntimeResponse FramePath::GetPreview(bool working) {
  std::string jpeg;
  cv::Mat picture;
  std::int32_t quality = 0;
  {
    MutexLock engine(engine_.mutex);
    FramePictures& pictures = engine_.pictures;
    jpeg = working ? pictures.working_jpeg : pictures.source_jpeg;
    quality = working ? pictures.working_jpeg_pending : pictures.source_jpeg_pending;
    if (quality > 0) picture = working ? pictures.working_image : pictures.source_image;
  }
  if (!picture.empty()) {
    // The newest picture has not been encoded yet: encoded now, outside the lock, and kept for
    // the next request unless a newer picture came meanwhile.
    jpeg = EncodeJpeg(picture, quality);
    MutexLock engine(engine_.mutex);
    FramePictures& pictures = engine_.pictures;
    const uchar* current = working ? pictures.working_image.data : pictures.source_image.data;
    std::int32_t& pending = working ? pictures.working_jpeg_pending : pictures.source_jpeg_pending;
    if (current == picture.data && pending == quality) {
      (working ? pictures.working_jpeg : pictures.source_jpeg) = jpeg;
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
