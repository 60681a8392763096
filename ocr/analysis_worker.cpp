#include "ocr/analysis_worker.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/steady_clock.h"
#include "platform/thread_name.h"

namespace tessvark {
namespace {

// Longer waits add nothing (every input wakes the thread) and would overflow the clock's range.
constexpr double kLongestWaitSeconds = 86400.0;

}  // namespace

AnalysisWorker::AnalysisWorker(double clock_lane_interval, double values_lane_interval, double wait_interval,
                               TimestampClock timestamp, ZoneValueReader reader)
    : wait_interval_(wait_interval),
      core_("agent", timestamp ? std::move(timestamp) : TimestampClock([] { return std::string(kFixedStateTimestamp); }),
            [this] { return MonotonicSeconds(); }, clock_lane_interval, values_lane_interval, std::move(reader)) {}

AnalysisWorker::~AnalysisWorker() { Stop(); }

void AnalysisWorker::Start() {
  MutexLock lock(mutex_);
  while (joining_) changed_.Wait();
  if (thread_.joinable()) return;
  stop_ = false;
  wake_ = false;
  thread_ = std::thread(&AnalysisWorker::Run, this);
}

void AnalysisWorker::Stop() {
  std::thread taken;
  {
    MutexLock lock(mutex_);
    stop_ = true;
    wake_ = true;
    if (thread_.joinable()) {
      joining_ = true;
      taken = std::move(thread_);
    }
  }
  changed_.SignalAll();
  if (!taken.joinable()) return;
  taken.join();
  {
    MutexLock lock(mutex_);
    joining_ = false;
  }
  changed_.SignalAll();
}

void AnalysisWorker::UseSteadyClock() {
  steady_start_ns_.store(SteadyClockNanoseconds());
  steady_.store(true);
}

double AnalysisWorker::MonotonicSeconds() const {
  if (!steady_.load()) return 0.0;
  return static_cast<double>(SteadyClockNanoseconds() - steady_start_ns_.load()) / 1e9;
}

void AnalysisWorker::SetZones(std::shared_ptr<const AnalysisSetup> setup, uint64_t zone_generation) {
  if (!setup) return;
  {
    MutexLock lock(mutex_);
    setup_ = std::move(setup);
    zone_generation_ = zone_generation;
    ++reset_count_;
    core_.ApplyZoneChange(*setup_, source_identity_);
    wake_ = true;
  }
  changed_.SignalAll();
}

void AnalysisWorker::UpdateSetup(std::shared_ptr<const AnalysisSetup> setup) {
  if (!setup) return;
  {
    MutexLock lock(mutex_);
    const bool changed = setup->generation != setup_->generation;
    setup_ = std::move(setup);
    if (!changed) return;
    core_.ApplySetupChange(*setup_);
    wake_ = true;
  }
  changed_.SignalAll();
}

void AnalysisWorker::SubmitFrame(std::shared_ptr<const WorkingFrame> frame) {
  if (!frame) return;
  {
    MutexLock lock(mutex_);
    if (frame != retained_frame_ || !latest_frame_) {
      // The worker's record of the frame, pointing back to it; the picture is shared.
      auto own = std::make_shared<WorkingFrame>(*frame);
      own->origin = frame;
      latest_frame_ = own;
      retained_frame_ = std::move(frame);
      core_.Scheduler().OfferFrame(std::move(own));
    }
    wake_ = true;
  }
  changed_.SignalAll();
}

void AnalysisWorker::SetSourceIdentity(std::optional<SourceContext> identity) {
  {
    MutexLock lock(mutex_);
    source_identity_ = std::move(identity);
    wake_ = true;
  }
  changed_.SignalAll();
}

void AnalysisWorker::SetAnalysisEnabled(bool enabled) {
  {
    MutexLock lock(mutex_);
    analysis_enabled_ = enabled;
    wake_ = true;
  }
  changed_.SignalAll();
}

void AnalysisWorker::SetTickDoneHook(std::function<void()> hook) {
  MutexLock lock(mutex_);
  tick_done_hook_ = std::move(hook);
}

void AnalysisWorker::SetValuesPublishedHook(std::function<void(uint64_t)> hook) {
  MutexLock lock(mutex_);
  values_published_hook_ = std::move(hook);
}

void AnalysisWorker::SetAfterAnalysisHook(std::function<void()> hook) {
  MutexLock lock(mutex_);
  after_analysis_hook_ = std::move(hook);
}

void AnalysisWorker::ResetLocked() {
  core_.Reset();
  retained_frame_.reset();
  has_result_ = false;
  ++reset_count_;
}

void AnalysisWorker::RecomputeState() {
  MutexLock lock(mutex_);
  ResetLocked();
  core_.RecomputeFromReadings(setup_->zones, source_identity_);
}

void AnalysisWorker::ClearResults() {
  MutexLock lock(mutex_);
  ResetLocked();
}

bool AnalysisWorker::IsBusy() { return in_analysis_.load() || core_.Scheduler().HasPendingFrame(); }

bool AnalysisWorker::IsCurrentLocked(const TickInputs& inputs, const WorkingFrame& frame) {
  // A newer frame alone does not make a finished step stale: with frames arriving faster than a
  // step takes, dropping it would mean never publishing at all. What the step was computed for
  // must have changed: the setup, the zone generation, the source, the switch, or a reset of
  // readings.
  if (stop_) return false;
  if (zone_generation_ != inputs.zone_generation) return false;
  if (reset_count_ != inputs.reset_count) return false;
  if (setup_->generation != inputs.setup->generation) return false;
  if ((source_identity_ && !(*source_identity_ == frame.source)) || !analysis_enabled_) {
    ResetLocked();
    return false;
  }
  return true;
}

void AnalysisWorker::Run() {
  NameThisThread("worker");
  try {
    TickGuarded(true);
    while (true) {
      MutexLock lock(mutex_);
      if (wait_interval_ > 0.0) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration<double>(std::min(wait_interval_, kLongestWaitSeconds));
        while (!stop_ && !wake_ && changed_.WaitUntil(deadline)) {
        }
      }
      if (stop_) return;
      wake_ = false;
      lock.Unlock();
      TickGuarded(false);
    }
  } catch (...) {
    RecordError();
  }
}

