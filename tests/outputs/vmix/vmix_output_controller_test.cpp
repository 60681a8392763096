#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/json_value.h"
#include "core/state_value.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "tests/support/wait_until.h"
#include "vmix_stand_in.h"

namespace tessvark {
namespace {

using test::SetTextCall;
using test::StandInBehaviour;
using test::VmixStandIn;

using testing::kPatience;
using testing::WaitUntil;

// Far beyond the patience: a stop that waits for a blanking that cannot come does not return in
// time, while one that waits for a blanking being sent has all the time a loaded machine needs.
constexpr std::chrono::milliseconds kLongStopWait = 2 * kPatience;

StateValue State(std::int64_t home, const char* clock, std::int64_t sequence) {
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("home", StateValue::MakeInt(home)));
  members.push_back(MakeStateMember("clock", StateValue::MakeString(clock)));
  members.push_back(MakeStateMember("period", StateValue::MakeString("2")));
  members.push_back(MakeStateMember("sequence", StateValue::MakeInt(sequence)));
  return StateValue::MakeObject(std::move(members));
}

std::vector<std::string> Texts(const std::vector<SetTextCall>& calls) {
  std::vector<std::string> texts;
  for (const SetTextCall& call : calls) texts.push_back(call.input + "/" + call.field + "=" + call.value);
  return texts;
}

class VmixControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(stand_in_.Start(error)) << error;
    MakeController(kVmixStopClearWait);
  }

  void MakeController(std::chrono::milliseconds stop_clear_wait) {
    controller_ = MakeVmixOutputController(
        [this] {
          std::lock_guard<std::mutex> lock(state_mutex_);
          return state_;
        },
        {}, stop_clear_wait);
  }

  // The three stops of a quit (session stop, session destruction, controller destruction) on a
  // thread of their own; true when all of them returned within the patience.
  bool QuitReturns() {
    std::atomic<bool> returned{false};
    std::thread quit([this, &returned] {
      for (int stop = 0; stop < 3; ++stop) controller_->StopSender();
      returned = true;
    });
    const bool in_time = WaitUntil([&returned] { return returned.load(); });
    quit.join();
    return in_time;
  }

  void TearDown() override {
    controller_.reset();
    stand_in_.Stop();
  }

  VmixOutputConfig Config() const {
    VmixOutputConfig config;
    config.host = "127.0.0.1";
    config.port = stand_in_.port();
    VmixOutput output;
    output.id = "score";
    output.input_key = "K";
    output.mappings = {{"home_score", "Home.Text"}, {"clock", "Clock.Text"}};
    config.outputs.push_back(output);
    return config;
  }

  JsonValue Status() { return ParseJson(controller_->StatusJson()); }

  // Starts with the default configuration and waits for the first full send.
  void StartAndSendFirstSnapshot() {
    controller_->ApplyConfig(Config());
    controller_->StartSender();
    ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(2, kPatience));
    ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "5"; }));
  }

  std::mutex state_mutex_;
  StateValue state_ = State(3, "12:34", 5);
  VmixStandIn stand_in_;
  VmixOutputControllerPtr controller_;
};

TEST_F(VmixControllerTest, FreshStatusDocumentShowsTheDefaults) {
  std::string config;
  WriteJsonPretty(VmixOutputConfigToJson(VmixOutputConfig()), config, 0, 0);
  EXPECT_EQ(controller_->StatusJson(),
            "{\"config\":" + config +
                ",\"status\":{\"enabled\":true,\"connected\":false,\"last_success\":null,\"last_error\":null,"
                "\"last_sequence_sent\":null},\"mapping_statuses\":[]}");
}

TEST_F(VmixControllerTest, FirstSnapshotSendsEveryMappedFieldAndRecordsIt) {
  StartAndSendFirstSnapshot();
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "3");
  EXPECT_EQ(stand_in_.Field("K", "Clock.Text"), "12:34");
  const JsonValue status = Status();
  EXPECT_TRUE(status.Find("status")->Find("connected")->bool_value);
  EXPECT_EQ(status.Find("status")->Find("last_error")->kind, JsonKind::kNull);
  const JsonValue& mappings = *status.Find("mapping_statuses");
  ASSERT_EQ(mappings.items.size(), 2u);
  EXPECT_EQ(mappings.items[0].Find("last_status")->text, "success");
  EXPECT_EQ(mappings.items[0].Find("input")->text, "K");
  EXPECT_EQ(mappings.items[0].Find("last_value")->text, "3");
  EXPECT_EQ(mappings.items[0].Find("last_sequence")->text, "5");
  EXPECT_EQ(mappings.items[1].Find("last_value")->text, "12:34");
}

