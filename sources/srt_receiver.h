#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "core/mutex.h"
#include "sources/latest_frame_slot.h"
#include "sources/srt_settings.h"

namespace tessvark {

// Status snapshot of the SRT listener.
struct SrtStatus {
  std::string state = "stopped";      // "stopped", "connecting", "live" or "error"
  // The error text for "error". While connecting or live it says what the listener cannot check
  // (a wrong passphrase, the stream id); otherwise empty.
  std::string message;
  std::string decoder;                // "native" once a decoder opened since the last start
  std::int32_t width = 0;             // size of the last decoded picture after scaling
  std::int32_t height = 0;
  bool active = false;                // state is "connecting" or "live"
  bool has_frame = false;             // a picture was published since the last start
  std::int64_t last_frame_at = 0;     // steady clock, ns, of the last published picture
  std::int64_t video_packets = 0;     // counters since the last start
  std::int64_t decode_errors = 0;
  std::int64_t frames_published = 0;
  std::int64_t listen_attempts = 0;   // waits for a caller begun
  std::int64_t listen_timeouts = 0;   // waits that ended by the listen time-out, with no caller
};

// Opens a new source generation for an accepted caller and returns its number.
using SrtSessionCallback = std::function<std::uint64_t()>;

// Listens for one SRT caller at a time that sends MPEG-TS with H.264 video, decodes it with
// FFmpeg, scales each picture to BGR with at most 1920 pixels on its longer side and publishes at
// most one picture every 50 ms into the latest-frame slot. When a caller leaves it listens again
// until stopped. Only one receiver may listen at a time in a process: FFmpeg's interrupt and log
// callbacks carry no context, so they work through process-wide flags.
//
// Threads: Start, Stop and GetStatus come from the session's threads; the listener thread ("srt")
// does all FFmpeg work. mutex_ is held only for short copies and updates, never while FFmpeg, the
// session callback or LatestFrameSlot::Publish runs, so the callback may take the session's locks.
class SrtReceiver {
 public:
  SrtReceiver() = default;
  SrtReceiver(const SrtReceiver&) = delete;
  SrtReceiver& operator=(const SrtReceiver&) = delete;
  // Stops the listener and wipes the stored passphrase.
  ~SrtReceiver();

  // Validates the settings (refused: state "error" with the refusal, false, a running listener
  // goes on), stops a running listener and starts listening. `slot` is borrowed and must outlive
  // the listener; `begin_session` is called on the listener thread once per accepted caller.
  bool Start(const SrtSettings& settings, LatestFrameSlot* slot, const std::string& label,
             SrtSessionCallback begin_session) EXCLUDES(mutex_);
  // Breaks FFmpeg's waits, joins the listener thread and wipes the stored passphrase. An "error"
  // state and its message survive, so the reason listening ended stays visible.
  void Stop() EXCLUDES(mutex_);
  SrtStatus GetStatus() const EXCLUDES(mutex_);

 private:
  struct Session;

  void Run() EXCLUDES(mutex_);
  // One accepted caller, from the decoder opening to the end of its stream.
  void ReceiveSession(Session& session) EXCLUDES(mutex_);
  void HandlePicture(Session& session) EXCLUDES(mutex_);
  void SetError(const std::string& message) EXCLUDES(mutex_);
  // State "connecting" with `note`, and one more listen attempt counted.
  void BeginListening(const std::string& note) EXCLUDES(mutex_);
  // Waits up to `milliseconds` unless Stop is called meanwhile.
  void PauseUnlessStopped(int milliseconds) EXCLUDES(mutex_);

  mutable Mutex mutex_;
  CondVar stop_wake_{mutex_};  // wakes the pauses between listening attempts
  SrtSettings settings_ GUARDED_BY(mutex_);
  std::string label_ GUARDED_BY(mutex_);
  SrtSessionCallback begin_session_ GUARDED_BY(mutex_);
  LatestFrameSlot* slot_ GUARDED_BY(mutex_) = nullptr;  // not owned
  SrtStatus status_ GUARDED_BY(mutex_);
  std::thread thread_;  // touched only by Start, Stop and the destructor
  std::atomic<bool> stop_{false};
};

}  // namespace tessvark
