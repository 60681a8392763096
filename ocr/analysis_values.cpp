#include "ocr/analysis_values.h"

#include <array>
#include <utility>

#include "core/agent_roles.h"

namespace tessvark {
namespace {

// Members that copy the value of the role of the same name, between "clock_mode" and the
// possession pair.
constexpr std::array<const char*, 8> kPlainValueRoles = {
    "home_shots", "guest_shots", "shot_clock", "down",
    "to_go",      "ball_on",     "home_timeouts", "guest_timeouts"};

bool IsIntegerValue(const StateValue& value, int64_t expected) {
  return value.kind == StateKind::kInt && value.int_value == expected;
}

StateValue CopyOrNull(const StateValue* value) { return value ? *value : StateValue::MakeNull(); }

}  // namespace

std::set<std::string> RolesWithZones(const std::vector<AnalysisZone>& zones) {
  std::set<std::string> roles;
  for (const AnalysisZone& zone : zones) {
    if (!zone.role.empty()) roles.insert(zone.role);
  }
  return roles;
}

bool RoleEnabled(const RoleFilter& filter, const std::string& role) {
  return !filter || filter->count(role) > 0;
}

const RoleReading* FindReading(const std::vector<RoleReading>& readings, const std::string& role,
                               const ReadingContext& context) {
  for (const RoleReading& reading : readings) {
    if (reading.role == role && reading.context == context) return &reading;
  }
  return nullptr;
}

StateValue RoleValue(const std::vector<RoleReading>& readings, const RoleFilter& filter,
                     const std::string& role, const ReadingContext& context) {
  if (!RoleEnabled(filter, role)) return StateValue::MakeNull();
  const RoleReading* reading = FindReading(readings, role, context);
  return reading ? reading->value : StateValue::MakeNull();
}

std::string PenaltyPlayerRole(const std::string& penalty_role) {
  // The player role keeps its number in the entry of the penalty time role.
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.value.penalty == penalty_role && row.value.member == "player_number") {
      return std::string(row.role);
    }
  }
  return std::string();
}

StateValue PossessionValues(const StateValue& home, const StateValue& guest) {
  const bool consistent = (IsIntegerValue(home, 1) && IsIntegerValue(guest, 0)) ||
                          (IsIntegerValue(home, 0) && IsIntegerValue(guest, 1)) ||
                          (home.kind == StateKind::kNull && guest.kind == StateKind::kNull);
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("home_possession", consistent ? StateValue(home) : StateValue::MakeNull()));
  members.push_back(MakeStateMember("guest_possession", consistent ? StateValue(guest) : StateValue::MakeNull()));
  return StateValue::MakeObject(std::move(members));
}

StateValue BuildValuesFromReadings(const std::vector<RoleReading>& readings,
                                   const std::vector<AnalysisZone>& zones,
                                   const ReadingContext& context, const RoleFilter& filter) {
  const std::set<std::string> roles = RolesWithZones(zones);
  auto zoned_and_enabled = [&](const std::string& role) {
    return roles.count(role) > 0 && RoleEnabled(filter, role);
  };
  auto role_value = [&](const std::string& role) { return RoleValue(readings, filter, role, context); };

  std::vector<StateValue> penalties;
  for (const AgentRole& row : AgentRoleTable()) {
    // A penalty time role has an entry of its own in "penalties".
    if (row.value.penalty != row.role) continue;
    const std::string time_role(row.role);
    const std::string player_role = PenaltyPlayerRole(time_role);
    const bool time_on = zoned_and_enabled(time_role);
    const bool player_on = zoned_and_enabled(player_role);
    if (!time_on && !player_on) continue;
    const RoleReading* time = time_on ? FindReading(readings, time_role, context) : nullptr;
    std::vector<StateMember> entry;
    entry.push_back(MakeStateMember("role", StateValue::MakeString(std::string(time_role))));
    entry.push_back(MakeStateMember("clock", CopyOrNull(time ? &time->value : nullptr)));
    entry.push_back(MakeStateMember("clock_seconds", CopyOrNull(time ? &time->clock_seconds : nullptr)));
    entry.push_back(MakeStateMember("clock_mode", CopyOrNull(time ? &time->clock_mode : nullptr)));
    if (player_on) entry.push_back(MakeStateMember("player_number", role_value(player_role)));
    penalties.push_back(StateValue::MakeObject(std::move(entry)));
  }

  const RoleReading* clock = RoleEnabled(filter, "clock") ? FindReading(readings, "clock", context) : nullptr;

  StateValue possession = PossessionValues(StateValue::MakeNull(), StateValue::MakeNull());
  if (zoned_and_enabled("home_possession") || zoned_and_enabled("guest_possession")) {
    auto zoned_value = [&](const std::string& role) {
      return roles.count(role) > 0 ? role_value(role) : StateValue::MakeNull();
    };
    possession = PossessionValues(zoned_value("home_possession"), zoned_value("guest_possession"));
  }

  std::vector<StateMember> members;
  members.push_back(MakeStateMember("home", role_value("home_score")));
  members.push_back(MakeStateMember("guest", role_value("guest_score")));
  members.push_back(MakeStateMember("period", role_value("period")));
  members.push_back(MakeStateMember("clock", CopyOrNull(clock ? &clock->value : nullptr)));
  members.push_back(MakeStateMember("clock_seconds", CopyOrNull(clock ? &clock->clock_seconds : nullptr)));
  members.push_back(MakeStateMember("clock_mode", CopyOrNull(clock ? &clock->clock_mode : nullptr)));
  for (const char* role : kPlainValueRoles) members.push_back(MakeStateMember(role, role_value(role)));
  for (StateMember& member : possession.members) members.push_back(std::move(member));
  members.push_back(MakeStateMember("penalties", StateValue::MakeArray(std::move(penalties))));
  return StateValue::MakeObject(std::move(members));
}

}  // namespace tessvark
