#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "ocr/analysis_inputs.h"

namespace tessvark {

// The two lanes an analysis step reads, always handled clock lane first.
enum class AnalysisLane : int32_t {
  kClock = 0,   // the role "clock"
  kValues = 1,  // every role of CanonicalOcrRoles()
};

inline constexpr std::array<AnalysisLane, 2> kAnalysisLanes = {AnalysisLane::kClock,
                                                               AnalysisLane::kValues};

// The values-lane roles of the role table in its order; "clock" is not among them.
const std::vector<std::string>& CanonicalOcrRoles();

// The lane of a role of the role table, or nothing for any other text.
std::optional<AnalysisLane> FindLaneForRole(const std::string& role);

// Throws std::invalid_argument "Unknown canonical OCR role: <role>" for an unknown role.
AnalysisLane LaneForRole(const std::string& role);

using MonotonicClock = std::function<double()>;

// Holds the one frame that waits to be analysed and says which lanes are due. Thread-safe; its
// mutex comes after the worker mutex and is held while the monotonic clock is read.
class AnalysisScheduler {
 public:
  // Negative and NaN intervals become 0 (due at every step). Throws std::invalid_argument when the
  // clock is empty.
  AnalysisScheduler(double clock_lane_interval, double values_lane_interval, MonotonicClock clock);
  AnalysisScheduler(const AnalysisScheduler&) = delete;
  AnalysisScheduler& operator=(const AnalysisScheduler&) = delete;

  // The due lanes in lane order, judged at `now` or, without it, at the monotonic clock.
  std::vector<AnalysisLane> DueLanes(std::optional<double> now = std::nullopt) const EXCLUDES(mutex_);
  // Records that the lane ran: it is next due one interval after its previous due time, with
  // missed periods skipped in whole intervals.
  void CompleteLane(AnalysisLane lane) EXCLUDES(mutex_);
  double Interval(AnalysisLane lane) const EXCLUDES(mutex_);
  double NextDue(AnalysisLane lane) const EXCLUDES(mutex_);

  // Replaces (and releases) any frame still pending.
  void OfferFrame(std::shared_ptr<const WorkingFrame> frame) EXCLUDES(mutex_);
  std::shared_ptr<const WorkingFrame> TakePendingFrame() EXCLUDES(mutex_);
  bool HasPendingFrame() const EXCLUDES(mutex_);
  void ClearPendingFrame() EXCLUDES(mutex_);

 private:
  struct LaneTiming {
    double interval = 0.0;
    double next_due = 0.0;  // 0 until the lane first completes
  };

  const MonotonicClock clock_;
  mutable Mutex mutex_;
  std::array<LaneTiming, 2> lanes_ GUARDED_BY(mutex_);
  std::shared_ptr<const WorkingFrame> pending_ GUARDED_BY(mutex_);
};

// The next due time of a lane with a positive interval that ran at `now` and was due at
// `next_due` (0 or less: never ran). Always later than `now`, computed without a loop so that a
// tiny interval cannot spin.
double NextDueAfter(double next_due, double interval, double now);

}  // namespace tessvark
