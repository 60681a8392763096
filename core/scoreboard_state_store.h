#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/agent_roles.h"
#include "core/display_format.h"
#include "core/mutex.h"
#include "core/state_value.h"

namespace tessvark {

using TimestampClock = std::function<std::string()>;

// The one published scoreboard state. A new sequence number and timestamp are published only when
// one of the tracked values changes. The store mutex is the innermost lock of every caller; the
// clock is the only outside code called under it.
class ScoreboardStateStore {
 public:
  // An empty source id becomes DefaultSourceId(), an empty clock UtcTimestampNow.
  ScoreboardStateStore(std::string source_id, TimestampClock clock);
  ScoreboardStateStore(const ScoreboardStateStore&) = delete;
  ScoreboardStateStore& operator=(const ScoreboardStateStore&) = delete;

  // Merges one values object and returns a copy of the published state after the merge.
  StateValue ApplyValues(const StateValue& values) EXCLUDES(mutex_);
  StateValue Snapshot() const EXCLUDES(mutex_);

  // A copy of the published state with "period_display", "down_display", "down_distance" and
  // "goal_to_go" appended, computed from the held display format and football flag.
  StateValue SnapshotWithDisplay() const EXCLUDES(mutex_);
  // Counts the display-format changes that altered the display members.
  std::uint64_t DisplayRevision() const EXCLUDES(mutex_);
  // Holds a new display format and football flag; true (and the revision raised by one) when the
  // display members changed. The published state, its sequence and timestamp stay as they are.
  bool SetDisplayFormat(const DisplayFormat& format, bool football) EXCLUDES(mutex_);

 private:
  TimestampClock clock_;
  const std::string source_id_;
  mutable Mutex mutex_;
  std::int32_t sequence_ GUARDED_BY(mutex_) = 0;
  StateValue last_tracked_ GUARDED_BY(mutex_);
  StateValue published_ GUARDED_BY(mutex_);
  DisplayFormat display_format_ GUARDED_BY(mutex_) = DefaultDisplayFormat();
  bool football_ GUARDED_BY(mutex_) = false;
  std::uint64_t display_revision_ GUARDED_BY(mutex_) = 0;

  // The published state with the display members.
  void DisplayValues(StateValue& state) const REQUIRES(mutex_);
};

// The state value keys of `table` whose change publishes a new state: all but "clock_seconds",
// which changes with "clock" and never decides a change on its own.
std::vector<std::string_view> TrackedStateKeys(std::span<const AgentRole> table);
// The tracked keys of the role table taken from `values`, in their fixed order ("penalties" an
// empty array when missing).
StateValue TrackedValues(const StateValue& values);
StateValue MemberOrNull(const StateValue& object, std::string_view key);
StateValue PenaltiesOrEmpty(const StateValue& object);

// The host name, or "tessvark-agent" when it cannot be read.
std::string DefaultSourceId();
// UTC "YYYY-MM-DDTHH:MM:SS", ".uuuuuu" only when the microseconds are not zero, then "Z".
std::string UtcTimestampNow();

}  // namespace tessvark
