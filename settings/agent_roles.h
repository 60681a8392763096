#pragma once

#include <array>
#include <string_view>

namespace tessvark {

// One agent role: the OCR role of a zone, the agent role of a catalog datum and the state
// member the engine fills, with the name the interface shows and the zone type that decides how
// a zone of this role is drawn and read.
struct AgentRole {
  std::string_view role;
  std::string_view display_name;
  std::string_view zone_type;
};

inline constexpr std::size_t kAgentRoleCount = 22;

// The fixed vocabulary of agent roles, in its fixed order.
const std::array<AgentRole, kAgentRoleCount>& AgentRoleTable();

// The first row whose role equals `role` byte for byte, or null.
const AgentRole* FindAgentRole(std::string_view role);

}  // namespace tessvark
