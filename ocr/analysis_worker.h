#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "core/scoreboard_state_store.h"
#include "ocr/analysis_core.h"
#include "ocr/analysis_inputs.h"
#include "ocr/analysis_values.h"

namespace tessvark {

// The timestamp of every published state when the worker is given no timestamp function.
inline constexpr const char* kFixedStateTimestamp = "2026-01-01T00:00:00Z";

// The OCR engine's thread ("worker") and front door. Other threads hand it the setup (zones,
// geometry, roles), the source identity and frames; the thread analyses the newest frame whenever
// one of them changes (or after the wait interval), publishes into its state store and calls the
// hooks.
//
// Locking: the worker mutex guards every plain field below and is taken after the session's
// engine mutex and before the core, scheduler and state-store mutexes, each taken in a function
// of its own, so the compiler cannot check that order. Hooks are called with no worker lock held,
// so they may call back into the worker, but never Stop().
class AnalysisWorker {
 public:
  AnalysisWorker(double clock_lane_interval, double values_lane_interval, double wait_interval,
                 TimestampClock timestamp, ZoneValueReader reader = ReadZoneValue);
  ~AnalysisWorker();
  AnalysisWorker(const AnalysisWorker&) = delete;
  AnalysisWorker& operator=(const AnalysisWorker&) = delete;

  // Starts the thread unless it runs; throws std::system_error when it cannot be created.
  void Start() EXCLUDES(mutex_);
  // Stops and joins the thread. Must not be called on the worker thread (from a hook). Zones,
  // readings, frames and hooks survive; Start() may follow.
  void Stop() EXCLUDES(mutex_);
  // Switches the scheduler's clock from a constant 0.0 to the steady clock, reading 0.0 now.
  void UseSteadyClock();
  double MonotonicSeconds() const;

  // A new setup under a (sport) zone generation, whose role filter may differ: forgets every
  // reading and republishes the values of no readings.
  void SetZones(std::shared_ptr<const AnalysisSetup> setup, uint64_t zone_generation) EXCLUDES(mutex_);
  // The setup every following frame is read with. One of another generation keeps the readings
  // of the roles that still have a zone until the next step reads them again, and publishes the
  // values again without the roles left without one; the same generation changes nothing. An
  // empty pointer is ignored.
  void UpdateSetup(std::shared_ptr<const AnalysisSetup> setup) EXCLUDES(mutex_);
  // Takes the frame (its picture is shared, never copied) unless it is the frame submitted last;
  // either way wakes the thread. An empty pointer is ignored.
  void SubmitFrame(std::shared_ptr<const WorkingFrame> frame) EXCLUDES(mutex_);
  void SetSourceIdentity(std::optional<SourceContext> identity) EXCLUDES(mutex_);
  void SetAnalysisEnabled(bool enabled) EXCLUDES(mutex_);

  void SetTickDoneHook(std::function<void()> hook) EXCLUDES(mutex_);
  void SetValuesPublishedHook(std::function<void(uint64_t)> hook) EXCLUDES(mutex_);
  void SetAfterAnalysisHook(std::function<void()> hook) EXCLUDES(mutex_);

  // Forgets the readings and the retained frame and publishes the values of no readings.
  void RecomputeState() EXCLUDES(mutex_);
  // Forgets the readings and the retained frame; publishes nothing.
  void ClearResults() EXCLUDES(mutex_);

  bool IsBusy();
  bool HasResult() const { return has_result_.load(); }
  // Ticks that ended with an exception since construction.
  uint64_t TickErrorCount() const { return tick_errors_.load(); }
  ScoreboardStateStore& StateStore() { return core_.StateStore(); }
  // The stored readings of the current source and zones, each with its status word.
  std::vector<RoleReading> Readings() const { return core_.Readings(); }

 private:
  // What a tick read the zones under; the step is dropped when any of it changed meanwhile.
  struct TickInputs {
    std::shared_ptr<const AnalysisSetup> setup;
    uint64_t zone_generation = 0;
    uint64_t reset_count = 0;
  };

  void Run() EXCLUDES(mutex_);
  void TickGuarded(bool first) EXCLUDES(mutex_);
  void Tick(bool first) EXCLUDES(mutex_);
  void RecordError() EXCLUDES(mutex_);
  void ResetLocked() REQUIRES(mutex_);
  // The frame this tick reads, or none: when stopping, while analysis is off or no frame came
  // yet, and for a frame of another source than the one set (the last two reset the readings).
  std::shared_ptr<const WorkingFrame> FrameToReadLocked() REQUIRES(mutex_);
  // Whether a step read under `inputs` may still be published.
  bool IsCurrentLocked(const TickInputs& inputs, const WorkingFrame& frame) REQUIRES(mutex_);

  std::atomic<bool> steady_{false};
  std::atomic<int64_t> steady_start_ns_{0};
  const double wait_interval_;
  AnalysisCore core_;

  Mutex mutex_;
  CondVar changed_{mutex_};
  std::thread thread_ GUARDED_BY(mutex_);
  bool joining_ GUARDED_BY(mutex_) = false;
  bool wake_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<const AnalysisSetup> setup_ GUARDED_BY(mutex_) =
      std::make_shared<const AnalysisSetup>();  // never empty
  std::function<void()> tick_done_hook_ GUARDED_BY(mutex_);
  std::optional<SourceContext> source_identity_ GUARDED_BY(mutex_);
  bool analysis_enabled_ GUARDED_BY(mutex_) = true;
  uint64_t zone_generation_ GUARDED_BY(mutex_) = 0;
  std::function<void(uint64_t)> values_published_hook_ GUARDED_BY(mutex_);
  std::shared_ptr<const WorkingFrame> latest_frame_ GUARDED_BY(mutex_);    // the worker's own record
  std::shared_ptr<const WorkingFrame> retained_frame_ GUARDED_BY(mutex_);  // as submitted
  std::function<void()> after_analysis_hook_ GUARDED_BY(mutex_);
  uint64_t reset_count_ GUARDED_BY(mutex_) = 0;  // every reading reset

  std::atomic<bool> stop_{false};
  std::atomic<bool> has_result_{false};
  std::atomic<bool> in_analysis_{false};
  std::atomic<uint64_t> tick_errors_{0};
};

}  // namespace tessvark
