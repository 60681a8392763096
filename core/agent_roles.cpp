#include "core/agent_roles.h"

namespace tessvark {

const std::array<AgentRole, kAgentRoleCount>& AgentRoleTable() {
  static constexpr std::array<AgentRole, kAgentRoleCount> kTable = {{
      {"home_score", "Home Score", "score"},
      {"guest_score", "Guest Score", "score"},
      {"period", "Period", "period"},
      {"clock", "Clock", "clock", AgentLane::kClock},
      {"home_penalty_1", "Home Penalty 1", "clock"},
      {"home_penalty_2", "Home Penalty 2", "clock"},
      {"guest_penalty_1", "Guest Penalty 1", "clock"},
      {"guest_penalty_2", "Guest Penalty 2", "clock"},
      {"home_penalty_player_1", "Home Player Penalty 1", "score"},
      {"home_penalty_player_2", "Home Player Penalty 2", "score"},
      {"guest_penalty_player_1", "Guest Player Penalty 1", "score"},
      {"guest_penalty_player_2", "Guest Player Penalty 2", "score"},
      {"home_shots", "Home Shots", "score"},
      {"guest_shots", "Guest Shots", "score"},
      // A shot clock shows whole seconds and is read like a score.
      {"shot_clock", "Shot Clock", "score"},
      {"down", "Down", "score"},
      {"to_go", "To Go", "score"},
      {"ball_on", "Ball On", "score"},
      {"home_timeouts", "Home Timeouts", "score"},
      {"guest_timeouts", "Guest Timeouts", "score"},
      {"home_possession", "Home Possession", "indicator"},
      {"guest_possession", "Guest Possession", "indicator"},
  }};
  return kTable;
}

const AgentRole* FindAgentRole(std::string_view role) {
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.role == role) return &row;
  }
  return nullptr;
}

}  // namespace tessvark