TEST_F(VmixControllerTest, OnlyChangedFieldsAreSentAfterwards) {
  StartAndSendFirstSnapshot();
  controller_->PublishValues(State(4, "12:34", 6));
  controller_->PublishValues(State(4, "12:34", 7));  // nothing changed: no request
  controller_->PublishValues(State(4, "12:33", 8));
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(4, kPatience));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "8"; }));
  const std::vector<std::string> texts = Texts(stand_in_.SetTextCalls());
  // Snapshots the sender had no time to take are dropped, so 6 and 7 may be skipped; either
  // way every request carries a changed value.
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], "K/Home.Text=3");
  EXPECT_EQ(texts[1], "K/Clock.Text=12:34");
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "K/Home.Text=4"), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "K/Clock.Text=12:34"), 1);
  EXPECT_EQ(texts.back(), "K/Clock.Text=12:33");
  EXPECT_EQ(texts.size(), 4u);
}

TEST_F(VmixControllerTest, SnapshotsPublishedDuringAPassCollapseIntoTheNewest) {
  StartAndSendFirstSnapshot();
  StandInBehaviour held;
  held.held = true;
  stand_in_.PushBehaviour(held);
  controller_->PublishValues(State(4, "12:34", 6));
  ASSERT_TRUE(stand_in_.WaitForRequests(3, kPatience));  // the held request is in flight
  controller_->PublishValues(State(5, "12:34", 7));
  controller_->PublishValues(State(6, "12:34", 8));
  stand_in_.ReleaseHeldAnswers();
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(4, kPatience));
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "K/Home.Text=4", "K/Home.Text=6"}));
}

TEST_F(VmixControllerTest, FailedRequestIsReportedAndTheNextPassSendsEverything) {
  StartAndSendFirstSnapshot();
  StandInBehaviour failure;
  failure.status = 500;
  failure.reason = "Internal Server Error";
  stand_in_.PushBehaviour(failure);
  controller_->PublishValues(State(4, "12:34", 6));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_error")->kind == JsonKind::kString; }));
  JsonValue status = Status();
  EXPECT_EQ(status.Find("status")->Find("last_error")->text, "HTTP Error 500: Internal Server Error");
  EXPECT_FALSE(status.Find("status")->Find("connected")->bool_value);
  EXPECT_EQ(status.Find("mapping_statuses")->items[0].Find("last_status")->text, "error");
  EXPECT_EQ(status.Find("mapping_statuses")->items[0].Find("last_error")->text, "HTTP Error 500: Internal Server Error");

  // Sent at once and in full: the unchanged clock goes out again too.
  controller_->PublishValues(State(4, "12:34", 7));
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(4, kPatience));
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "K/Home.Text=4", "K/Home.Text=4",
                                      "K/Clock.Text=12:34"}));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_error")->kind == JsonKind::kNull; }));
  EXPECT_TRUE(Status().Find("status")->Find("connected")->bool_value);
}

TEST_F(VmixControllerTest, FailedSnapshotIsResentWithoutANewOne) {
  StandInBehaviour failure;
  failure.status = 503;
  failure.reason = "";
  stand_in_.PushBehaviour(failure);
  controller_->ApplyConfig(Config());
  controller_->StartSender();
  // The back-off re-sends the pending snapshot in full after the failure.
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(2, kPatience));
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Home.Text=3", "K/Clock.Text=12:34"}));
}

TEST_F(VmixControllerTest, HeldOutputWaitsForItsReleaseAndIsRestricted) {
  StartAndSendFirstSnapshot();
  controller_->SetActiveSources(std::vector<std::string>{"home_score"}, 7);
  controller_->PublishValues(State(5, "11:00", 6));
  controller_->ReleaseHold(6);  // another sport generation: still held
  controller_->PublishValues(State(6, "10:00", 7));
  controller_->ReleaseHold(7);
  controller_->PublishValues(State(9, "09:00", 8));
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(3, kPatience));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "8"; }));
  // Nothing published during the hold went out, and the clock is outside the sport's sources.
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "K/Home.Text=9"}));
}

TEST_F(VmixControllerTest, ClearBlanksEveryMappedFieldEvenOutsideTheActiveSources) {
  StartAndSendFirstSnapshot();
  controller_->SetActiveSources(std::vector<std::string>{"home_score"}, 1);
  controller_->RequestClear();
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(4, kPatience));
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "");
  EXPECT_EQ(stand_in_.Field("K", "Clock.Text"), "");
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->kind == JsonKind::kNull; }));
  EXPECT_EQ(Status().Find("mapping_statuses")->items[1].Find("last_value")->text, "");
}

