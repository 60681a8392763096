#pragma once

#include <span>
#include <string_view>
#include <vector>

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
// penalty role, of the entry of "penalties" whose "role" is `penalty`. A role read as a time
// also publishes the time's seconds and its mode beside it ("clock_seconds", "clock_mode").
struct RoleValuePlace {
  std::string_view member;
  std::string_view penalty;
};

// One agent role: the OCR role of a zone, the agent role of a catalog datum and the vMix source
// of a mapping, with the name the interface shows, the zone type that decides how a zone of this
// role is drawn, the lane, layout and reader that read it and the place of its value. Every part
// of the program that lists roles reads this table, the interface through the route that
// describes it, so a new role is one row here (and its fields in the sports catalog).
struct AgentRole {
  std::string_view role;
  std::string_view display_name;
  std::string_view zone_type;
  AgentLane lane = AgentLane::kValues;
  RoleLayout layout = RoleLayout::kOneDigit;
  RoleReader reader = RoleReader::kNumber;
  RoleValuePlace value;
};

// The members a time publishes beside its text, and the member that holds the entries of every
// penalty role.
inline constexpr std::string_view kClockSecondsMember = "clock_seconds";
inline constexpr std::string_view kClockModeMember = "clock_mode";
inline constexpr std::string_view kPenaltiesMember = "penalties";

// The fixed vocabulary of agent roles, in its fixed order.
std::span<const AgentRole> AgentRoleTable();

// The first row whose role equals `role` byte for byte, or null.
const AgentRole* FindAgentRole(std::string_view role);

// The roles of `table` that `lane` reads, in the table's order.
std::vector<std::string_view> RolesOfLane(std::span<const AgentRole> table, AgentLane lane);

// The members of the scoreboard state that carry the values of the roles of `table`, in the
// order the state publishes them: the member of each role that is not a penalty role, at the
// role's row (a time followed by its seconds and its mode), then "penalties". The published
// state, the values the analysis builds and the change test all follow this order.
std::vector<std::string_view> StateValueKeys(std::span<const AgentRole> table);

}  // namespace tessvark
