// The vocabulary the interface draws its lists from: every row of the role table as the page
// needs it, and the vMix sources the output accepts, built from whatever table it is given.

#include "session/role_vocabulary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/json_value.h"
#include "outputs/vmix/vmix_output_config.h"
#include "outputs/vmix/vmix_set_text.h"
#include "tests/support/role_table_with_one_more_row.h"

namespace tessvark {
namespace {

std::vector<std::string> Texts(const JsonValue& array) {
  std::vector<std::string> texts;
  for (const JsonValue& item : array.items) texts.push_back(item.text);
  return texts;
}

const JsonValue* RowOf(const JsonValue& vocabulary, const std::string& role) {
  for (const JsonValue& row : vocabulary.At("roles").items) {
    if (row.At("role").text == role) return &row;
  }
  return nullptr;
}

TEST(RoleVocabulary, DescribesEveryRowOfTheTableInItsOrder) {
  const JsonValue vocabulary = ParseJson(RoleVocabularyJson(AgentRoleTable()));
  ASSERT_TRUE(HasExactKeys(vocabulary, {"roles", "vmix_sources"}));
  const std::vector<JsonValue>& rows = vocabulary.At("roles").items;
  ASSERT_EQ(rows.size(), AgentRoleTable().size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const AgentRole& row = AgentRoleTable()[i];
    SCOPED_TRACE(std::string(row.role));
    ASSERT_TRUE(HasExactKeys(rows[i], {"role", "name", "zone_type", "layout", "reader", "member",
                                       "penalty"}));
    EXPECT_EQ(rows[i].At("role").text, row.role);
    EXPECT_EQ(rows[i].At("name").text, row.display_name);
    EXPECT_EQ(rows[i].At("zone_type").text, row.zone_type);
    EXPECT_EQ(rows[i].At("member").text, row.value.member);
  }

  // Every layout and reader by its word, and the place of a value in the state.
  struct Case {
    const char* role;
    const char* layout;
    const char* reader;
    const char* member;
    const char* penalty;  // null: the member of the state itself
  } cases[] = {
      {"home_score", "two_digits", "number", "home", nullptr},
      {"period", "one_digit", "period", "period", nullptr},
      {"clock", "clock", "clock", "clock", nullptr},
      {"guest_penalty_2", "clock", "clock", "clock", "guest_penalty_2"},
      {"home_penalty_player_1", "two_digits", "number", "player_number", "home_penalty_1"},
      {"shot_clock", "two_digits", "shot_clock", "shot_clock", nullptr},
      {"down", "one_digit", "count", "down", nullptr},
      {"guest_possession", "one_digit", "possession", "guest_possession", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.role);
    const JsonValue* row = RowOf(vocabulary, c.role);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->At("layout").text, c.layout);
    EXPECT_EQ(row->At("reader").text, c.reader);
    EXPECT_EQ(row->At("member").text, c.member);
    if (c.penalty == nullptr) {
      EXPECT_EQ(row->At("penalty").kind, JsonKind::kNull);
    } else {
      EXPECT_EQ(row->At("penalty").text, c.penalty);
    }
  }
}

TEST(RoleVocabulary, OffersTheRolesThenTheDisplayValuesAsVmixSourcesAsTheOutputAcceptsThem) {
  const JsonValue vocabulary = ParseJson(RoleVocabularyJson(AgentRoleTable()));
  const std::vector<std::string> sources = Texts(vocabulary.At("vmix_sources"));
  std::vector<std::string> expected;
  for (const AgentRole& row : AgentRoleTable()) expected.emplace_back(row.role);
  expected.insert(expected.end(), kVmixDisplaySources.begin(), kVmixDisplaySources.end());
  EXPECT_EQ(sources, expected);
  for (const std::string& source : sources) EXPECT_TRUE(IsVmixSourceName(source)) << source;
  EXPECT_FALSE(IsVmixSourceName("goal_to_go")) << "a display value that no mapping may name";
  EXPECT_FALSE(IsVmixSourceName("home")) << "a state member, not a source";
}

TEST(RoleVocabulary, ATableWithOneMoreRoleDescribesItAndOffersItToVmix) {
  const JsonValue vocabulary = ParseJson(RoleVocabularyJson(testing::RoleTableWithOneMoreRow()));
  std::vector<std::string> roles;
  for (const JsonValue& row : vocabulary.At("roles").items) roles.push_back(row.At("role").text);
  std::vector<std::string> sources = Texts(vocabulary.At("vmix_sources"));
  for (std::vector<std::string>* list : {&roles, &sources}) {
    const auto shots = std::find(list->begin(), list->end(), "guest_shots");
    ASSERT_NE(shots, list->end());
    EXPECT_EQ(*(shots + 1), "home_fouls");
  }
  EXPECT_EQ(roles.back(), "guest_possession");
  const JsonValue* fouls = RowOf(vocabulary, "home_fouls");
  ASSERT_NE(fouls, nullptr);
  EXPECT_EQ(fouls->At("name").text, "Home Fouls");
  EXPECT_EQ(fouls->At("member").text, "home_fouls");
  EXPECT_EQ(fouls->At("layout").text, "two_digits");
}

}  // namespace
}  // namespace tessvark
