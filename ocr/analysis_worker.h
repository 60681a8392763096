#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/scoreboard_state_store.h"
#include "ocr/analysis_core.h"
#include "ocr/analysis_inputs.h"
#include "ocr/analysis_values.h"

namespace tessvark {

// The timestamp of every published state when the worker is given no timestamp function.
inline constexpr const char* kFixedStateTimestamp = "2026-01-01T00:00:00Z";

// The OCR engine's thread and front door. Other threads hand it the setup (zones, geometry,
// roles), the source identity and frames; the thread analyses the newest frame whenever one of them changes (or
// after the wait interval), publishes into its state store and calls the hooks.
//
// Locking: the worker mutex guards every plain field below and is taken after the session's
// engine mutex and before the core, scheduler and state-store mutexes. Hooks are called with no
// worker lock held, so they may call back into the worker, but never Stop().
class AnalysisWorker {
 public:
  AnalysisWorker(double clock_lane_interval, double values_lane_interval, double wait_interval,
                 TimestampClock timestamp, ZoneValueReader reader = ReadZoneValue);
  ~AnalysisWorker();
  AnalysisWorker(const AnalysisWorker&) = delete;
  AnalysisWorker& operator=(const AnalysisWorker&) = delete;

  // Starts the thread unless it runs; throws std::system_error when it cannot be created.
  void Start();
  // Stops and joins the thread. Must not be called on the worker thread (from a hook). Zones,
  // readings, frames and hooks survive; Start() may follow.
  void Stop();
  // Switches the scheduler's clock from a constant 0.0 to the steady clock, reading 0.0 now.
  void UseSteadyClock();
  double MonotonicSeconds() const;

  // A new setup under a (sport) zone generation, whose role filter may differ: forgets every
  // reading and republishes the values of no readings.
  void SetZones(std::shared_ptr<const AnalysisSetup> setup, uint64_t zone_generation);
  // The setup every following frame is read with. One of another generation keeps the readings
  // of the roles that still have a zone until the next step reads them again, and publishes the
  // values again without the roles left without one; the same generation changes nothing. An
  // empty pointer is ignored.
  void UpdateSetup(std::shared_ptr<const AnalysisSetup> setup);
  // Takes the frame (its picture is shared, never copied) unless it is the frame submitted last;
  // either way wakes the thread. An empty pointer is ignored.
  void SubmitFrame(std::shared_ptr<const WorkingFrame> frame);
  void SetSourceIdentity(std::optional<SourceContext> identity);
  void SetAnalysisEnabled(bool enabled);

  void SetTickDoneHook(std::function<void()> hook);
  void SetValuesPublishedHook(std::function<void(uint64_t)> hook);
  void SetAfterAnalysisHook(std::function<void()> hook);

  // Forgets the readings and the retained frame and publishes the values of no readings.
  void RecomputeState();
  // Forgets the readings and the retained frame; publishes nothing.
  void ClearResults();

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

  void Run();
  void TickGuarded(bool first);
  void Tick(bool first);
  void RecordError();
  void ResetLocked();
  bool IsCurrentLocked(const TickInputs& inputs, const WorkingFrame& frame);
  void Wake(std::unique_lock<std::mutex>& lock);

  std::atomic<bool> steady_{false};
  std::atomic<int64_t> steady_start_ns_{0};
  const double wait_interval_;
  AnalysisCore core_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;                                   // guarded by mutex_
  bool joining_ = false;                                 // guarded by mutex_
  bool wake_ = false;                                    // guarded by mutex_
  std::shared_ptr<const AnalysisSetup> setup_ = std::make_shared<const AnalysisSetup>();  // guarded by mutex_; never empty
  std::function<void()> tick_done_hook_;                 // guarded by mutex_
  std::optional<SourceContext> source_identity_;         // guarded by mutex_
  bool analysis_enabled_ = true;                         // guarded by mutex_
  uint64_t zone_generation_ = 0;                         // guarded by mutex_
  std::function<void(uint64_t)> values_published_hook_;  // guarded by mutex_
  std::shared_ptr<const WorkingFrame> latest_frame_;     // guarded by mutex_; the worker's own record
  std::shared_ptr<const WorkingFrame> retained_frame_;   // guarded by mutex_; as submitted
  std::function<void()> after_analysis_hook_;            // guarded by mutex_
  uint64_t reset_count_ = 0;                             // guarded by mutex_; every reading reset

  std::atomic<bool> stop_{false};
  std::atomic<bool> has_result_{false};
  std::atomic<bool> in_analysis_{false};
  std::atomic<uint64_t> tick_errors_{0};
};

}  // namespace tessvark
