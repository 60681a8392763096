#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "sources/ndi_runtime.h"
#include "sources/omt_library.h"

namespace tessvark {

// The pacing of the OMT runtime's worker.
struct OmtRuntimeTimers {
  std::chrono::milliseconds receive_wait{200};   // how long one receive call may block
  std::chrono::milliseconds idle_wait{200};      // the wait between passes without a receiver
  std::chrono::milliseconds create_retry{1000};  // a failed receiver is made again after this
};

struct SdkOmtRuntimeSettings {
  OmtLibrarySetup library = DefaultOmtLibrarySetup();  // used when this start is the first load
  OmtRuntimeTimers timers;
};

// Converts one OMT picture (BGRA, BGRX or UYVY) into a new packed BGR image. A stride of 0 or
// less means rows without padding. False (and `image` empty) for another format, a null pointer,
// a size out of bounds, or rows that would reach past `data_length` bytes.
bool ConvertOmtPicture(std::uint32_t format, std::int32_t width, std::int32_t height,
                       std::int32_t stride, std::int32_t data_length, const std::uint8_t* data,
                       cv::Mat& image);

// The OMT implementation of NdiRuntime: once the OMT libraries are loaded and verified, one worker
// thread ("omt") polls discovery for the senders' addresses, opens a receiver for the selected
// address, converts its pictures to BGR and hands them to the frame callback. Its link states are
// "no_source", "connecting", "connected", "error" and, after Stop, "offline"; a connection that
// goes quiet stays "connected" (the session's frame-age limit stops analysing it).
//
// Lock order: lifecycle_mutex_, then mutex_ (the compiler checks these two), then the process-wide
// OMT library mutex of omt_library.cpp, out of the compiler's sight. Callbacks are called with
// copies made under mutex_, after releasing it.
class SdkOmtRuntime final : public NdiRuntime {
 public:
  explicit SdkOmtRuntime(SdkOmtRuntimeSettings settings = {});
  ~SdkOmtRuntime() override;
  SdkOmtRuntime(const SdkOmtRuntime&) = delete;
  SdkOmtRuntime& operator=(const SdkOmtRuntime&) = delete;

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
  using SteadyTime = std::chrono::steady_clock::time_point;
  // What only the worker keeps: its receiver and the address that receiver belongs to.
  struct WorkerState {
    omt::ReceiverHandle receiver = nullptr;
    std::string current;
  };

  void RunWorker() EXCLUDES(mutex_);
  // One pass; false when the worker is to end (its receiver destroyed).
  bool WorkerPass(WorkerState& worker) EXCLUDES(mutex_);
  // Returns whether a receiver exists after the attempt.
  bool EnsureReceiver(WorkerState& worker, bool found) EXCLUDES(mutex_);
  void ReceiveOnce(WorkerState& worker) EXCLUDES(mutex_);
  void WaitBeforeNextPass() EXCLUDES(mutex_);
  std::vector<NdiSourceInfo> Discover();
  // The link state of libraries that are missing or refused.
  void ShowLoadRefusal(const std::string& message) REQUIRES(mutex_);

  const SdkOmtRuntimeSettings settings_;
  Mutex lifecycle_mutex_;  // serialises Start and Stop
  Mutex mutex_ ACQUIRED_AFTER(lifecycle_mutex_);
  CondVar wake_{mutex_};
  std::thread worker_ GUARDED_BY(lifecycle_mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
  bool stop_ GUARDED_BY(mutex_) = false;
  bool selection_changed_ GUARDED_BY(mutex_) = false;
  std::string selected_ GUARDED_BY(mutex_);
  std::vector<NdiSourceInfo> sources_ GUARDED_BY(mutex_);
  double sources_updated_at_ GUARDED_BY(mutex_) = 0.0;
  NdiLinkSnapshot link_ GUARDED_BY(mutex_);
  NdiCounters counters_ GUARDED_BY(mutex_);
  NdiFrameCallback frame_callback_ GUARDED_BY(mutex_);
  NdiLinkCallback link_callback_ GUARDED_BY(mutex_);
  bool create_failed_ GUARDED_BY(mutex_) = false;
  // Set by the first CheckLibrary or Start; read first without the locks, so that a check after
  // it never waits for a start or stop in progress.
  std::atomic<bool> library_checked_{false};
  // Why the libraries could not be used, kept as the message while the runtime is not running.
  std::string load_refusal_ GUARDED_BY(mutex_);
  SteadyTime create_failed_at_ GUARDED_BY(mutex_);
};

// A new OMT runtime with the program's folder, the build-time digests and the standard pacing;
// nothing is loaded or started.
std::shared_ptr<NdiRuntime> MakeSdkOmtRuntime();

}  // namespace tessvark
