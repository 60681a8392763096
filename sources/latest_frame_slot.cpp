#include "sources/latest_frame_slot.h"

#include <chrono>
#include <limits>
#include <utility>

namespace tessvark {

std::shared_ptr<const VideoFrame> LatestFrameSlot::Publish(VideoFrame frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return {};
  if (frame_) ++replaced_;
  ++sequence_;
  frame.sequence = sequence_;
  frame_ = std::make_shared<const VideoFrame>(std::move(frame));
  changed_.notify_all();
  return frame_;
}

std::shared_ptr<const VideoFrame> LatestFrameSlot::Latest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_;
}

void LatestFrameSlot::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  frame_.reset();
  changed_.notify_all();
}

void LatestFrameSlot::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  frame_.reset();
  changed_.notify_all();
}

std::unique_lock<std::mutex> LatestFrameSlot::Lock() { return std::unique_lock<std::mutex>(mutex_); }

bool LatestFrameSlot::HasNewerLocked(std::int64_t last_seen) const {
  return closed_ || (frame_ && frame_->sequence > last_seen);
}

bool LatestFrameSlot::WaitForNewer(std::unique_lock<std::mutex>& lock, std::int64_t timeout_ms,
                                   std::int64_t last_seen) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  // A huge timeout saturates at the latest representable time instead of overflowing.
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  const Clock::time_point deadline =
      timeout_ms <= 0 ? now
                      : (timeout_ms >= room.count() ? Clock::time_point::max()
                                                    : now + std::chrono::milliseconds(timeout_ms));
  return changed_.wait_until(lock, deadline, [&] { return HasNewerLocked(last_seen); });
}

std::shared_ptr<const VideoFrame> LatestFrameSlot::HeldFrame(const std::unique_lock<std::mutex>&) const {
  return frame_;
}

std::int64_t LatestFrameSlot::Sequence() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sequence_;
}

std::int64_t LatestFrameSlot::Replaced() {
  std::lock_guard<std::mutex> lock(mutex_);
  return replaced_;
}

bool LatestFrameSlot::IsClosed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

}  // namespace tessvark
