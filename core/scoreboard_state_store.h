#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

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
  StateValue ApplyValues(const StateValue& values);
  StateValue Snapshot() const;

 private:
  TimestampClock clock_;
  const std::string source_id_;
  mutable std::mutex mutex_;
  std::int32_t sequence_ = 0;             // guarded by mutex_
  StateValue last_tracked_;               // guarded by mutex_
  StateValue published_;                  // guarded by mutex_
};

// The 16 tracked keys of `values` in their fixed order ("penalties" an empty array when missing).
StateValue TrackedValues(const StateValue& values);
StateValue MemberOrNull(const StateValue& object, std::string_view key);
StateValue PenaltiesOrEmpty(const StateValue& object);

// The host name, or "tessvark-agent" when it cannot be read.
std::string DefaultSourceId();
// UTC "YYYY-MM-DDTHH:MM:SS", ".uuuuuu" only when the microseconds are not zero, then "Z".
std::string UtcTimestampNow();

}  // namespace tessvark
