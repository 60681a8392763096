#include "sources/sdk_omt_runtime.h"

#include <algorithm>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "platform/thread_name.h"
#include "sources/runtime_clock.h"

namespace tessvark {
namespace {

constexpr char kNotAvailable[] = "The OMT runtime is not available. Tessvark did not load it.";
constexpr char kReceiverNotStarted[] = "The OMT receiver could not be started.";
constexpr std::int32_t kMaxWidth = 7680;
constexpr std::int32_t kMaxHeight = 4320;
constexpr std::int64_t kMaxPictureBytes = std::int64_t{kMaxWidth} * 4 * kMaxHeight;

// Rows of `row_bytes` each fit the picture bounds and the bytes the sender says it sent.
bool RowsFit(std::int64_t row_bytes, std::int32_t height, std::int32_t data_length) {
  const std::int64_t total = row_bytes * height;
  return data_length > 0 && total > 0 && total <= data_length && total <= kMaxPictureBytes;
}

bool ConvertUyvy(std::int32_t width, std::int32_t height, std::int32_t stride,
                 std::int32_t data_length, const std::uint8_t* data, cv::Mat& image) {
  const std::int64_t row_bytes = stride > 0 ? stride : std::int64_t{2} * width;
  if (row_bytes < std::int64_t{2} * width || !RowsFit(row_bytes, height, data_length)) return false;
  const cv::Mat packed(height, width, CV_8UC2, const_cast<std::uint8_t*>(data),
                       static_cast<std::size_t>(row_bytes));
  try {
    cv::cvtColor(packed, image, cv::COLOR_YUV2BGR_UYVY);
  } catch (const cv::Exception&) {
    // OpenCV refuses some shapes (an odd width among them).
    image.release();
    return false;
  }
  return !image.empty() && image.cols == width && image.rows == height;
}

}  // namespace

bool ConvertOmtPicture(std::uint32_t format, std::int32_t width, std::int32_t height,
                       std::int32_t stride, std::int32_t data_length, const std::uint8_t* data,
                       cv::Mat& image) {
  image.release();
  if (data == nullptr || width < 1 || width > kMaxWidth || height < 1 || height > kMaxHeight) {
    return false;
  }
  if (format == omt::kFormatBgra || format == omt::kFormatBgrx) {
    const std::int32_t row_stride = stride > 0 ? stride : 4 * width;
    if (!IsValidBgraLayout(width, height, row_stride) || !RowsFit(row_stride, height, data_length)) {
      return false;
    }
    image = ConvertBgraToBgr(data, width, height, row_stride);
    return !image.empty();
  }
  if (format == omt::kFormatUyvy) return ConvertUyvy(width, height, stride, data_length, data, image);
  return false;
}

SdkOmtRuntime::SdkOmtRuntime(SdkOmtRuntimeSettings settings) : settings_(std::move(settings)) {}

SdkOmtRuntime::~SdkOmtRuntime() { Stop(); }

void SdkOmtRuntime::Start() {
  MutexLock lifecycle(lifecycle_mutex_);
  MutexLock lock(mutex_);
  if (started_) return;
  // Also after a failed load: nothing more happens until Stop.
  started_ = true;
  library_checked_ = true;
  std::string message;
  if (!LoadOmtLibrary(settings_.library, message)) {
    ShowLoadRefusal(message);
    return;
  }
  stop_ = false;
  create_failed_ = false;
  link_.runtime_available = true;
  link_.state = "no_source";
  link_.message.clear();
  link_.updated_at = WallSecondsNow();
  worker_ = std::thread([this] { RunWorker(); });
}

void SdkOmtRuntime::CheckLibrary() {
  if (library_checked_) return;
  MutexLock lifecycle(lifecycle_mutex_);
  MutexLock lock(mutex_);
  if (started_ || library_checked_.exchange(true)) return;
  std::string message;
  if (!LoadOmtLibrary(settings_.library, message)) ShowLoadRefusal(message);
}

void SdkOmtRuntime::ShowLoadRefusal(const std::string& message) {
  load_refusal_ = message.empty() ? kNotAvailable : message;
  link_.message = load_refusal_;
  link_.state = "error";
  link_.runtime_available = false;
  link_.updated_at = WallSecondsNow();
}

void SdkOmtRuntime::Stop() {
  MutexLock lifecycle(lifecycle_mutex_);
  {
    MutexLock lock(mutex_);
    if (!started_) return;
    stop_ = true;
  }
  wake_.SignalAll();
  // A failed start left no worker: only a running one is joined.
  if (worker_.joinable()) worker_.join();
  MutexLock lock(mutex_);
  started_ = false;
  link_.runtime_available = false;
  link_.state = "offline";
  link_.updated_at = WallSecondsNow();
}

void SdkOmtRuntime::RefreshSources() {
  // Discovery is polled on every pass anyway; a waiting worker keeps its own pace.
  wake_.SignalAll();
}

std::vector<NdiSourceInfo> SdkOmtRuntime::ListSources() {
  MutexLock lock(mutex_);
  return sources_;
}

double SdkOmtRuntime::SourcesUpdatedAt() {
  MutexLock lock(mutex_);
  return sources_updated_at_;
}

void SdkOmtRuntime::SelectSource(const std::string& source_id) {
  {
    MutexLock lock(mutex_);
    selected_ = source_id;
    selection_changed_ = true;
    link_.selected_source = source_id;
    link_.state = source_id.empty() ? "no_source" : "connecting";
    // Libraries that could not be used keep saying why, whatever is chosen.
    link_.message = load_refusal_;
    link_.updated_at = WallSecondsNow();
  }
  wake_.SignalAll();
}

void SdkOmtRuntime::ClearSelection() { SelectSource(std::string()); }

NdiLinkSnapshot SdkOmtRuntime::GetLinkSnapshot() {
  MutexLock lock(mutex_);
  return link_;
}

NdiCounters SdkOmtRuntime::GetCounters() {
  MutexLock lock(mutex_);
  return counters_;
}

void SdkOmtRuntime::SetFrameCallback(NdiFrameCallback callback) {
  MutexLock lock(mutex_);
  frame_callback_ = std::move(callback);
}

void SdkOmtRuntime::SetLinkCallback(NdiLinkCallback callback) {
  MutexLock lock(mutex_);
  link_callback_ = std::move(callback);
}

std::vector<NdiSourceInfo> SdkOmtRuntime::Discover() {
  int count = 0;
  char** addresses = OmtLibraryFunctions().discovery_getaddresses(&count);
  std::vector<NdiSourceInfo> sources;
  for (int i = 0; addresses != nullptr && i < count; ++i) {
    // The texts belong to the library: copied at once, never freed here.
    if (addresses[i] == nullptr || addresses[i][0] == '\0') continue;
    sources.push_back({addresses[i], addresses[i], std::string(), true});
  }
  return sources;
}

void SdkOmtRuntime::RunWorker() {
  NameThisThread("omt");
  WorkerState worker;
  while (WorkerPass(worker)) {
  }
}

bool SdkOmtRuntime::WorkerPass(WorkerState& worker) {
  const omt::EntryPoints& omt = OmtLibraryFunctions();
  {
    MutexLock lock(mutex_);
    if (stop_) {
      if (worker.receiver != nullptr) omt.receive_destroy(worker.receiver);
      worker.receiver = nullptr;
      return false;
    }
  }
  std::vector<NdiSourceInfo> sources = Discover();
  std::string selected;
  bool changed = false;
  bool found = false;
  {
    MutexLock lock(mutex_);
    selected = selected_;
    found = std::any_of(sources.begin(), sources.end(),
                        [&selected](const NdiSourceInfo& source) { return source.id == selected; });
    sources_ = std::move(sources);
    sources_updated_at_ = WallSecondsNow();
    changed = std::exchange(selection_changed_, false);
    if (changed || selected != worker.current) create_failed_ = false;
  }
  // Selecting the same address again makes a new receiver.
  if (selected.empty() || changed || selected != worker.current) {
    if (worker.receiver != nullptr) {
      omt.receive_destroy(worker.receiver);
      worker.receiver = nullptr;
      if (!selected.empty()) {
        MutexLock lock(mutex_);
        ++counters_.reconnects;
      }
    }
    worker.current = selected;
  }

  if (selected.empty()) {
    MutexLock lock(mutex_);
    if (link_.state != "no_source" || !link_.source_name.empty()) {
      link_.state = "no_source";
      link_.source_name.clear();
      link_.selected_source.clear();
      link_.message.clear();
      link_.width = 0;
      link_.height = 0;
      link_.runtime_available = true;
      link_.updated_at = WallSecondsNow();
      const NdiLinkNews news{link_, link_callback_};
      lock.Unlock();
      news.Deliver();
    }
  } else if (EnsureReceiver(worker, found)) {
    ReceiveOnce(worker);
    return true;
  }
  WaitBeforeNextPass();
  return true;
}

bool SdkOmtRuntime::EnsureReceiver(WorkerState& worker, bool found) {
  if (worker.receiver != nullptr) return true;
  if (!found) return false;
  {
    MutexLock lock(mutex_);
    if (create_failed_ &&
        std::chrono::steady_clock::now() - create_failed_at_ < settings_.timers.create_retry) {
      return false;
    }
  }
  worker.receiver = OmtLibraryFunctions().receive_create(
      worker.current.c_str(), omt::kFrameTypeVideo, omt::kPreferredVideoFormat, omt::kReceiveFlags);
  MutexLock lock(mutex_);
  create_failed_ = worker.receiver == nullptr;
  if (create_failed_) create_failed_at_ = std::chrono::steady_clock::now();
  link_.selected_source = link_.source_name = worker.current;
  link_.runtime_available = true;
  link_.state = create_failed_ ? "error" : "connecting";
  link_.message = create_failed_ ? kReceiverNotStarted : "";
  link_.updated_at = WallSecondsNow();
  const NdiLinkNews news{link_, link_callback_};
  lock.Unlock();
  news.Deliver();
  return worker.receiver != nullptr;
}

void SdkOmtRuntime::ReceiveOnce(WorkerState& worker) {
  const void* record = OmtLibraryFunctions().receive(
      worker.receiver, omt::kFrameTypeVideo,
      static_cast<int>(settings_.timers.receive_wait.count()));
  if (record == nullptr || omt::FrameField<std::int32_t>(record, omt::kFrameTypeAt) != omt::kFrameTypeVideo) {
    MutexLock lock(mutex_);
    link_.runtime_available = true;
    link_.updated_at = WallSecondsNow();
    return;
  }
  NdiFrame frame;
  const bool converted = ConvertOmtPicture(
      omt::FrameField<std::uint32_t>(record, omt::kPixelFormatAt),
      omt::FrameField<std::int32_t>(record, omt::kWidthAt),
      omt::FrameField<std::int32_t>(record, omt::kHeightAt),
      omt::FrameField<std::int32_t>(record, omt::kStrideAt),
      omt::FrameField<std::int32_t>(record, omt::kDataLengthAt),
      omt::FrameField<const std::uint8_t*>(record, omt::kDataAt), frame.image);
  if (!converted) {
    MutexLock lock(mutex_);
    ++counters_.rejected_frames;
    link_.runtime_available = true;
    link_.updated_at = WallSecondsNow();
    return;
  }
  frame.source = worker.current;
  frame.width = omt::FrameField<std::int32_t>(record, omt::kWidthAt);
  frame.height = omt::FrameField<std::int32_t>(record, omt::kHeightAt);
  frame.frame_rate_n = omt::FrameField<std::int32_t>(record, omt::kFrameRateNAt);
  frame.frame_rate_d = omt::FrameField<std::int32_t>(record, omt::kFrameRateDAt);
  frame.timecode = omt::FrameField<std::int64_t>(record, omt::kTimestampAt);
  frame.received_at = SteadySecondsNow();
  NdiFrameCallback callback;
  {
    MutexLock lock(mutex_);
    ++counters_.video_frames;
    ++counters_.delivered_frames;
    link_.runtime_available = true;
    link_.state = "connected";
    link_.message.clear();
    link_.selected_source = link_.source_name = worker.current;
    link_.width = frame.width;
    link_.height = frame.height;
    link_.frame_rate_n = frame.frame_rate_n;
    link_.frame_rate_d = frame.frame_rate_d;
    link_.updated_at = link_.last_frame_at = WallSecondsNow();
    callback = frame_callback_;
  }
  if (callback) callback(frame);
}

void SdkOmtRuntime::WaitBeforeNextPass() {
  MutexLock lock(mutex_);
  auto wait = settings_.timers.idle_wait;
  if (create_failed_) {
    // Wake for the next attempt, not later than the usual wait.
    const auto retry_in = std::chrono::ceil<std::chrono::milliseconds>(
        create_failed_at_ + settings_.timers.create_retry - std::chrono::steady_clock::now());
    wait = std::clamp(retry_in, std::chrono::milliseconds(0), wait);
  }
  const SteadyTime deadline = std::chrono::steady_clock::now() + wait;
  while (!stop_ && !selection_changed_ && wake_.WaitUntil(deadline)) {
  }
}

std::shared_ptr<NdiRuntime> MakeSdkOmtRuntime() { return std::make_shared<SdkOmtRuntime>(); }

}  // namespace tessvark
