#include "core/scoreboard_state_store.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

namespace tessvark {
namespace {

// The engine values in the order they are published after the first change.
const std::vector<std::string_view>& ValueKeys() {
  static const std::vector<std::string_view> keys = StateValueKeys(AgentRoleTable());
  return keys;
}

const std::vector<std::string_view>& TrackedKeys() {
  static const std::vector<std::string_view> keys = TrackedStateKeys(AgentRoleTable());
  return keys;
}

StateValue ValueFor(const StateValue& values, std::string_view key) {
  if (key == kPenaltiesMember) return PenaltiesOrEmpty(values);
  return MemberOrNull(values, key);
}

StateValue NormalizedValues(const StateValue& values) {
  std::vector<StateMember> members;
  members.reserve(ValueKeys().size());
  for (const std::string_view key : ValueKeys()) {
    members.push_back(MakeStateMember(key, ValueFor(values, key)));
  }
  return StateValue::MakeObject(std::move(members));
}

}  // namespace

StateValue MemberOrNull(const StateValue& object, std::string_view key) {
  if (object.kind != StateKind::kObject) return StateValue::MakeNull();
  const StateValue* value = object.Find(key);
  return value != nullptr ? *value : StateValue::MakeNull();
}

StateValue PenaltiesOrEmpty(const StateValue& object) {
  if (object.kind == StateKind::kObject) {
    const StateValue* value = object.Find("penalties");
    if (value != nullptr && value->kind != StateKind::kNull) return *value;
  }
  return StateValue::MakeArray({});
}

std::vector<std::string_view> TrackedStateKeys(std::span<const AgentRole> table) {
  std::vector<std::string_view> keys = StateValueKeys(table);
  std::erase(keys, kClockSecondsMember);
  return keys;
}

StateValue TrackedValues(const StateValue& values) {
  std::vector<StateMember> members;
  members.reserve(TrackedKeys().size());
  for (const std::string_view key : TrackedKeys()) {
    members.push_back(MakeStateMember(key, ValueFor(values, key)));
  }
  return StateValue::MakeObject(std::move(members));
}

std::string DefaultSourceId() {
  char name[256] = {};
  if (gethostname(name, 255) != 0 || name[0] == '\0') return "tessvark-agent";
  return name;
}

std::string UtcTimestampNow() {
  const auto now = std::chrono::system_clock::now();
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  // Floor division keeps times before 1970 in the right second.
  std::int64_t seconds = micros / 1000000;
  std::int64_t fraction = micros % 1000000;
  if (fraction < 0) {
    fraction += 1000000;
    seconds -= 1;
  }
  const std::time_t whole = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[32];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::string result(text, length);
  if (fraction != 0) {
    char micro_text[16];
    std::snprintf(micro_text, sizeof micro_text, ".%06lld", static_cast<long long>(fraction));
    result += micro_text;
  }
  result += 'Z';
  return result;
}

ScoreboardStateStore::ScoreboardStateStore(std::string source_id, TimestampClock clock)
    : clock_(clock ? std::move(clock) : TimestampClock(UtcTimestampNow)),
      source_id_(source_id.empty() ? DefaultSourceId() : std::move(source_id)) {
  const StateValue all_null = NormalizedValues(StateValue::MakeObject({}));
  last_tracked_ = TrackedValues(all_null);

  // Before the first change "clock_seconds" stands after "penalties".
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("schema_version", StateValue::MakeString("1")));
  members.push_back(MakeStateMember("source_id", StateValue::MakeString(std::string(source_id_))));
  for (const std::string_view key : ValueKeys()) {
    if (key == kClockSecondsMember) continue;
    members.push_back(MakeStateMember(key, ValueFor(all_null, key)));
  }
  members.push_back(MakeStateMember(kClockSecondsMember, StateValue::MakeNull()));
  members.push_back(MakeStateMember("sequence", StateValue::MakeInt(0)));
  members.push_back(MakeStateMember("updated_at", StateValue::MakeString(clock_())));
  published_ = StateValue::MakeObject(std::move(members));
}

StateValue ScoreboardStateStore::ApplyValues(const StateValue& values) {
  const StateValue normalized = NormalizedValues(values);
  StateValue tracked = TrackedValues(normalized);

  MutexLock lock(mutex_);
  if (!tracked.Equals(last_tracked_)) {
    ++sequence_;
    last_tracked_ = std::move(tracked);
    std::vector<StateMember> members;
    members.reserve(ValueKeys().size() + 4);
    members.push_back(MakeStateMember("schema_version", StateValue::MakeString("1")));
    members.push_back(MakeStateMember("source_id", StateValue::MakeString(std::string(source_id_))));
    for (const std::string_view key : ValueKeys()) {
      members.push_back(MakeStateMember(key, MemberOrNull(normalized, key)));
    }
    members.push_back(MakeStateMember("sequence", StateValue::MakeInt(sequence_)));
    members.push_back(MakeStateMember("updated_at", StateValue::MakeString(clock_())));
    published_ = StateValue::MakeObject(std::move(members));
  }
  return published_;
}

StateValue ScoreboardStateStore::Snapshot() const {
  MutexLock lock(mutex_);
  return published_;
}

StateValue ScoreboardStateStore::SnapshotWithDisplay() const {
  MutexLock lock(mutex_);
  StateValue state;
  DisplayValues(state);
  return state;
}

std::uint64_t ScoreboardStateStore::DisplayRevision() const {
  MutexLock lock(mutex_);
  return display_revision_;
}

bool ScoreboardStateStore::SetDisplayFormat(const DisplayFormat& format, bool football) {
  MutexLock lock(mutex_);
  StateValue before;
  DisplayValues(before);
  display_format_ = format;
  football_ = football;
  StateValue after;
  DisplayValues(after);
  if (before.Equals(after)) return false;
  ++display_revision_;
  return true;
}

void ScoreboardStateStore::DisplayValues(StateValue& state) const {
  state = published_;
  SetDisplayValues(state, display_format_, football_);
}

}  // namespace tessvark
