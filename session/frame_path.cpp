#include "session/frame_path.h"

#include <chrono>
#include <limits>
#include <optional>

#include <opencv2/imgcodecs.hpp>

#include "core/steady_clock.h"
#include "platform/thread_name.h"

namespace tessvark {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t kPreviewWaitMs = 200;
constexpr auto kPreviewSpacing = std::chrono::nanoseconds(200'000'000);
constexpr std::int32_t kPreviewQuality = 80;
constexpr std::int64_t kFeederWaitMs = 50;
constexpr std::int64_t kFrameAgeLimitNs = 2'500'000'000;

// Waits for a frame newer than `last_seen` and takes it, moving `last_seen` on.
std::shared_ptr<const VideoFrame> TakeNewerFrame(LatestFrameSlot& slot, std::int64_t timeout_ms,
                                                 std::int64_t& last_seen) {
  MutexLock lock(slot.SlotMutex());
  slot.WaitForNewer(timeout_ms, last_seen);
  std::shared_ptr<const VideoFrame> held = slot.HeldFrame();
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

bool WorkingPictureShown(const FramePictures& pictures) {
  return !pictures.source_image.empty() &&
         (!pictures.working_jpeg.empty() || pictures.working_jpeg_pending > 0);
}

FramePath::FramePath(SessionEngine& engine, AnalysisWorker& worker, SessionServer& server,
                     std::chrono::nanoseconds feeder_spacing)
    : engine_(engine), worker_(worker), server_(server), feeder_spacing_(feeder_spacing) {}

void FramePath::RequestStop() {
  {
    MutexLock lock(stop_mutex_);
    stop_.store(true);
  }
  stop_changed_.SignalAll();
}

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
  NameThisThread("preview");
  if (stop_) return;
  std::int64_t last_seen = 0;
  std::optional<SteadyClock::time_point> last_store;
  while (true) {
    std::shared_ptr<const VideoFrame> frame = TakeNewerFrame(slot_, kPreviewWaitMs, last_seen);
    if (frame && !stop_ &&
        (!last_store || SteadyClock::now() - *last_store >= kPreviewSpacing)) {
      bool first = false;
      {
        MutexLock engine(engine_.mutex);
        if (MatchesSelection(engine_.selection, *frame)) {
          StorePicture(engine_, frame->image);
          RefreshPreview(engine_, false, kPreviewQuality);
          first = engine_.pictures.source_jpeg.empty();
          last_store = SteadyClock::now();
          previews_stored_.fetch_add(1);
        }
      }
      // A source's first picture is encoded at once, outside the lock: a stored preview is the
      // sign that the source has shown a picture.
      if (first) EncodePendingPreview(false);
    }
    if (frame) preview_taken_.fetch_add(1);
    frame.reset();
    if (stop_) return;
  }
}

void FramePath::RunFeederLoop() {
  NameThisThread("feeder");
  if (stop_) return;
  std::int64_t last_seen = 0;
  std::optional<SteadyClock::time_point> last_pass;
  while (true) {
    std::shared_ptr<const VideoFrame> frame = TakeNewerFrame(slot_, kFeederWaitMs, last_seen);
    if (frame && !stop_) {
      if (last_pass && SteadyClock::now() - *last_pass < feeder_spacing_) {
        const auto until = *last_pass + feeder_spacing_;
        {
          MutexLock lock(stop_mutex_);
          while (!stop_ && SteadyClock::now() < until) stop_changed_.WaitUntil(until);
        }
        if (stop_) return;
        if (std::shared_ptr<const VideoFrame> newest = slot_.Latest()) {
          frame = std::move(newest);
          last_seen = frame->sequence;
        }
      }
      if (SteadyClockNanoseconds() - frame->received_at >= kFrameAgeLimitNs) {
        frames_too_old_.fetch_add(1);
      } else {
        // The engine mutex is held for the whole pass, so the selection cannot change between
        // the test and the step; a frame of another selection is dropped. The pass only stores
        // and hands on references: the worker cuts the zones on its own thread.
        MutexLock engine(engine_.mutex);
        if (!stop_ && MatchesSelection(engine_.selection, *frame)) {
          StorePicture(engine_, frame->image);
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
  std::shared_ptr<const AnalysisSetup> setup = engine.CurrentSetup();
  worker_.UpdateSetup(setup);
  // The selected source's geometry entry exists from its first frame step on, and is saved with
  // the configuration from then on.
  GeometryFor(engine.zones, selection);
  const auto switch_analysis_off = [&] {
    worker_.SetAnalysisEnabled(false);
    server_.SetStateAvailable(false);
  };
  if (!selection.selected || pictures.source_image.empty()) {
    switch_analysis_off();
    return;
  }
  // The working picture is at hand without work only when it is the source picture itself; a
  // warped one is made when the working preview asks for it.
  const SourceWarpPlan plan =
      PlanSourceWarp(pictures.source_image.cols, pictures.source_image.rows, setup->geometry);
  pictures.working_image = !plan.ok || plan.identity ? pictures.source_image : cv::Mat();

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
  frame->image = pictures.source_image;
  // Wraps to 1 instead of overflowing after years of frames.
  pictures.frame_number = pictures.frame_number == std::numeric_limits<std::int32_t>::max()
                              ? 1
                              : pictures.frame_number + 1;
  frame->frame_number = pictures.frame_number;
  frame->profile_key = std::string(SourceKindName(selection.type)) + "\n" + selection.id;
  frame->source = ContextOf(selection);
  worker_.SetAnalysisEnabled(true);
  worker_.SubmitFrame(std::move(frame));
  server_.SetStateAvailable(true);
}

void FramePath::StorePicture(SessionEngine& engine, const cv::Mat& picture) {
  engine.pictures.source_image = picture;
  engine.pictures.working_image.release();
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
  (working ? pictures.working_jpeg_pending : pictures.source_jpeg_pending) = quality;
}

std::string FramePath::EncodePendingPreview(bool working) {
  std::string jpeg;
  cv::Mat source;
  cv::Mat picture;
  SourceGeometry geometry;
  std::int32_t quality = 0;
  {
    MutexLock engine(engine_.mutex);
    FramePictures& pictures = engine_.pictures;
    jpeg = working ? pictures.working_jpeg : pictures.source_jpeg;
    quality = working ? pictures.working_jpeg_pending : pictures.source_jpeg_pending;
    if (quality == 0 || pictures.source_image.empty()) return jpeg;
    source = pictures.source_image;
    picture = working ? pictures.working_image : source;
    if (working) geometry = engine_.CurrentSetup()->geometry;
  }
  // The newest picture has not been encoded yet: made and encoded now, outside the lock, and
  // kept for the next request unless a newer picture or another geometry came meanwhile.
  if (picture.empty()) picture = WholeWorkingPicture(MakeWorkingView(source, geometry));
  jpeg = EncodeJpeg(picture, quality);
  MutexLock engine(engine_.mutex);
  FramePictures& pictures = engine_.pictures;
  std::int32_t& pending = working ? pictures.working_jpeg_pending : pictures.source_jpeg_pending;
  const bool current = pictures.source_image.data == source.data && pending == quality &&
                       (!working || engine_.CurrentSetup()->geometry == geometry);
  if (current) {
    (working ? pictures.working_jpeg : pictures.source_jpeg) = jpeg;
    if (working) pictures.working_image = picture;
    pending = 0;
  }
  return jpeg;
}

RuntimeResponse FramePath::GetPreview(bool working) {
  std::string jpeg = EncodePendingPreview(working);
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
