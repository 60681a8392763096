#include "app/paced_opener.h"

#include <climits>
#include <utility>

namespace tessvark {

PacedOpener::PacedOpener(std::function<void()> open, std::chrono::milliseconds spacing,
                         Clock now)
    : open_(std::move(open)), spacing_(spacing), now_(std::move(now)) {}

void PacedOpener::Request() {
  const auto now = now_();
  if (!opened_ || now - last_opened_ >= spacing_) {
    Open(now);
  } else {
    planned_ = true;
  }
}

HostLoopSource::Wait PacedOpener::NextWait() {
  Wait wait;
  if (!planned_) return wait;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(last_opened_ + spacing_ - now_());
  wait.timeout_ms = left.count() <= 0 ? 0 : left.count() > INT_MAX ? INT_MAX
                                                                    : static_cast<int>(left.count());
  return wait;
}

void PacedOpener::Serve() {
  if (!planned_) return;
  const auto now = now_();
  if (now - last_opened_ >= spacing_) Open(now);
}

void PacedOpener::Open(std::chrono::steady_clock::time_point now) {
  opened_ = true;
  planned_ = false;
  last_opened_ = now;
  open_();
}

}  // namespace tessvark
