#include <gtest/gtest.h>

#include <string>

#include "core/json_value.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "vmix_stand_in.h"

namespace tessvark {
namespace {

using test::StandInBehaviour;
using test::StandInInput;
using test::StandInMode;
using test::VmixStandIn;

StandInBehaviour Answering(const char* body) {
  StandInBehaviour behaviour;
  behaviour.body = body;
  return behaviour;
}

class VmixHostTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(stand_in_.Start(error)) << error;
    controller_ = MakeVmixOutputController([] { return StateValue::MakeObject({}); });
  }

  VmixOutputConfig Target() const {
    VmixOutputConfig config;
    config.host = "127.0.0.1";
    config.port = stand_in_.port();
    return config;
  }

  std::string StatusObject() {
    const std::string status = controller_->StatusJson();
    return status.substr(status.find(",\"status\":") + 10, status.find(",\"mapping_statuses\"") - status.find(",\"status\":") - 10);
  }

  VmixStandIn stand_in_;
  VmixOutputControllerPtr controller_;
};

TEST_F(VmixHostTestTest, DetectsVmixAndRecordsTheConnection) {
  stand_in_.SetApiDocument(test::MakeVmixApiDocument("27.0.0.49", "4K", "Studio \"A\"", {}));
  const std::string reply = controller_->TestConnection(Target());
  const std::string prefix = "{\"ok\":true,\"name\":\"Studio \\\"A\\\"\",\"version\":\"27.0.0.49\",\"edition\":\"4K\","
                             "\"host\":\"127.0.0.1\",\"port\":" + std::to_string(stand_in_.port()) +
                             ",\"message\":\"vMix detected\",\"status\":";
  ASSERT_EQ(reply.substr(0, prefix.size()), prefix);
  EXPECT_EQ(reply.substr(prefix.size()), StatusObject() + "}");
  const JsonValue status = ParseJson(controller_->StatusJson());
  EXPECT_TRUE(status.Find("status")->Find("connected")->bool_value);
  EXPECT_EQ(status.Find("status")->Find("last_success")->kind, JsonKind::kString);
  // The tested configuration is not stored.
  EXPECT_EQ(controller_->GetConfig().host, "");
}

TEST_F(VmixHostTestTest, FailuresAreRepliesWithTheirMessage) {
  const StandInBehaviour not_vmix = Answering("<vmix><version> </version></vmix>");
  const StandInBehaviour broken = Answering("<vmix>");
  StandInBehaviour refused;
  refused.status = 403;
  refused.reason = "Forbidden";
  const struct {
    const char* name;
    StandInBehaviour behaviour;
    const char* message;
  } cases[] = {
      {"no version", not_vmix, "The host did not return a vMix API response"},
      {"not XML", broken, "not well-formed"},
      {"HTTP error", refused, "HTTP Error 403: Forbidden"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stand_in_.PushBehaviour(c.behaviour);
    const JsonValue reply = ParseJson(controller_->TestConnection(Target()));
    EXPECT_FALSE(reply.Find("ok")->bool_value);
    EXPECT_EQ(reply.Find("message")->text, c.message);
    EXPECT_FALSE(reply.Find("status")->Find("connected")->bool_value);
    EXPECT_EQ(reply.Find("status")->Find("last_error")->text, c.message);
  }
}

TEST_F(VmixHostTestTest, EmptyHostStillReportsTheStatus) {
  const std::string reply = controller_->TestConnection(std::nullopt);
  EXPECT_EQ(reply, "{\"ok\":false,\"message\":\"vMix host is required\",\"status\":{\"enabled\":true,"
                   "\"connected\":false,\"last_success\":null,\"last_error\":\"vMix host is required\","
                   "\"last_sequence_sent\":null}}");
  EXPECT_EQ(stand_in_.RequestCount(), 0u);
}

TEST_F(VmixHostTestTest, ErrorWithQuotesAndBackslashesIsEscapedOnce) {
  StandInBehaviour odd;
  odd.status = 500;
  odd.reason = "Bad \"input\" C:\\titles";
  stand_in_.PushBehaviour(odd);
  const std::string expected_text = "HTTP Error 500: Bad \"input\" C:\\titles";
  const std::string escaped = "HTTP Error 500: Bad \\\"input\\\" C:\\\\titles";

  const std::string reply = controller_->TestConnection(Target());
  EXPECT_NE(reply.find("\"message\":\"" + escaped + "\""), std::string::npos) << reply;
  EXPECT_NE(reply.find("\"last_error\":\"" + escaped + "\""), std::string::npos) << reply;
  const std::string status = controller_->StatusJson();
  EXPECT_NE(status.find("\"last_error\":\"" + escaped + "\""), std::string::npos) << status;
  EXPECT_EQ(ParseJson(status).Find("status")->Find("last_error")->text, expected_text);
}

TEST_F(VmixHostTestTest, DiscoverInputsListsInputsWithoutTouchingTheController) {
  stand_in_.SetApiDocument(test::MakeVmixApiDocument(
      "27", "", "", {StandInInput{"k1", "1", "GT", "Score \xC3\xA9", {"Home.Text", "Guest.Text"}}}));
  const std::string reply = controller_->DiscoverInputs(Target());
  EXPECT_EQ(reply,
            "{\"ok\":true,\"version\":\"27\",\"edition\":null,\"inputs\":[\n"
            "  {\n  \"number\": \"1\",\n  \"key\": \"k1\",\n  \"title\": \"Score \xC3\xA9\",\n  \"type\": \"GT\",\n"
            "  \"value\": \"k1\",\n  \"text_fields\": [\n  \"Home.Text\",\n  \"Guest.Text\"\n]\n}\n"
            "],\"computer_name\":null,\"message\":\"vMix inputs discovered\"}");
  EXPECT_FALSE(ParseJson(controller_->StatusJson()).Find("status")->Find("connected")->bool_value);

  // Any well-formed document is listed, a broken one is not.
  stand_in_.PushBehaviour(Answering("<other/>"));
  EXPECT_EQ(controller_->DiscoverInputs(Target()),
            "{\"ok\":true,\"version\":null,\"edition\":null,\"inputs\":[],\"computer_name\":null,"
            "\"message\":\"vMix inputs discovered\"}");
  stand_in_.PushBehaviour(Answering("<other>"));
  EXPECT_EQ(controller_->DiscoverInputs(Target()), "{\"ok\":false,\"message\":\"not well-formed\",\"inputs\":[]}");
  VmixOutputConfig empty;
  EXPECT_EQ(controller_->DiscoverInputs(empty), "{\"ok\":false,\"message\":\"vMix host is required\",\"inputs\":[]}");
}

}  // namespace
}  // namespace tessvark
