#pragma once

#include <array>
#include <string_view>

namespace tessvark {

// The analysis lane that reads a role: the clock lane reads the game clock alone, the values
// lane every other role.
enum class AgentLane { kClock, kValues };

// One agent role: the OCR role of a zone, the agent role of a catalog datum and the state
// member the engine fills, with the name the interface shows, the zone type that decides how
// a zone of this role is drawn and read, and the lane that reads it. Every part of the program
// that lists roles reads this table.
struct AgentRole {
  std::string_view role;
  std::string_view display_name;
  std::string_view zone_type;
  AgentLane lane = AgentLane::kValues;
};

inline constexpr std::size_t kAgentRoleCount = 22;

// The fixed vocabulary of agent roles, in its fixed order.
const std::array<AgentRole, kAgentRoleCount>& AgentRoleTable();

// The first row whose role equals `role` byte for byte, or null.
const AgentRole* FindAgentRole(std::string_view role);

}  // namespace tessvark
