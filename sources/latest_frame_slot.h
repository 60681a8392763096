#pragma once

#include <cstdint>
#include <memory>

#include "core/mutex.h"
#include "sources/video_frame.h"

namespace tessvark {

// Single-frame mailbox between the video receivers and the session's preview and frame threads.
// A receiver never waits for a reader: a newer frame simply replaces the held one. The slot mutex
// is the innermost lock; nothing else is locked or called while it is held.
class LatestFrameSlot {
 public:
  LatestFrameSlot() = default;
  LatestFrameSlot(const LatestFrameSlot&) = delete;
  LatestFrameSlot& operator=(const LatestFrameSlot&) = delete;

  // Stamps the next sequence number into the frame, stores it in place of the held one and wakes
  // every waiter. Returns the stored frame, or an empty pointer (frame dropped) once closed.
  std::shared_ptr<const VideoFrame> Publish(VideoFrame frame) EXCLUDES(mutex_);
  std::shared_ptr<const VideoFrame> Latest() EXCLUDES(mutex_);
  // Drops the held frame; the counters stay.
  void Clear() EXCLUDES(mutex_);
  // Refuses every later publish, drops the held frame and wakes every waiter.
  void Close() EXCLUDES(mutex_);

  // For readers that wait and then take the held frame under the same lock.
  Mutex& SlotMutex() RETURN_CAPABILITY(mutex_) { return mutex_; }
  // Waits for at most `timeout_ms` until the slot is closed or holds a frame newer than
  // `last_seen`; returns whether that holds at the end.
  bool WaitForNewer(std::int64_t timeout_ms, std::int64_t last_seen) REQUIRES(mutex_);
  std::shared_ptr<const VideoFrame> HeldFrame() const REQUIRES(mutex_) { return frame_; }

  std::int64_t Sequence() EXCLUDES(mutex_);
  std::int64_t Replaced() EXCLUDES(mutex_);
  bool IsClosed() EXCLUDES(mutex_);

 private:
  bool HasNewerLocked(std::int64_t last_seen) const REQUIRES(mutex_);

  Mutex mutex_;
  CondVar changed_{mutex_};  // signalled on every publish, clear and close
  std::shared_ptr<const VideoFrame> frame_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;
  std::int64_t sequence_ GUARDED_BY(mutex_) = 0;  // frames ever published
  std::int64_t replaced_ GUARDED_BY(mutex_) = 0;  // publishes that found a frame
};

}  // namespace tessvark
