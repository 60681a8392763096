#pragma once

#include <string_view>
#include <vector>

#include "core/agent_roles.h"

namespace tessvark::testing {

// The program's role table with one role more, "home_fouls" (a two-digit number published as the
// state member "home_fouls") after "guest_shots": what adding a role to the table gives, for the
// tests that build the program's lists from a table.
inline std::vector<AgentRole> RoleTableWithOneMoreRow() {
  std::vector<AgentRole> table;
  for (const AgentRole& row : AgentRoleTable()) {
    table.push_back(row);
    if (row.role == "guest_shots") {
      table.push_back({"home_fouls", "Home Fouls", "score", AgentLane::kValues,
                       RoleLayout::kTwoDigits, RoleReader::kNumber, {"home_fouls", ""}});
    }
  }
  return table;
}

}  // namespace tessvark::testing
