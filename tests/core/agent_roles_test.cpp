// The interface names every role as the program's role table does: the page's role list and its
// clock-like roles are read from the shipped index page and held against the table.

#include "core/agent_roles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tessvark {
namespace {

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

TEST(AgentRoleTable, OnlyTheGameClockIsReadOnTheClockLane) {
  std::vector<std::string> clock_lane;
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.lane == AgentLane::kClock) clock_lane.emplace_back(row.role);
  }
  EXPECT_EQ(clock_lane, std::vector<std::string>{"clock"});
}

}  // namespace
}  // namespace tessvark
