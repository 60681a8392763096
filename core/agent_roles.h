#pragma once

#include <array>
#include <string_view>

namespace tessvark {

// The analysis lane that reads a role: the clock lane reads the game clock alone, the values
// lane every other role.
enum class AgentLane { kClock, kValues };

// How the digits of a zone of the role stand in its picture: one digit over the whole picture,
// two equal digits, or a time (digits on both sides of a separator).
enum class RoleLayout { kOneDigit, kTwoDigits, kClock };

// How the analysis reads a zone of the role: a number of up to two digits, the shot clock (always
// two digits), a count of one digit, the period, a time, or the possession marks of both teams
// compared with each other.
enum class RoleReader { kNumber, kShotClock, kCount, kPeriod, kClock, kPossession };

// Where the published scoreboard state carries the value read for a role, which is also what the
// vMix output sends for a mapping of the role: the member `member` of the state itself or, for a
// penalty role, of the entry of "penalties" whose "role" is `penalty`.
struct RoleValuePlace {
  std::string_view member;
  std::string_view penalty;
};

// One agent role: the OCR role of a zone, the agent role of a catalog datum and the vMix source
// of a mapping, with the name the interface shows, the zone type that decides how a zone of this
// role is drawn, the lane, layout and reader that read it and the place of its value. Every part
// of the program that lists roles reads this table.
struct AgentRole {
  std::string_view role;
  std::string_view display_name;
  std::string_view zone_type;
  AgentLane lane = AgentLane::kValues;
  RoleLayout layout = RoleLayout::kOneDigit;
  RoleReader reader = RoleReader::kNumber;
  RoleValuePlace value;
};

inline constexpr std::size_t kAgentRoleCount = 22;

// The fixed vocabulary of agent roles, in its fixed order.
const std::array<AgentRole, kAgentRoleCount>& AgentRoleTable();

// The first row whose role equals `role` byte for byte, or null.
const AgentRole* FindAgentRole(std::string_view role);

}  // namespace tessvark
