#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

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
  std::shared_ptr<const VideoFrame> Publish(VideoFrame frame);
  std::shared_ptr<const VideoFrame> Latest();
  // Drops the held frame; the counters stay.
  void Clear();
  // Refuses every later publish, drops the held frame and wakes every waiter.
  void Close();

  // For readers that wait and then take the held frame under the same lock.
  std::unique_lock<std::mutex> Lock();
  // Waits with the caller's lock on this slot's mutex for at most `timeout_ms` until the slot is
  // closed or holds a frame newer than `last_seen`; returns whether that holds at the end.
  bool WaitForNewer(std::unique_lock<std::mutex>& lock, std::int64_t timeout_ms,
                    std::int64_t last_seen);
  // The held frame; the caller holds `lock` on this slot's mutex.
  std::shared_ptr<const VideoFrame> HeldFrame(const std::unique_lock<std::mutex>& lock) const;

  std::int64_t Sequence();
  std::int64_t Replaced();
  bool IsClosed();

 private:
  bool HasNewerLocked(std::int64_t last_seen) const;

  std::mutex mutex_;
  std::condition_variable changed_;           // notified on every publish, clear and close
  std::shared_ptr<const VideoFrame> frame_;   // guarded by mutex_
  bool closed_ = false;                       // guarded by mutex_
  std::int64_t sequence_ = 0;                 // guarded by mutex_; frames ever published
  std::int64_t replaced_ = 0;                 // guarded by mutex_; publishes that found a frame
};

}  // namespace tessvark