TEST_F(VmixControllerTest, DisablingBlanksOnceAndShowsDisabled) {
  StartAndSendFirstSnapshot();
  VmixOutputConfig disabled = Config();
  disabled.enabled = false;
  controller_->ApplyConfig(disabled);
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(4, kPatience));
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "");
  EXPECT_EQ(stand_in_.Field("K", "Clock.Text"), "");
  const JsonValue status = Status();
  for (const JsonValue& mapping : status.Find("mapping_statuses")->items) {
    EXPECT_EQ(mapping.Find("last_status")->text, "disabled");
  }
  // A disabled output neither clears again nor sends.
  controller_->RequestClear();
  controller_->PublishValues(State(8, "01:00", 9));
  controller_->StopSender();
  EXPECT_EQ(stand_in_.SetTextCalls().size(), 4u);
}

TEST_F(VmixControllerTest, StopBlanksTheFieldsWrittenDuringTheRun) {
  StartAndSendFirstSnapshot();
  controller_->StopSender();
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "");
  EXPECT_EQ(stand_in_.Field("K", "Clock.Text"), "");
  // The snapshot that was pending is not sent again after the blanking.
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "K/Home.Text=", "K/Clock.Text="}));
}

TEST_F(VmixControllerTest, StopGivesUpOnASilentHostAndLeavesTheFieldsAsTheyAre) {
  StartAndSendFirstSnapshot();
  StandInBehaviour silent;
  silent.mode = test::StandInMode::kNeverAnswer;
  stand_in_.SetDefaultBehaviour(silent);
  controller_->StopSender();
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "3");
  EXPECT_EQ(stand_in_.Field("K", "Clock.Text"), "12:34");
  // The cut-off clear reached vMix but was never answered.
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()).back(), "K/Home.Text=");
}

TEST_F(VmixControllerTest, QuitWaitsForABlankingThatIsBeingSent) {
  MakeController(kLongStopWait);
  StartAndSendFirstSnapshot();
  StandInBehaviour slow;
  slow.delay_ms = 300;
  stand_in_.PushBehaviour(slow);
  stand_in_.PushBehaviour(slow);
  ASSERT_TRUE(QuitReturns());
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "");
  EXPECT_EQ(stand_in_.Field("K", "Clock.Text"), "");
  EXPECT_EQ(stand_in_.AnsweredSetTextCount(), 4u);
}

TEST_F(VmixControllerTest, QuitAfterAFailedBlankingReturnsWithoutTryingAgain) {
  MakeController(kLongStopWait);
  StartAndSendFirstSnapshot();
  StandInBehaviour failure;
  failure.status = 500;
  failure.reason = "Internal Server Error";
  stand_in_.SetDefaultBehaviour(failure);
  ASSERT_TRUE(QuitReturns());
  // One attempt, cut short by its failure; the later stops try nothing more.
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "K/Home.Text="}));
  EXPECT_EQ(stand_in_.Field("K", "Home.Text"), "3");
}

TEST_F(VmixControllerTest, QuitWithAClearThatCannotBeSentReturnsWithoutARequest) {
  struct Case {
    const char* name;
    bool empty_host;
    bool start_sender;
  };
  for (const Case& c : {Case{"no host", true, true}, Case{"no sender", false, false}}) {
    SCOPED_TRACE(c.name);
    MakeController(kLongStopWait);
    VmixOutputConfig config = Config();
    if (c.empty_host) config.host.clear();
    controller_->ApplyConfig(config);
    if (c.start_sender) controller_->StartSender();
    controller_->RequestClear();  // as when a source is selected
    EXPECT_TRUE(QuitReturns());
    EXPECT_EQ(stand_in_.RequestCount(), 0u);
  }
}

TEST_F(VmixControllerTest, ConfigurationChangesResendOnlyWhatTheyConcern) {
  VmixOutputConfig config = Config();
  VmixOutput second;
  second.id = "second";
  second.input_number = "2";
  second.mappings = {{"period", "Period.Text"}};
  config.outputs.push_back(second);
  controller_->ApplyConfig(config);
  controller_->StartSender();
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(3, kPatience));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "5"; }));

  config.computer_name = "Studio";
  controller_->ApplyConfig(config);  // nothing to send
  config.outputs[1].mappings.push_back({"home_score", "Score.Text"});
  controller_->ApplyConfig(config);  // only the second output goes out again
  ASSERT_TRUE(stand_in_.WaitForAnsweredSetTexts(5, kPatience));
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "2/Period.Text=2", "2/Period.Text=2",
                                      "2/Score.Text=3"}));
  // The first output's statuses survive the rebuild.
  EXPECT_EQ(Status().Find("mapping_statuses")->items[0].Find("last_value")->text, "3");
}

TEST_F(VmixControllerTest, EmptyHostIsReportedWithoutARequest) {
  VmixOutputConfig config = Config();
  config.host.clear();
  controller_->ApplyConfig(config);
  controller_->StartSender();
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_error")->kind == JsonKind::kString; }));
  EXPECT_EQ(Status().Find("status")->Find("last_error")->text, "vMix host is required");
  EXPECT_EQ(stand_in_.RequestCount(), 0u);
}

