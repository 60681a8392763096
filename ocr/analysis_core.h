#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/scoreboard_state_store.h"
#include "core/state_value.h"
#include "ocr/analysis_inputs.h"
#include "ocr/analysis_scheduler.h"
#include "ocr/analysis_values.h"
#include "ocr/possession.h"
#include "ocr/role_readers.h"
#include "ocr/working_picture.h"

namespace tessvark {

// What a lane last read in a published step: the frame and the setup it read it under.
struct LaneRunContext {
  int32_t frame_number = 0;
  std::string profile_key;
  uint64_t setup_generation = 0;

  bool operator==(const LaneRunContext&) const = default;
};

// One zone cut for reading.
struct ZoneImage {
  const AnalysisZone* zone = nullptr;
  cv::Mat image;
  bool failed = false;
  std::string error;
};

// The three stored members of one zone's reading; null where the reader had nothing. The status
// word tells why a value is missing ("unrecognized", "no_frame", ...; "ok" when there is one;
// "empty" when the zone shows no digit at all).
struct ZoneValue {
  StateValue value;
  StateValue clock_mode;
  StateValue clock_seconds;
  std::string status{};
};

// Reads one cut zone picture of any role but possession. Called on the worker thread without
// any lock held; the default is ReadZoneValue. It must answer the same for the same picture and
// zone: the core reuses a zone's reading while its picture stays the same to the byte.
using ZoneValueReader = std::function<ZoneValue(const cv::Mat& picture, const AnalysisZone& zone)>;

// Step outcomes, as AnalysisStep::status.
inline constexpr int32_t kStepNoFrame = 0;
inline constexpr int32_t kStepPublished = 1;
inline constexpr int32_t kStepNothingToRun = 2;
inline constexpr int32_t kStepNotCurrent = 3;

struct AnalysisStep {
  int32_t status = kStepNoFrame;
  StateValue state;  // the published state after the step
};

// A zone's last reading and the picture it was read from.
struct ZoneMemo {
  AnalysisZone zone;
  cv::Mat picture;
  ZoneValue value;
};

// Cuts the zone out of the working picture, through its perspective corners when it has them.
// Never throws for bad geometry: the result is then marked failed.
ZoneImage PrepareZoneImage(const cv::Mat& working_image, const AnalysisZone& zone);

// Seconds shown by a clock text in the given mode ("minutes": m:ss, "tenths": s.t); absent for
// anything it cannot read. Never throws.
std::optional<double> ClockSecondsFromText(const std::optional<std::string>& text,
                                           const std::optional<std::string>& mode);

// A clock-like zone: the text, its mode (default "minutes") and its seconds; all null when the
// picture is empty.
ZoneValue ReadClockZone(const cv::Mat& picture, const std::string& role,
                        const std::optional<ZoneProcessing>& processing, ClockFormat format);

// "shot_clock": its two-character text; every other number role: the integer.
StateValue NumberValue(const std::string& role, const ReaderResult& result);

// The role readers chosen by the zone's role.
ZoneValue ReadZoneValue(const cv::Mat& picture, const AnalysisZone& zone);

// The engine's memory and its step: stored readings, the contexts they were read under, the
// possession smoother, the scheduler and the published state store.
//
// Locking: the core mutex guards the role filter, the readings, both contexts and the smoother.
// It is taken after the worker mutex and before the scheduler and state-store mutexes; the
// cutting and reading of zones runs without any of them, on the one thread that runs the steps.
class AnalysisCore {
 public:
  AnalysisCore(std::string agent_id, TimestampClock timestamp, MonotonicClock clock,
               double clock_lane_interval, double values_lane_interval,
               ZoneValueReader reader = ReadZoneValue);
  AnalysisCore(const AnalysisCore&) = delete;
  AnalysisCore& operator=(const AnalysisCore&) = delete;

  // One analysis step over the frame, read as the setup says: each zone is cut from the frame's
  // working picture under the setup's geometry. Zones whose role is neither "clock" nor
  // canonical are skipped. With a job, publication is decided under the job's worker mutex by
  // its predicate and the after-analysis hook is called once that mutex is released. Steps run
  // on one thread at a time.
  AnalysisStep Analyze(const std::shared_ptr<const WorkingFrame>& frame, const AnalysisSetup& setup,
                       bool force, const AnalysisJob* job);

  // Forgets readings, contexts, the possession decision and the pictures zones were read from,
  // and drops the pending frame.
  void Reset();
  // Stores the setup's filter, forgets everything read (as Reset) and republishes the values of
  // no readings.
  void ApplyZoneChange(const AnalysisSetup& setup, const std::optional<SourceContext>& identity);
  // A new setup for the same source: the readings of roles that keep a zone stay until the next
  // step reads them again, so that no field goes blank meanwhile; a role left without a zone loses
  // its reading, and the values are published again without it.
  void ApplySetupChange(const AnalysisSetup& setup);
  // Publishes the values built from the stored readings under the identity's context.
  StateValue RecomputeFromReadings(const std::vector<AnalysisZone>& zones,
                                   const std::optional<SourceContext>& identity);

  std::vector<RoleReading> Readings() const;
  AnalysisScheduler& Scheduler() { return scheduler_; }
  ScoreboardStateStore& StateStore() { return state_store_; }

 private:
  void ClearReadingsLocked();
  // Drops the readings of roles the setup has no zone for, once per setup.
  void KeepReadingsOfZonedRolesLocked(const AnalysisSetup& setup);
  std::vector<RoleReading> ReadLane(AnalysisLane lane, const std::vector<ZoneImage>& images,
                                    const ReadingContext& context, const std::vector<ZoneMemo>& memos,
                                    std::vector<ZoneMemo>& fresh_memos);
  // The reader's value for the zone's picture, or the remembered one when the zone and its
  // picture are unchanged since it was last read.
  ZoneValue ReadOrReuse(const ZoneImage& image, const std::vector<ZoneMemo>& memos,
                        std::vector<ZoneMemo>& fresh_memos);
  // Keeps the readings of this step and, for zones still in the set that this step did not
  // read, the ones remembered before.
  void RememberReadings(const std::vector<AnalysisZone>& zones, std::vector<ZoneMemo> fresh_memos);
  StateValue PublishLocked(const std::vector<RoleReading>& new_readings, const ReadingContext& context,
                           const LaneRunContext& lane_context, const std::vector<AnalysisLane>& run_list,
                           const AnalysisSetup& setup);

  ScoreboardStateStore state_store_;
  AnalysisScheduler scheduler_;
  const ZoneValueReader reader_;

  mutable std::mutex mutex_;
  RoleFilter role_filter_;                                 // guarded by mutex_
  std::vector<RoleReading> readings_;                      // guarded by mutex_
  std::optional<ReadingContext> reading_context_;          // guarded by mutex_
  uint64_t readings_generation_ = 0;  // guarded by mutex_; the setup the readings were kept for
  std::array<std::optional<LaneRunContext>, 2> lane_contexts_;  // guarded by mutex_
  PossessionSmoother smoother_;                            // guarded by mutex_
  std::vector<ZoneMemo> memos_;                            // guarded by mutex_

  // Used by the steps alone, which run on one thread at a time.
  ZoneCutter cutter_;
  uint64_t cut_generation_ = 0;  // the setup the cutter's maps were last pruned for
};

}  // namespace tessvark
