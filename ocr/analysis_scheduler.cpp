#include "ocr/analysis_scheduler.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/agent_roles.h"

namespace tessvark {
namespace {

// NaN compares false both ways, so `interval > 0` turns it into 0 whatever std::max would do.
double NonNegativeInterval(double interval) { return interval > 0.0 ? interval : 0.0; }

size_t LaneIndex(AnalysisLane lane) { return static_cast<size_t>(lane); }

}  // namespace

const std::vector<std::string>& CanonicalOcrRoles() {
  static const std::vector<std::string> roles = [] {
    const std::vector<std::string_view> values = RolesOfLane(AgentRoleTable(), AgentLane::kValues);
    return std::vector<std::string>(values.begin(), values.end());
  }();
  return roles;
}

std::optional<AnalysisLane> FindLaneForRole(const std::string& role) {
  const AgentRole* row = FindAgentRole(role);
  if (row == nullptr) return std::nullopt;
  return row->lane == AgentLane::kClock ? AnalysisLane::kClock : AnalysisLane::kValues;
}

AnalysisLane LaneForRole(const std::string& role) {
  const std::optional<AnalysisLane> lane = FindLaneForRole(role);
  if (!lane) throw std::invalid_argument("Unknown canonical OCR role: " + role);
  return *lane;
}

double NextDueAfter(double next_due, double interval, double now) {
  double due = next_due > 0.0 ? next_due : now;
  if (now >= due) {
    // The count of whole intervals overflows for an interval far below the gap.
    const double missed = std::floor((now - due) / interval) + 1.0;
    due = std::isfinite(missed) ? due + missed * interval : now + interval;
  }
  // Rounding can leave the sum at or below now, and an interval below the clock's resolution
  // cannot move it at all; the lane is then simply due again after the next clock step.
  if (!(due > now)) due = now + interval;
  if (!(due > now)) due = std::nextafter(now, std::numeric_limits<double>::infinity());
  return due;
}

AnalysisScheduler::AnalysisScheduler(double clock_lane_interval, double values_lane_interval,
                                     MonotonicClock clock)
    : clock_(std::move(clock)) {
  if (!clock_) throw std::invalid_argument("Analysis scheduler requires a monotonic clock");
  lanes_[LaneIndex(AnalysisLane::kClock)].interval = NonNegativeInterval(clock_lane_interval);
  lanes_[LaneIndex(AnalysisLane::kValues)].interval = NonNegativeInterval(values_lane_interval);
}

std::vector<AnalysisLane> AnalysisScheduler::DueLanes(std::optional<double> now) const {
  MutexLock lock(mutex_);
  const double at = now ? *now : clock_();
  std::vector<AnalysisLane> due;
  for (AnalysisLane lane : kAnalysisLanes) {
    const LaneTiming& timing = lanes_[LaneIndex(lane)];
    if (timing.interval <= 0.0 || at >= timing.next_due) due.push_back(lane);
  }
  return due;
}

void AnalysisScheduler::CompleteLane(AnalysisLane lane) {
  MutexLock lock(mutex_);
  const double now = clock_();
  LaneTiming& timing = lanes_[LaneIndex(lane)];
  timing.next_due = timing.interval <= 0.0 ? now : NextDueAfter(timing.next_due, timing.interval, now);
}

double AnalysisScheduler::Interval(AnalysisLane lane) const {
  MutexLock lock(mutex_);
  return lanes_[LaneIndex(lane)].interval;
}

double AnalysisScheduler::NextDue(AnalysisLane lane) const {
  MutexLock lock(mutex_);
  return lanes_[LaneIndex(lane)].next_due;
}

void AnalysisScheduler::OfferFrame(std::shared_ptr<const WorkingFrame> frame) {
  // Declared before the lock so that the replaced frame, possibly the last reference to a large
  // picture, is freed after the lock is released.
  std::shared_ptr<const WorkingFrame> replaced;
  MutexLock lock(mutex_);
  replaced = std::exchange(pending_, std::move(frame));
}

std::shared_ptr<const WorkingFrame> AnalysisScheduler::TakePendingFrame() {
  MutexLock lock(mutex_);
  return std::exchange(pending_, nullptr);
}

bool AnalysisScheduler::HasPendingFrame() const {
  MutexLock lock(mutex_);
  return pending_ != nullptr;
}

void AnalysisScheduler::ClearPendingFrame() {
  std::shared_ptr<const WorkingFrame> dropped;
  MutexLock lock(mutex_);
  dropped = std::exchange(pending_, nullptr);
}

}  // namespace tessvark
