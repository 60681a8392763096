#include "core/agent_roles.h"

#include <array>

namespace tessvark {
namespace {

constexpr AgentLane kClockLane = AgentLane::kClock;
constexpr AgentLane kValues = AgentLane::kValues;
constexpr RoleLayout kOne = RoleLayout::kOneDigit;
constexpr RoleLayout kTwo = RoleLayout::kTwoDigits;
constexpr RoleLayout kTime = RoleLayout::kClock;

}  // namespace

std::span<const AgentRole> AgentRoleTable() {
  using enum RoleReader;
  // role, display name, zone type, lane, layout, reader, {state member, penalty entry}
  static constexpr auto kTable = std::to_array<AgentRole>({
      {"home_score", "Home Score", "score", kValues, kTwo, kNumber, {"home", ""}},
      {"guest_score", "Guest Score", "score", kValues, kTwo, kNumber, {"guest", ""}},
      {"period", "Period", "period", kValues, kOne, kPeriod, {"period", ""}},
      {"clock", "Clock", "clock", kClockLane, kTime, kClock, {"clock", ""}},
      {"home_penalty_1", "Home Penalty 1", "clock", kValues, kTime, kClock,
       {"clock", "home_penalty_1"}},
      {"home_penalty_2", "Home Penalty 2", "clock", kValues, kTime, kClock,
       {"clock", "home_penalty_2"}},
      {"guest_penalty_1", "Guest Penalty 1", "clock", kValues, kTime, kClock,
       {"clock", "guest_penalty_1"}},
      {"guest_penalty_2", "Guest Penalty 2", "clock", kValues, kTime, kClock,
       {"clock", "guest_penalty_2"}},
      {"home_penalty_player_1", "Home Player Penalty 1", "score", kValues, kTwo, kNumber,
       {"player_number", "home_penalty_1"}},
      {"home_penalty_player_2", "Home Player Penalty 2", "score", kValues, kTwo, kNumber,
       {"player_number", "home_penalty_2"}},
      {"guest_penalty_player_1", "Guest Player Penalty 1", "score", kValues, kTwo, kNumber,
       {"player_number", "guest_penalty_1"}},
      {"guest_penalty_player_2", "Guest Player Penalty 2", "score", kValues, kTwo, kNumber,
       {"player_number", "guest_penalty_2"}},
      {"home_shots", "Home Shots", "score", kValues, kTwo, kNumber, {"home_shots", ""}},
      {"guest_shots", "Guest Shots", "score", kValues, kTwo, kNumber, {"guest_shots", ""}},
      // A shot clock shows whole seconds and is drawn like a score, but always with two digits.
      {"shot_clock", "Shot Clock", "score", kValues, kTwo, kShotClock, {"shot_clock", ""}},
      {"down", "Down", "score", kValues, kOne, kCount, {"down", ""}},
      {"to_go", "To Go", "score", kValues, kTwo, kNumber, {"to_go", ""}},
      {"ball_on", "Ball On", "score", kValues, kTwo, kNumber, {"ball_on", ""}},
      {"home_timeouts", "Home Timeouts", "score", kValues, kOne, kCount, {"home_timeouts", ""}},
      {"guest_timeouts", "Guest Timeouts", "score", kValues, kOne, kCount,
       {"guest_timeouts", ""}},
      {"home_possession", "Home Possession", "indicator", kValues, kOne, kPossession,
       {"home_possession", ""}},
      {"guest_possession", "Guest Possession", "indicator", kValues, kOne, kPossession,
       {"guest_possession", ""}},
  });
  return kTable;
}

const AgentRole* FindAgentRole(std::string_view role) {
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.role == role) return &row;
  }
  return nullptr;
}

std::vector<std::string_view> RolesOfLane(std::span<const AgentRole> table, AgentLane lane) {
  std::vector<std::string_view> roles;
  for (const AgentRole& row : table) {
    if (row.lane == lane) roles.push_back(row.role);
  }
  return roles;
}

std::vector<std::string_view> StateValueKeys(std::span<const AgentRole> table) {
  std::vector<std::string_view> keys;
  for (const AgentRole& row : table) {
    if (!row.value.penalty.empty()) continue;
    keys.push_back(row.value.member);
    if (row.reader == RoleReader::kClock) {
      keys.push_back(kClockSecondsMember);
      keys.push_back(kClockModeMember);
    }
  }
  keys.push_back(kPenaltiesMember);
  return keys;
}

}  // namespace tessvark
