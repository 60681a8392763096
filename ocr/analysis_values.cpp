#include "ocr/analysis_values.h"

#include <algorithm>
#include <utility>

namespace tessvark {
namespace {

bool IsIntegerValue(const StateValue& value, int64_t expected) {
  return value.kind == StateKind::kInt && value.int_value == expected;
}

StateValue CopyOrNull(const StateValue* value) { return value ? *value : StateValue::MakeNull(); }

// A time's text, seconds and mode, each null without a reading.
void AppendTimeMembers(std::vector<StateMember>& members, std::string_view member,
                       const RoleReading* time) {
  members.push_back(MakeStateMember(member, CopyOrNull(time ? &time->value : nullptr)));
  members.push_back(
      MakeStateMember(kClockSecondsMember, CopyOrNull(time ? &time->clock_seconds : nullptr)));
  members.push_back(
      MakeStateMember(kClockModeMember, CopyOrNull(time ? &time->clock_mode : nullptr)));
}

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

const AgentRole* PenaltyPlayerRole(std::string_view penalty_role, std::span<const AgentRole> table) {
  // The player role keeps its number in the entry of the penalty time role; a role without an
  // entry has no player.
  if (penalty_role.empty()) return nullptr;
  for (const AgentRole& row : table) {
    if (row.value.penalty == penalty_role && row.role != penalty_role) return &row;
  }
  return nullptr;
}

std::vector<StateValue> PossessionValues(std::vector<StateValue> lamps) {
  const auto lit = std::count_if(lamps.begin(), lamps.end(),
                                 [](const StateValue& lamp) { return IsIntegerValue(lamp, 1); });
  const auto dark = std::count_if(lamps.begin(), lamps.end(),
                                  [](const StateValue& lamp) { return IsIntegerValue(lamp, 0); });
  const bool all_null = std::all_of(lamps.begin(), lamps.end(), [](const StateValue& lamp) {
    return lamp.kind == StateKind::kNull;
  });
  const bool consistent = all_null || (lit == 1 && lit + dark == std::ssize(lamps));
  if (!consistent) std::fill(lamps.begin(), lamps.end(), StateValue::MakeNull());
  return lamps;
}

StateValue BuildValuesFromReadings(const std::vector<RoleReading>& readings,
                                   const std::vector<AnalysisZone>& zones,
                                   const ReadingContext& context, const RoleFilter& filter,
                                   std::span<const AgentRole> table) {
  const std::set<std::string> roles = RolesWithZones(zones);
  auto zoned_and_enabled = [&](const std::string& role) {
    return roles.count(role) > 0 && RoleEnabled(filter, role);
  };
  auto role_value = [&](const std::string& role) { return RoleValue(readings, filter, role, context); };
  auto time_reading = [&](const std::string& role) {
    return RoleEnabled(filter, role) ? FindReading(readings, role, context) : nullptr;
  };

  std::vector<StateValue> penalties;
  for (const AgentRole& row : table) {
    // A penalty time role has an entry of its own in "penalties".
    if (row.value.penalty != row.role) continue;
    const std::string time_role(row.role);
    const AgentRole* player = PenaltyPlayerRole(time_role, table);
    const std::string player_role = player ? std::string(player->role) : std::string();
    const bool time_on = zoned_and_enabled(time_role);
    const bool player_on = player != nullptr && zoned_and_enabled(player_role);
    if (!time_on && !player_on) continue;
    std::vector<StateMember> entry;
    entry.push_back(MakeStateMember("role", StateValue::MakeString(std::string(time_role))));
    AppendTimeMembers(entry, row.value.member, time_on ? time_reading(time_role) : nullptr);
    if (player_on) entry.push_back(MakeStateMember(player->value.member, role_value(player_role)));
    penalties.push_back(StateValue::MakeObject(std::move(entry)));
  }

  // The possession lamps are shown together or not at all, and only once one of them is zoned
  // and enabled.
  std::vector<std::string> lamp_roles;
  for (const AgentRole& row : table) {
    if (row.reader == RoleReader::kPossession && row.value.penalty.empty()) {
      lamp_roles.emplace_back(row.role);
    }
  }
  std::vector<StateValue> lamps(lamp_roles.size(), StateValue::MakeNull());
  if (std::any_of(lamp_roles.begin(), lamp_roles.end(), zoned_and_enabled)) {
    for (std::size_t i = 0; i < lamp_roles.size(); ++i) {
      if (roles.count(lamp_roles[i]) > 0) lamps[i] = role_value(lamp_roles[i]);
    }
    lamps = PossessionValues(std::move(lamps));
  }

  std::vector<StateMember> members;
  std::size_t lamp = 0;
  for (const AgentRole& row : table) {
    if (!row.value.penalty.empty()) continue;
    const std::string role(row.role);
    if (row.reader == RoleReader::kClock) {
      AppendTimeMembers(members, row.value.member, time_reading(role));
    } else if (row.reader == RoleReader::kPossession) {
      members.push_back(MakeStateMember(row.value.member, std::move(lamps[lamp++])));
    } else {
      members.push_back(MakeStateMember(row.value.member, role_value(role)));
    }
  }
  members.push_back(MakeStateMember(kPenaltiesMember, StateValue::MakeArray(std::move(penalties))));
  return StateValue::MakeObject(std::move(members));
}

}  // namespace tessvark
