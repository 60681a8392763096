#include "sources/latest_frame_slot.h"

#include <chrono>
#include <limits>
#include <utility>

namespace tessvark {

std::shared_ptr<const VideoFrame> LatestFrameSlot::Publish(VideoFrame frame) {
  MutexLock lock(mutex_);
  if (closed_) return {};
  if (frame_) ++replaced_;
  ++sequence_;
  frame.sequence = sequence_;
  frame_ = std::make_shared<const VideoFrame>(std::move(frame));
  changed_.SignalAll();
  return frame_;
}

std::shared_ptr<const VideoFrame> LatestFrameSlot::Latest() {
  MutexLock lock(mutex_);
  return frame_;
}

void LatestFrameSlot::Clear() {
  MutexLock lock(mutex_);
  frame_.reset();
  changed_.SignalAll();
}

void LatestFrameSlot::Close() {
  MutexLock lock(mutex_);
  closed_ = true;
  frame_.reset();
  changed_.SignalAll();
}

bool LatestFrameSlot::HasNewerLocked(std::int64_t last_seen) const {
  return closed_ || (frame_ && frame_->sequence > last_seen);
}

bool LatestFrameSlot::WaitForNewer(std::int64_t timeout_ms, std::int64_t last_seen) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  // A huge timeout saturates at the latest representable time instead of overflowing.
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  const Clock::time_point deadline =
      timeout_ms <= 0 ? now
                      : (timeout_ms >= room.count() ? Clock::time_point::max()
                                                    : now + std::chrono::milliseconds(timeout_ms));
  while (!HasNewerLocked(last_seen)) {
    if (!changed_.WaitUntil(deadline)) return HasNewerLocked(last_seen);
  }
  return true;
}

std::int64_t LatestFrameSlot::Sequence() {
  MutexLock lock(mutex_);
  return sequence_;
}

std::int64_t LatestFrameSlot::Replaced() {
  MutexLock lock(mutex_);
  return replaced_;
}

bool LatestFrameSlot::IsClosed() {
  MutexLock lock(mutex_);
  return closed_;
}

}  // namespace tessvark
