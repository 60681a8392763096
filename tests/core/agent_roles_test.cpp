// The role table is the one vocabulary of roles: the lanes and the members of the state are built
// from it, so a table with one row more gives lists with that role in its place and nothing cut.

#include "core/agent_roles.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/role_table_with_one_more_row.h"

namespace tessvark {
namespace {

using testing::RoleTableWithOneMoreRow;
using Names = std::vector<std::string_view>;

// The members of the published state that carry the values read, in their published order.
const Names kStateValueKeys = {
    "home",          "guest",          "period",          "clock",           "clock_seconds",
    "clock_mode",    "home_shots",     "guest_shots",     "shot_clock",      "down",
    "to_go",         "ball_on",        "home_timeouts",   "guest_timeouts",  "home_possession",
    "guest_possession", "penalties"};

Names WithAfter(Names names, std::string_view anchor, std::string_view added) {
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (*it == anchor) {
      names.insert(it + 1, added);
      return names;
    }
  }
  ADD_FAILURE() << anchor << " is not in the list";
  return names;
}

TEST(AgentRoleTable, OnlyTheGameClockIsReadOnTheClockLane) {
  EXPECT_EQ(RolesOfLane(AgentRoleTable(), AgentLane::kClock), Names{"clock"});
  const Names values = RolesOfLane(AgentRoleTable(), AgentLane::kValues);
  EXPECT_EQ(values.size() + 1, AgentRoleTable().size());
  EXPECT_EQ(values.front(), "home_score");
  EXPECT_EQ(values.back(), "guest_possession");
}

TEST(AgentRoleTable, RolesAndTheStateMembersTheyFillAreEachNamedOnce) {
  std::set<std::string_view> roles;
  for (const AgentRole& row : AgentRoleTable()) {
    EXPECT_TRUE(roles.insert(row.role).second) << row.role;
    EXPECT_EQ(FindAgentRole(row.role), &row);
  }
  const Names keys = StateValueKeys(AgentRoleTable());
  EXPECT_EQ(std::set<std::string_view>(keys.begin(), keys.end()).size(), keys.size());
}

TEST(AgentRoleTable, EveryPenaltyEntryBelongsToAPenaltyTimeOfTheTable) {
  // A row whose value stands in another role's entry (a penalty player) names a time role whose
  // entry is its own; that time is read as a clock.
  int players = 0;
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.value.penalty.empty() || row.value.penalty == row.role) continue;
    ++players;
    const AgentRole* time = FindAgentRole(row.value.penalty);
    ASSERT_NE(time, nullptr) << row.role;
    EXPECT_EQ(time->value.penalty, time->role) << row.role;
    EXPECT_EQ(time->reader, RoleReader::kClock) << row.role;
  }
  EXPECT_GT(players, 0);
}

TEST(StateValueKeys, FollowTheTableWithATimesSecondsAndModeAfterItAndPenaltiesLast) {
  EXPECT_EQ(StateValueKeys(AgentRoleTable()), kStateValueKeys);
}

TEST(StateValueKeys, ATableWithOneMoreRoleGivesItsMemberInItsPlace) {
  const std::vector<AgentRole> table = RoleTableWithOneMoreRow();
  EXPECT_EQ(StateValueKeys(table), WithAfter(kStateValueKeys, "guest_shots", "home_fouls"));
}

TEST(RolesOfLane, ATableWithOneMoreRoleKeepsEveryRoleOfTheLane) {
  const std::vector<AgentRole> table = RoleTableWithOneMoreRow();
  const Names before = RolesOfLane(AgentRoleTable(), AgentLane::kValues);
  EXPECT_EQ(RolesOfLane(table, AgentLane::kValues), WithAfter(before, "guest_shots", "home_fouls"));
  EXPECT_EQ(RolesOfLane(table, AgentLane::kClock), Names{"clock"});
}

}  // namespace
}  // namespace tessvark
