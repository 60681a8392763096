// Mapped fields that the vMix host's inputs do not have: the rule over a read API document, and
// the host test and field check of the controller against the vMix stand-in.

#include "outputs/vmix/vmix_field_check.h"

#include <gtest/gtest.h>

#include "outputs/vmix/vmix_api_document.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "vmix_stand_in.h"

namespace tessvark {
namespace {

using test::StandInInput;

const std::vector<StandInInput> kInputs = {
    {"K1", "1", "GT", "Scoreboard.gtzip", {"Home.Text", "Guest.Text", "Period.Text"}},
    {"K2", "2", "Colour", "Black", {}},
};

JsonValue Inputs() {
  return ReadVmixApiResponse(test::MakeVmixApiDocument("27.0.0.49", "4K", "BOOTH", kInputs), true)
      .inputs;
}

VmixOutput Output(const std::string& id, std::optional<std::string> key,
                  std::optional<std::string> number, std::optional<std::string> title,
                  std::vector<std::string> fields) {
  VmixOutput output;
  output.id = id;
  output.input_key = std::move(key);
  output.input_number = std::move(number);
  output.input_title = std::move(title);
  for (std::string& field : fields) output.mappings.push_back({"home_score", std::move(field)});
  return output;
}

TEST(VmixFieldCheck, NamesEveryMappedFieldTheInputLacks) {
  struct Case {
    const char* name;
    VmixOutput output;
    std::vector<std::string> warned_fields;  // "" stands for the whole input
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"every field known", Output("a", "K1", {}, {}, {"Home.Text", "Period.Text"}), {}, {}},
      {"a misspelt field", Output("a", "K1", {}, {}, {"Home.Text", "Perod.Text"}), {"Perod.Text"},
       {"\xE2\x80\x9CPerod.Text\xE2\x80\x9D is not a text field of \xE2\x80\x9CScoreboard.gtzip\xE2\x80\x9D."}},
      {"field names are exact", Output("a", "K1", {}, {}, {"home.text"}), {"home.text"}, {}},
      {"the same unknown field twice is named once", Output("a", "K1", {}, {}, {"X", "X"}), {"X"}, {}},
      {"an input without text fields", Output("a", "K2", {}, {}, {"Home.Text"}), {"Home.Text"}, {}},
      {"an input found by its number", Output("a", {}, "1", {}, {"Guest.Text"}), {}, {}},
      {"a key typed as a number", Output("a", "1", {}, {}, {"Guest.Text"}), {}, {}},
      {"an input found by its title", Output("a", {}, {}, "Scoreboard.gtzip", {"Guest.Text"}), {}, {}},
      {"an input vMix does not have", Output("a", "K9", {}, {}, {"Home.Text", "Guest.Text"}), {""},
       {"vMix has no input \xE2\x80\x9CK9\xE2\x80\x9D."}},
      {"no input reference", Output("a", {}, {}, {}, {"Perod.Text"}), {}, {}},
      {"no mappings", Output("a", "K9", {}, {}, {}), {}, {}},
  };
  const JsonValue inputs = Inputs();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmixOutputConfig config;
    config.outputs = {c.output};
    const std::vector<VmixFieldWarning> warnings = FindUnknownVmixFields(config, inputs);
    std::vector<std::string> fields;
    for (const VmixFieldWarning& warning : warnings) {
      fields.push_back(warning.field);
      EXPECT_EQ(warning.output_id, "a");
      EXPECT_FALSE(warning.message.empty());
    }
    EXPECT_EQ(fields, c.warned_fields);
    for (std::size_t i = 0; i < c.messages.size() && i < warnings.size(); ++i) {
      EXPECT_EQ(warnings[i].message, c.messages[i]);
    }
  }
}

class VmixFieldCheckHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(stand_in_.Start(error)) << error;
    stand_in_.SetApiDocument(test::MakeVmixApiDocument("27.0.0.49", "4K", "BOOTH", kInputs));
    controller_ = MakeVmixOutputController([] { return StateValue::MakeObject({}); });
  }

  VmixOutputConfig Config(std::vector<std::string> fields) const {
    VmixOutputConfig config;
    config.host = "127.0.0.1";
    config.port = stand_in_.port();
    config.outputs = {Output("out-1", "K1", {}, {}, std::move(fields))};
    return config;
  }

  test::VmixStandIn stand_in_;
  VmixOutputControllerPtr controller_;
};

TEST_F(VmixFieldCheckHost, TheHostTestNamesUnknownFieldsAndOnlyThen) {
  JsonValue reply = ParseJson(controller_->TestConnection(Config({"Home.Text", "Perod.Text"})));
  ASSERT_TRUE(reply.At("ok").bool_value);
  const JsonValue* warnings = reply.Find("field_warnings");
  ASSERT_NE(warnings, nullptr);
  ASSERT_EQ(warnings->items.size(), 1u);
  EXPECT_EQ(warnings->items[0].At("field").text, "Perod.Text");
  EXPECT_EQ(warnings->items[0].At("input").text, "K1");
  EXPECT_EQ(warnings->items[0].At("output_id").text, "out-1");

  reply = ParseJson(controller_->TestConnection(Config({"Home.Text", "Period.Text"})));
  EXPECT_TRUE(reply.At("ok").bool_value);
  EXPECT_EQ(reply.Find("field_warnings"), nullptr);
}

TEST_F(VmixFieldCheckHost, TheCheckAsksTheHostAndIsQuietWhenItCannot) {
  std::vector<VmixFieldWarning> warnings = controller_->CheckMappedFields(Config({"Perod.Text"}));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].field, "Perod.Text");
  EXPECT_EQ(stand_in_.RequestCount(), 1u);

  // Not vMix, or no host: nothing is claimed either way.
  stand_in_.SetApiDocument("<html/>");
  EXPECT_TRUE(controller_->CheckMappedFields(Config({"Perod.Text"})).empty());
  VmixOutputConfig no_host = Config({"Perod.Text"});
  no_host.host.clear();
  EXPECT_TRUE(controller_->CheckMappedFields(no_host).empty());
  EXPECT_EQ(stand_in_.RequestCount(), 2u);
  EXPECT_TRUE(stand_in_.SetTextCalls().empty()) << "a check sends nothing";
}

}  // namespace
}  // namespace tessvark
