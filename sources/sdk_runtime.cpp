#include "sources/sdk_runtime.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/thread_name.h"
#include "sources/runtime_clock.h"

namespace tessvark {
namespace {

constexpr char kReceiverError[] = "NDI receiver error";
constexpr char kNotStarted[] = "The NDI runtime could not be started.";
constexpr char kReceiverName[] = "Tessvark";

std::uint32_t Milliseconds(std::chrono::milliseconds duration) {
  return static_cast<std::uint32_t>(std::max<std::int64_t>(duration.count(), 0));
}

}  // namespace

SdkRuntime::SdkRuntime(SdkRuntimeSettings settings) : settings_(std::move(settings)) {}

SdkRuntime::~SdkRuntime() { Stop(); }

void SdkRuntime::Start() {
  MutexLock lifecycle(lifecycle_mutex_);
  MutexLock lock(mutex_);
  if (started_) return;
  library_checked_ = true;
  if (!AcquireNdiLibrary(settings_.library)) {
    ShowLoadRefusal();
    return;
  }
  holds_library_ = true;
  const ndi::EntryPoints& ndi = NdiLibraryFunctions();
  finder_ = ndi.find_create(nullptr);
  ndi::ReceiverSettings receiver_settings;
  receiver_settings.receiver_name = kReceiverName;
  receiver_ = ndi.recv_create(&receiver_settings);
  if (finder_ == nullptr || receiver_ == nullptr) {
    if (receiver_ != nullptr) ndi.recv_destroy(receiver_);
    if (finder_ != nullptr) ndi.find_destroy(finder_);
    finder_ = nullptr;
    receiver_ = nullptr;
    ReleaseNdiLibrary();
    holds_library_ = false;
    link_.runtime_available = false;
    link_.state = "error";
    link_.message = load_refusal_ = kNotStarted;
    link_.updated_at = WallSecondsNow();
    return;
  }
  load_refusal_.clear();
  started_ = true;
  stop_requested_ = false;
  link_.runtime_available = true;
  link_.state = selected_id_.empty() ? "no_source" : "connecting";
  link_.message.clear();
  link_.updated_at = WallSecondsNow();
  // The receiver thread's first pass publishes the new state.
  finder_thread_ = std::thread([this] { RunFinder(); });
  receiver_thread_ = std::thread([this] { RunReceiver(); });
}

void SdkRuntime::CheckLibrary() {
  if (library_checked_) return;
  MutexLock lifecycle(lifecycle_mutex_);
  MutexLock lock(mutex_);
  if (started_ || library_checked_.exchange(true)) return;
  // A library that loads is given back at once: its initialise and destroy calls bracket only
  // the runtime's real holders.
  if (AcquireNdiLibrary(settings_.library)) {
    ReleaseNdiLibrary();
  } else {
    ShowLoadRefusal();
  }
}

void SdkRuntime::ShowLoadRefusal() {
  const std::string message = LastNdiLoadMessage();
  load_refusal_ = message.empty() ? kNdiNotInstalled : message;
  link_.runtime_available = false;
  link_.state = "offline";
  link_.message = load_refusal_;
  link_.updated_at = WallSecondsNow();
}

void SdkRuntime::Stop() {
  MutexLock lifecycle(lifecycle_mutex_);
  {
    MutexLock lock(mutex_);
    stop_requested_ = true;
  }
  // Joined without mutex_, so a thread that is publishing can finish.
  wake_.SignalAll();
  if (finder_thread_.joinable()) finder_thread_.join();
  if (receiver_thread_.joinable()) receiver_thread_.join();

  MutexLock lock(mutex_);
  const ndi::EntryPoints& ndi = NdiLibraryFunctions();
  if (receiver_ != nullptr) {
    ndi.recv_connect(receiver_, nullptr);
    ndi.recv_destroy(receiver_);
    receiver_ = nullptr;
  }
  if (finder_ != nullptr) {
    ndi.find_destroy(finder_);
    finder_ = nullptr;
  }
  if (holds_library_) {
    ReleaseNdiLibrary();
    holds_library_ = false;
  }
  started_ = false;
  connected_name_.clear();
  link_.runtime_available = false;
  link_.source_name.clear();
  if (link_.state == "connected" || link_.state == "connecting") {
    link_.state = selected_id_.empty() ? "no_source" : "offline";
  }
  link_.updated_at = WallSecondsNow();
}

void SdkRuntime::RefreshSources() {
  {
    MutexLock lock(mutex_);
    refresh_requested_ = true;
  }
  wake_.SignalAll();
}

std::vector<NdiSourceInfo> SdkRuntime::ListSources() {
  MutexLock lock(mutex_);
  std::vector<NdiSourceInfo> sources;
  sources.reserve(sources_.size());
  for (const auto& [name, url] : sources_) sources.push_back({name, name, url, true});
  return sources;
}

double SdkRuntime::SourcesUpdatedAt() {
  MutexLock lock(mutex_);
  return sources_updated_at_;
}

void SdkRuntime::SelectSource(const std::string& source_id) {
  MutexLock lock(mutex_);
  selected_id_ = source_id;
  link_.selected_source = source_id;
  link_.updated_at = WallSecondsNow();
  if (source_id.empty()) {
    SetLinkState("no_source", true);
  } else if (IsSourceListed(source_id)) {
    if (link_.state != "connected" || link_.source_name != source_id) {
      SetLinkState("connecting", false);
    }
  } else {
    SetLinkState("offline", true);
  }
  // A runtime that could not start keeps saying why, whatever is chosen.
  if (!started_) link_.message = load_refusal_;
  const NdiLinkNews news = LinkChangeLocked();
  lock.Unlock();
  news.Deliver();
}

void SdkRuntime::ClearSelection() { SelectSource(std::string()); }

NdiLinkSnapshot SdkRuntime::GetLinkSnapshot() {
  MutexLock lock(mutex_);
  return link_;
}

NdiCounters SdkRuntime::GetCounters() {
  MutexLock lock(mutex_);
  return counters_;
}

void SdkRuntime::SetFrameCallback(NdiFrameCallback callback) {
  MutexLock lock(mutex_);
  frame_callback_ = std::move(callback);
}

void SdkRuntime::SetLinkCallback(NdiLinkCallback callback) {
  MutexLock lock(mutex_);
  link_callback_ = std::move(callback);
}

bool SdkRuntime::IsSourceListed(const std::string& id) const {
  if (id.empty()) return false;
  return std::any_of(sources_.begin(), sources_.end(),
                     [&id](const SourcePair& source) { return source.first == id; });
}

void SdkRuntime::SetLinkState(const char* state, bool clear_source_name) {
  link_.state = state;
  link_.message.clear();
  if (clear_source_name) link_.source_name.clear();
}

NdiLinkNews SdkRuntime::LinkChangeLocked() {
  link_.updated_at = WallSecondsNow();
  if (link_.state == last_published_state_ && link_.message == last_published_message_) return {};
  return PublishLinkLocked();
}

void SdkRuntime::PublishLinkError(const std::string& message) {
  MutexLock lock(mutex_);
  link_.state = "error";
  link_.message = message;
  link_.updated_at = WallSecondsNow();
  const NdiLinkNews news = PublishLinkLocked();
  lock.Unlock();
  news.Deliver();
}

NdiLinkNews SdkRuntime::PublishLinkLocked() {
  last_published_state_ = link_.state;
  last_published_message_ = link_.message;
  return NdiLinkNews{link_, link_callback_};
}

void SdkRuntime::RunFinder() {
  NameThisThread("ndi-find");
  try {
    SteadyTime next_full_read = std::chrono::steady_clock::now();
    while (FinderPass(next_full_read)) {
    }
  } catch (...) {
    PublishLinkError(kReceiverError);
  }
}

bool SdkRuntime::FinderPass(SteadyTime& next_full_read) {
  const NdiRuntimeTimers& timers = settings_.timers;
  bool forced = false;
  {
    MutexLock lock(mutex_);
    if (stop_requested_) return false;
    if (std::exchange(refresh_requested_, false)) {
      // Senders answer a refresh over a moment; a newer request stays pending for the next pass.
      const SteadyTime settled = std::chrono::steady_clock::now() + timers.refresh_settle;
      while (!stop_requested_ && !refresh_requested_ && wake_.WaitUntil(settled)) {
      }
      if (stop_requested_) return false;
      forced = true;
    }
  }
  forced = forced || std::chrono::steady_clock::now() >= next_full_read;
  const ndi::EntryPoints& ndi = NdiLibraryFunctions();
  const bool changed =
      ndi.find_wait_for_sources(finder_, forced ? 0 : Milliseconds(timers.discovery_wait));
  {
    MutexLock lock(mutex_);
    if (stop_requested_) return false;
  }
  if (!forced && !changed) return true;
  next_full_read = std::chrono::steady_clock::now() + timers.full_read_interval;
  std::uint32_t count = 0;
  const ndi::Source* records = ndi.find_get_current_sources(finder_, &count);
  std::vector<SourcePair> pairs;
  for (std::uint32_t i = 0; records != nullptr && i < count; ++i) {
    const char* name = records[i].ndi_name;
    if (name == nullptr || *name == '\0') continue;
    // The first record of a name wins.
    if (std::any_of(pairs.begin(), pairs.end(),
                    [name](const SourcePair& pair) { return pair.first == name; })) {
      continue;
    }
    const char* url = records[i].url_address;
    pairs.emplace_back(name, url == nullptr ? "" : url);
  }
  UpdateSourceList(std::move(pairs));
  return true;
}

void SdkRuntime::UpdateSourceList(std::vector<SourcePair> pairs) {
  std::sort(pairs.begin(), pairs.end());
  MutexLock lock(mutex_);
  sources_ = std::move(pairs);
  sources_updated_at_ = link_.updated_at = WallSecondsNow();
  const bool quiet_offline = link_.state == "offline" && link_.message.empty();
  if (selected_id_.empty() || IsSourceListed(selected_id_) || link_.state == "error" ||
      quiet_offline) {
    return;
  }
  // The connection is kept: should the sender come back, its pictures restore "connected".
  SetLinkState("offline", true);
  const NdiLinkNews news = LinkChangeLocked();
  lock.Unlock();
  news.Deliver();
}

void SdkRuntime::RunReceiver() {
  NameThisThread("ndi-recv");
  try {
    ReceiverTimes times;
    while (ReceiverPass(times)) {
    }
  } catch (...) {
    PublishLinkError(kReceiverError);
  }
}

void SdkRuntime::Disconnect() {
  NdiLibraryFunctions().recv_connect(receiver_, nullptr);
  connected_name_.clear();
}

bool SdkRuntime::ReceiverPass(ReceiverTimes& times) {
  const NdiRuntimeTimers& timers = settings_.timers;
  const ndi::EntryPoints& ndi = NdiLibraryFunctions();
  std::string selected;
  std::string url;
  bool listed = false;
  {
    MutexLock lock(mutex_);
    if (stop_requested_) return false;
    selected = selected_id_;
    for (const auto& [name, address] : sources_) {
      if (!selected.empty() && name == selected) {
        listed = true;
        url = address;
        break;
      }
    }
    link_.updated_at = WallSecondsNow();
  }
  SteadyTime now = std::chrono::steady_clock::now();

  // A selection made since the copy above keeps the state its caller set.
  if (selected.empty()) {
    if (!connected_name_.empty()) Disconnect();
    MutexLock lock(mutex_);
    if (link_.state != "no_source" && selected_id_.empty()) SetLinkState("no_source", true);
    const NdiLinkNews news = LinkChangeLocked();
    lock.Unlock();
    news.Deliver();
  } else if (listed && selected != connected_name_ &&
             (!times.last_attempt || now - *times.last_attempt >= timers.reconnect_spacing)) {
    const ndi::Source source{selected.c_str(), url.empty() ? nullptr : url.c_str()};
    ndi.recv_connect(receiver_, &source);
    connected_name_ = selected;
    MutexLock lock(mutex_);
    if (times.connected_before) ++counters_.reconnects;
    if (selected_id_ == selected) {
      SetLinkState("connecting", false);
      link_.source_name = link_.selected_source = selected;
    }
    const NdiLinkNews news = LinkChangeLocked();
    lock.Unlock();
    news.Deliver();
    times.connected_before = true;
    times.last_frame.reset();
    times.last_attempt = now;
  }

  CaptureOnce(times);

  now = std::chrono::steady_clock::now();
  bool never_pictured = false;
  std::chrono::milliseconds age{0};
  if (!times.last_frame) {
    never_pictured = !connected_name_.empty() && times.last_attempt &&
                     now - *times.last_attempt >= timers.first_picture_within;
  } else {
    age = std::chrono::duration_cast<std::chrono::milliseconds>(now - *times.last_frame);
  }
  {
    MutexLock lock(mutex_);
    if (!connected_name_.empty() && link_.state != "error") {
      // Once discovery has dropped the chosen sender, a connection that has gone quiet is
      // offline; calling it stale in between full reads would make the state flicker.
      const bool dropped = !IsSourceListed(selected_id_);
      if (never_pictured || age >= timers.offline_after || (dropped && age >= timers.stale_after)) {
        SetLinkState("offline", false);
      } else if (age >= timers.stale_after) {
        SetLinkState("stale", false);
      }
    }
    const NdiLinkNews news = LinkChangeLocked();
    lock.Unlock();
    news.Deliver();
  }

  ndi::ReceiverPerformance dropped;
  ndi.recv_get_performance(receiver_, nullptr, &dropped);
  MutexLock lock(mutex_);
  counters_.dropped_frames = static_cast<std::int32_t>(dropped.video_frames);
  return !stop_requested_;
}

void SdkRuntime::CaptureOnce(ReceiverTimes& times) {
  const ndi::EntryPoints& ndi = NdiLibraryFunctions();
  ndi::VideoFrame video;
  ndi::AudioFrame audio;
  ndi::MetadataFrame metadata;
  switch (ndi.recv_capture(receiver_, &video, &audio, &metadata,
                           Milliseconds(settings_.timers.capture_wait))) {
    case ndi::kFrameVideo:
      DeliverVideo(video, times);
      break;
    case ndi::kFrameAudio: {
      ndi.recv_free_audio(receiver_, &audio);
      MutexLock lock(mutex_);
      ++counters_.audio_frames;
      break;
    }
    case ndi::kFrameMetadata: {
      ndi.recv_free_metadata(receiver_, &metadata);
      MutexLock lock(mutex_);
      ++counters_.metadata_frames;
      break;
    }
    case ndi::kFrameError: {
      // The next pass connects again, paced like every attempt.
      Disconnect();
      MutexLock lock(mutex_);
      link_.state = "error";
      link_.message = kReceiverError;
      link_.source_name.clear();
      const NdiLinkNews news = LinkChangeLocked();
      lock.Unlock();
      news.Deliver();
      times.last_frame.reset();
      break;
    }
    default:
      break;
  }
}

void SdkRuntime::DeliverVideo(const ndi::VideoFrame& video, ReceiverTimes& times) {
  const double received_at = SteadySecondsNow();
  {
    MutexLock lock(mutex_);
    ++counters_.video_frames;
  }
  cv::Mat image;
  if (video.fourcc == ndi::kFourCcBgrx || video.fourcc == ndi::kFourCcBgra) {
    image = ConvertBgraToBgr(video.data, video.xres, video.yres, video.line_stride_in_bytes);
  }
  NdiFrame frame;
  frame.image = image;
  frame.width = image.cols;
  frame.height = image.rows;
  frame.frame_rate_n = video.frame_rate_n;
  frame.frame_rate_d = video.frame_rate_d;
  frame.timecode = video.timecode;
  frame.received_at = received_at;
  NdiLibraryFunctions().recv_free_video(receiver_, &video);
  {
    MutexLock lock(mutex_);
    if (image.empty()) ++counters_.rejected_frames;
    ++counters_.released_frames;
  }
  if (image.empty()) return;

  times.last_frame = std::chrono::steady_clock::now();
  NdiFrameCallback callback;
  MutexLock lock(mutex_);
  // A picture of a connection that is not the selected source is counted and dropped.
  const bool selected = !connected_name_.empty() && connected_name_ == selected_id_;
  if (selected) {
    SetLinkState("connected", false);
    link_.source_name = link_.selected_source = selected_id_;
    link_.width = frame.width;
    link_.height = frame.height;
    link_.frame_rate_n = frame.frame_rate_n;
    link_.frame_rate_d = frame.frame_rate_d;
    link_.last_frame_at = WallSecondsNow();
    ++counters_.delivered_frames;
    frame.source = selected_id_;
    callback = frame_callback_;
  }
  const NdiLinkNews news = LinkChangeLocked();
  lock.Unlock();
  news.Deliver();
  if (selected && callback) callback(frame);
}

std::shared_ptr<NdiRuntime> MakeSdkRuntime() { return std::make_shared<SdkRuntime>(); }

}  // namespace tessvark
