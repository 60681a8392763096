#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/agent_roles.h"
#include "core/state_value.h"
#include "ocr/analysis_inputs.h"

namespace tessvark {

// What stored readings were read from: the source. A change of zones or geometry keeps the
// readings of the zones that are still there (the next step reads them all again); a change of
// source drops them all.
struct ReadingContext {
  SourceContext source;

  bool operator==(const ReadingContext&) const = default;
};

// One stored reading of one role.
struct RoleReading {
  std::string role;
  StateValue value;          // integer, string or null, by role
  StateValue clock_mode;     // string or null; clock-like roles only
  StateValue clock_seconds;  // double or null; clock-like roles only
  ReadingContext context;
  std::string status{};      // the reader's status word, for the operator
};

// The non-empty roles of the zones.
std::set<std::string> RolesWithZones(const std::vector<AnalysisZone>& zones);

// True without a filter, else whether the role is in it.
bool RoleEnabled(const RoleFilter& filter, const std::string& role);

// The first reading, in stored order, of the role read under exactly this context.
const RoleReading* FindReading(const std::vector<RoleReading>& readings, const std::string& role,
                               const ReadingContext& context);

// Null for a disabled role or one without a matching reading, else a copy of the reading's value.
StateValue RoleValue(const std::vector<RoleReading>& readings, const RoleFilter& filter,
                     const std::string& role, const ReadingContext& context);

// The row of `table` whose value stands in the penalty entry of `penalty_role` beside its time
// ("home_penalty_1" -> "home_penalty_player_1"), or null when there is none.
const AgentRole* PenaltyPlayerRole(std::string_view penalty_role,
                                   std::span<const AgentRole> table = AgentRoleTable());

// The possession lamps as the state shows them: unchanged when exactly one lamp is 1 and every
// other 0 (or all are already null), else all null, so the state never shows one lamp alone or
// two lit.
std::vector<StateValue> PossessionValues(std::vector<StateValue> lamps);

// The values object built from stored readings: the members StateValueKeys(table) names, in
// that order.
StateValue BuildValuesFromReadings(const std::vector<RoleReading>& readings,
                                   const std::vector<AnalysisZone>& zones,
                                   const ReadingContext& context, const RoleFilter& filter,
                                   std::span<const AgentRole> table = AgentRoleTable());

}  // namespace tessvark
