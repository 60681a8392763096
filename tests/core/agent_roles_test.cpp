// The role table is the one vocabulary of roles: the lanes and the members of the state are built
// from it, so a table with one row more gives lists with that role in its place and nothing cut.
// The page's role list, its clock-like roles, its penalty pairs and its vMix sources are read
// from the shipped index page and held against the table.

#include "core/agent_roles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "outputs/vmix/vmix_output_config.h"
#include "outputs/vmix/vmix_set_text.h"
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

std::string IndexPage() {
  std::ifstream file(std::string(TESSVARK_SOURCE_DIR) + "/resources/ui/index.html");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The text between `const <name> = ` and the `;` that ends it.
std::string PageConstant(const std::string& page, const std::string& name) {
  const std::string opening = "const " + name + " = ";
  const std::size_t start = page.find(opening);
  if (start == std::string::npos) return {};
  const std::size_t end = page.find(';', start);
  return page.substr(start + opening.size(), end - start - opening.size());
}

// The first capture group of every match of `pattern` in the page constant `name`, and the second
// where the pattern has one.
std::vector<std::pair<std::string, std::string>> PageCaptures(const std::string& name,
                                                              const std::string& pattern) {
  const std::string text = PageConstant(IndexPage(), name);
  std::vector<std::pair<std::string, std::string>> captures;
  const std::regex regex(pattern);
  for (std::sregex_iterator it(text.begin(), text.end(), regex), end; it != end; ++it) {
    captures.emplace_back((*it)[1].str(), it->size() > 2 ? (*it)[2].str() : std::string());
  }
  return captures;
}

TEST(AgentRoleTable, ThePageNamesEveryRoleAsTheTableDoesInItsOrder) {
  const std::string roles = PageConstant(IndexPage(), "ROLES");
  ASSERT_FALSE(roles.empty()) << "the page lists its roles in ROLES";
  std::vector<std::pair<std::string, std::string>> page;
  const std::regex pair(R"(\['([a-z0-9_]+)',\s*'([^']*)'\])");
  for (std::sregex_iterator it(roles.begin(), roles.end(), pair), end; it != end; ++it) {
    page.emplace_back((*it)[1].str(), (*it)[2].str());
  }
  std::vector<std::pair<std::string, std::string>> table;
  for (const AgentRole& row : AgentRoleTable()) {
    table.emplace_back(std::string(row.role), std::string(row.display_name));
  }
  EXPECT_EQ(page, table);
}

TEST(AgentRoleTable, ThePageDrawsTheClockZonesOfTheTableAsClocks) {
  const std::string clocks = PageConstant(IndexPage(), "CLOCK_ROLES");
  ASSERT_FALSE(clocks.empty()) << "the page lists its clock-like roles in CLOCK_ROLES";
  std::set<std::string> page;
  const std::regex quoted(R"('([a-z0-9_]+)')");
  for (std::sregex_iterator it(clocks.begin(), clocks.end(), quoted), end; it != end; ++it) {
    page.insert((*it)[1].str());
  }
  std::set<std::string> table;
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.zone_type == "clock") table.insert(std::string(row.role));
  }
  EXPECT_EQ(page, table);
}

TEST(AgentRoleTable, ThePagePairsEachPenaltyPlayerWithThePenaltyWhoseEntryHoldsIt) {
  const auto pairs = PageCaptures("PENALTY_PLAYER_OF", R"(([a-z0-9_]+):\s*'([a-z0-9_]+)')");
  ASSERT_FALSE(pairs.empty()) << "the page pairs penalty players in PENALTY_PLAYER_OF";
  const std::set<std::pair<std::string, std::string>> page(pairs.begin(), pairs.end());
  std::set<std::pair<std::string, std::string>> table;
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.value.member == "player_number") {
      table.emplace(std::string(row.role), std::string(row.value.penalty));
    }
  }
  EXPECT_EQ(page, table);
}

TEST(AgentRoleTable, ThePageOffersTheVmixSourcesTheOutputAccepts) {
  const auto sources = PageCaptures("VMIX_SOURCES", R"('([a-z0-9_]+)')");
  ASSERT_FALSE(sources.empty()) << "the page lists its vMix sources in VMIX_SOURCES";
  std::set<std::string> page;
  for (const auto& [source, unused] : sources) {
    page.insert(source);
    EXPECT_TRUE(IsVmixSourceName(source)) << source;
  }
  std::set<std::string> accepted(kVmixDisplaySources.begin(), kVmixDisplaySources.end());
  for (const AgentRole& row : AgentRoleTable()) accepted.insert(std::string(row.role));
  EXPECT_EQ(page, accepted);
  EXPECT_FALSE(IsVmixSourceName("goal_to_go")) << "a display value that no mapping may name";
  EXPECT_FALSE(IsVmixSourceName("home")) << "a state member, not a source";
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