void AnalysisWorker::TickGuarded(bool first) {
  try {
    Tick(first);
  } catch (...) {
    RecordError();
  }
}

void AnalysisWorker::RecordError() {
  tick_errors_.fetch_add(1);
  {
    MutexLock lock(mutex_);
    in_analysis_ = false;
  }
  changed_.SignalAll();
}

std::shared_ptr<const WorkingFrame> AnalysisWorker::FrameToReadLocked() {
  if (stop_) return nullptr;
  if (!analysis_enabled_) {
    ResetLocked();
    return nullptr;
  }
  std::shared_ptr<const WorkingFrame> frame = core_.Scheduler().TakePendingFrame();
  if (!frame && latest_frame_) {
    // No new frame: analyse the newest one again. Its lanes run only when something they depend
    // on changed, or after a reset dropped the retained frame and with it the lane contexts.
    retained_frame_ = latest_frame_->origin;
    frame = latest_frame_;
  }
  if (frame && source_identity_ && !(*source_identity_ == frame->source)) {
    ResetLocked();
    return nullptr;
  }
  return frame;
}

void AnalysisWorker::Tick(bool first) {
  std::function<void()> tick_done;
  {
    MutexLock lock(mutex_);
    tick_done = tick_done_hook_;
  }

  MutexLock lock(mutex_);
  const std::shared_ptr<const WorkingFrame> frame = FrameToReadLocked();
  if (!frame) {
    in_analysis_ = false;
    lock.Unlock();
    changed_.SignalAll();
    if (tick_done) tick_done();
    return;
  }
  const TickInputs inputs{setup_, zone_generation_, reset_count_};
  const std::function<void()> after_analysis = after_analysis_hook_;
  in_analysis_ = true;
  lock.Unlock();

  // Read without the worker mutex; published under it only while what the step was read under
  // still holds, so that a change made meanwhile is never undone by an older step.
  const StepReadings read = core_.ReadStep(frame, *inputs.setup, first);
  AnalysisStep step{read.status, {}};
  if (!read.run_list.empty()) {
    {
      MutexLock publish_lock(mutex_);
      step.status = kStepNotCurrent;
      if (IsCurrentLocked(inputs, *frame)) step = core_.Publish(read, *inputs.setup);
    }
    if (after_analysis) after_analysis();
  }

  std::function<void(uint64_t)> published;
  {
    MutexLock publish_lock(mutex_);
    if (step.status == kStepPublished && zone_generation_ == inputs.zone_generation) {
      published = values_published_hook_;
    }
  }
  if (published) published(inputs.zone_generation);

  {
    MutexLock end_lock(mutex_);
    if (step.status == kStepPublished || step.status == kStepNothingToRun) has_result_ = true;
    in_analysis_ = false;
  }
  changed_.SignalAll();
  if (tick_done) tick_done();
}

}  // namespace tessvark