std::size_t CountCalls(const std::vector<SetTextCall>& calls, const std::string& text) {
  const std::vector<std::string> texts = Texts(calls);
  return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
}

struct OutOfUseCase {
  const char* name;
  void (*change)(VmixOutput&);
  const char* blanked;  // the call that takes the old field off the air
};

class VmixFieldOutOfUseTest : public VmixControllerTest, public ::testing::WithParamInterface<OutOfUseCase> {};

TEST_P(VmixFieldOutOfUseTest, AFieldTakenOutOfUseIsBlankedOnce) {
  StartAndSendFirstSnapshot();
  VmixOutputConfig changed = Config();
  GetParam().change(changed.outputs[0]);
  controller_->ApplyConfig(changed);
  const std::string blanked = GetParam().blanked;
  ASSERT_TRUE(WaitUntil([&] { return CountCalls(stand_in_.SetTextCalls(), blanked) > 0; }));
  // Two more saves and a new value: none of them blanks the old field again.
  changed.computer_name = "Studio";
  controller_->ApplyConfig(changed);
  changed.outputs[0].mappings.push_back({"period", "Period.Text"});
  controller_->ApplyConfig(changed);
  controller_->PublishValues(State(9, "12:34", 6));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "6"; }));
  EXPECT_EQ(CountCalls(stand_in_.SetTextCalls(), blanked), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Saves, VmixFieldOutOfUseTest,
    ::testing::Values(OutOfUseCase{"MappingRemoved", [](VmixOutput& o) { o.mappings.pop_back(); }, "K/Clock.Text="},
                      OutOfUseCase{"FieldRenamed", [](VmixOutput& o) { o.mappings[1].field = "Clokc.Text"; },
                                   "K/Clock.Text="},
                      OutOfUseCase{"InputChanged", [](VmixOutput& o) { o.input_key = "L"; }, "K/Home.Text="},
                      OutOfUseCase{"OutputRemovedByDisabling", [](VmixOutput& o) { o.enabled = false; },
                                   "K/Clock.Text="}),
    [](const ::testing::TestParamInfo<OutOfUseCase>& info) { return std::string(info.param.name); });

TEST_F(VmixControllerTest, TheFirstSaveSendsKnownValuesWithoutABlankFirst) {
  // As on a first run: no host yet when a source is chosen, whose clear cannot be sent.
  VmixOutputConfig unset = Config();
  unset.host.clear();
  controller_->ApplyConfig(unset);
  controller_->StartSender();
  controller_->RequestClear();
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_error")->kind == JsonKind::kString; }));
  controller_->PublishValues(State(7, "10:06", 9));
  controller_->ApplyConfig(Config());  // the first Save
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "9"; }));
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()), (std::vector<std::string>{"K/Home.Text=7", "K/Clock.Text=10:06"}));
}

TEST_F(VmixControllerTest, AFieldMappedTwiceIsWrittenOnce) {
  // A file stored before such mappings were refused.
  VmixOutputConfig config = Config();
  VmixOutput again;
  again.id = "again";
  again.input_key = "K";
  again.mappings = {{"home_score", "Home.Text"}, {"period", "Period.Text"}};
  config.outputs.push_back(again);
  controller_->ApplyConfig(config);
  controller_->StartSender();
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "5"; }));
  controller_->PublishValues(State(4, "12:34", 6));
  ASSERT_TRUE(WaitUntil([this] { return Status().Find("status")->Find("last_sequence_sent")->text == "6"; }));
  controller_->StopSender();
  EXPECT_EQ(Texts(stand_in_.SetTextCalls()),
            (std::vector<std::string>{"K/Home.Text=3", "K/Clock.Text=12:34", "K/Period.Text=2", "K/Home.Text=4",
                                      "K/Home.Text=", "K/Clock.Text=", "K/Period.Text="}));
}

TEST(AddDerivedVmixSources, AddsTheDisplayValuesOfPeriodAndDown) {
  std::vector<std::string> sources{"home_score", "period"};
  AddDerivedVmixSources(sources);
  EXPECT_EQ(sources, (std::vector<std::string>{"home_score", "period", "period_display"}));
  sources = {"down", "down_distance"};
  AddDerivedVmixSources(sources);
  EXPECT_EQ(sources, (std::vector<std::string>{"down", "down_distance", "down_display"}));
}

TEST(UtcTimestampMicros, AlwaysWritesSixFractionDigits) {
  const std::string stamp = UtcTimestampMicros();
  ASSERT_EQ(stamp.size(), 27u);
  EXPECT_EQ(stamp[4], '-');
  EXPECT_EQ(stamp[10], 'T');
  EXPECT_EQ(stamp[19], '.');
  EXPECT_EQ(stamp.back(), 'Z');
}

}  // namespace
}  // namespace tessvark
