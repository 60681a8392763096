#pragma once

#include <span>
#include <string>

#include "core/agent_roles.h"

namespace tessvark {

// The vocabulary the interface draws its lists from, as GET "/api/sports/roles" answers it:
// {"roles":[...],"vmix_sources":[...]}. "roles" holds every row of `table` in its order as
// {"role","name","zone_type","layout","reader","member","penalty"}: the layout "one_digit",
// "two_digits" or "clock", the reader "number", "shot_clock", "count", "period", "clock" or
// "possession", and the place of the role's value in the state (the member, in the "penalties"
// entry whose "role" is `penalty` when that is not null). "vmix_sources" lists the scoreboard
// sources a vMix mapping may name: the roles in the table's order, then the display values.
std::string RoleVocabularyJson(std::span<const AgentRole> table);

}  // namespace tessvark
