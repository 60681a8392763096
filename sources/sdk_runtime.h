#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/mutex.h"
#include "sources/ndi_library.h"
#include "sources/ndi_runtime.h"
#include "sources/ndi_sdk.h"

namespace tessvark {

// The pacing of the NDI runtime's threads and the thresholds of its link states.
struct NdiRuntimeTimers {
  // Connected, but no picture for this long: "stale"; for the second time: "offline".
  std::chrono::milliseconds stale_after{2500};
  std::chrono::milliseconds offline_after{8000};
  // A connection without any picture this long after the attempt: "offline".
  std::chrono::milliseconds first_picture_within{2500};
  // Connection attempts are at least this far apart.
  std::chrono::milliseconds reconnect_spacing{500};
  // How long one capture and one discovery wait may block.
  std::chrono::milliseconds capture_wait{200};
  std::chrono::milliseconds discovery_wait{200};
  // Without news from discovery, the whole list is read again this often.
  std::chrono::milliseconds full_read_interval{2000};
  // A refresh request lets discovery settle this long before the list is read.
  std::chrono::milliseconds refresh_settle{250};
};

struct SdkRuntimeSettings {
  NdiLibrarySearch library;  // used when this runtime's start is the process's first load
  NdiRuntimeTimers timers;
};

// The NDI implementation of NdiRuntime. Once started it holds the NDI library, one finder and one
// receiver, and runs two threads: the finder thread ("ndi-find") keeps the sorted list of senders,
// the receiver thread ("ndi-recv") connects to the selected sender, converts its pictures to BGR,
// hands them to the frame callback and keeps the link state with its stale and offline timers.
// Source ids are the senders' NDI names.
//
// Lock order: lifecycle_mutex_, then mutex_ (the compiler checks these two), then the process-wide
// library mutex of ndi_library.cpp, out of the compiler's sight. Callbacks are called with copies
// made under mutex_, after releasing it.
class SdkRuntime final : public NdiRuntime {
 public:
  explicit SdkRuntime(SdkRuntimeSettings settings = {});
  ~SdkRuntime() override;
  SdkRuntime(const SdkRuntime&) = delete;
  SdkRuntime& operator=(const SdkRuntime&) = delete;

  void Start() override EXCLUDES(lifecycle_mutex_, mutex_);
  void CheckLibrary() override EXCLUDES(lifecycle_mutex_, mutex_);
  void Stop() override EXCLUDES(lifecycle_mutex_, mutex_);
  void RefreshSources() override EXCLUDES(mutex_);
  std::vector<NdiSourceInfo> ListSources() override EXCLUDES(mutex_);
  double SourcesUpdatedAt() override EXCLUDES(mutex_);
  void SelectSource(const std::string& source_id) override EXCLUDES(mutex_);
  void ClearSelection() override EXCLUDES(mutex_);
  NdiLinkSnapshot GetLinkSnapshot() override EXCLUDES(mutex_);
  NdiCounters GetCounters() override EXCLUDES(mutex_);
  void SetFrameCallback(NdiFrameCallback callback) override EXCLUDES(mutex_);
  void SetLinkCallback(NdiLinkCallback callback) override EXCLUDES(mutex_);

 private:
  using SourcePair = std::pair<std::string, std::string>;  // NDI name, URL address
  using SteadyTime = std::chrono::steady_clock::time_point;
  // What only the receiver thread keeps between its passes.
  struct ReceiverTimes {
    std::optional<SteadyTime> last_attempt;
    std::optional<SteadyTime> last_frame;
    bool connected_before = false;
  };

  void RunFinder() EXCLUDES(mutex_);
  void RunReceiver() EXCLUDES(mutex_);
  // One pass of each thread; false when the thread is to end.
  bool FinderPass(SteadyTime& next_full_read) EXCLUDES(mutex_);
  bool ReceiverPass(ReceiverTimes& times) EXCLUDES(mutex_);
  void CaptureOnce(ReceiverTimes& times) EXCLUDES(mutex_);
  void DeliverVideo(const ndi::VideoFrame& video, ReceiverTimes& times) EXCLUDES(mutex_);
  void UpdateSourceList(std::vector<SourcePair> pairs) EXCLUDES(mutex_);
  void Disconnect();

  bool IsSourceListed(const std::string& id) const REQUIRES(mutex_);
  // Makes the link state that of a runtime whose library is missing or refused.
  void ShowLoadRefusal() REQUIRES(mutex_);
  void SetLinkState(const char* state, bool clear_source_name) REQUIRES(mutex_);
  // Stamps the link state; the news for the link callback when its word or message changed since
  // the last publication.
  NdiLinkNews LinkChangeLocked() REQUIRES(mutex_);
  // Publishes "error" with the message whether or not it changed.
  void PublishLinkError(const std::string& message) EXCLUDES(mutex_);
  // Remembers the state word and message as published; the news for the link callback.
  NdiLinkNews PublishLinkLocked() REQUIRES(mutex_);

  const SdkRuntimeSettings settings_;
  Mutex lifecycle_mutex_;  // serialises Start and Stop
  Mutex mutex_ ACQUIRED_AFTER(lifecycle_mutex_);
  CondVar wake_{mutex_};  // wakes the finder for a refresh and for stop
  std::thread finder_thread_ GUARDED_BY(lifecycle_mutex_);
  std::thread receiver_thread_ GUARDED_BY(lifecycle_mutex_);
  // Written only while no thread runs (under mutex_), read by the threads.
  ndi::FindHandle finder_ = nullptr;
  ndi::ReceiverHandle receiver_ = nullptr;
  bool holds_library_ = false;
  // Set by the first CheckLibrary; read first without the locks, so that a check after it never
  // waits for a start or stop in progress.
  std::atomic<bool> library_checked_{false};
  // Why the library could not be used, kept as the message while the runtime is not running.
  std::string load_refusal_ GUARDED_BY(mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
  bool stop_requested_ GUARDED_BY(mutex_) = false;
  bool refresh_requested_ GUARDED_BY(mutex_) = false;
  std::vector<SourcePair> sources_ GUARDED_BY(mutex_);
  double sources_updated_at_ GUARDED_BY(mutex_) = 0.0;
  std::string selected_id_ GUARDED_BY(mutex_);
  std::string connected_name_;  // the receiver thread's own; cleared by Stop after the join
  NdiLinkSnapshot link_ GUARDED_BY(mutex_);
  NdiCounters counters_ GUARDED_BY(mutex_);
  std::string last_published_state_ GUARDED_BY(mutex_);
  std::string last_published_message_ GUARDED_BY(mutex_);
  NdiFrameCallback frame_callback_ GUARDED_BY(mutex_);
  NdiLinkCallback link_callback_ GUARDED_BY(mutex_);
};

// A new NDI runtime with the standard library search and timers; nothing is loaded or started.
std::shared_ptr<NdiRuntime> MakeSdkRuntime();

}  // namespace tessvark
