#include "ocr/analysis_core.h"

#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "rendered_zone.h"

namespace tessvark {
namespace {

// A reader that answers from a table keyed by zone id and remembers which zones it read.
struct StubReader {
  std::map<std::string, ZoneValue> answers;
  std::vector<std::string> calls;

  ZoneValueReader Function() {
    return [this](const cv::Mat&, const AnalysisZone& zone) {
      calls.push_back(zone.id);
      auto found = answers.find(zone.id);
      return found != answers.end() ? found->second
                                    : ZoneValue{StateValue::MakeNull(), StateValue::MakeNull(), StateValue::MakeNull()};
    };
  }
};

ZoneValue Int(int64_t value) {
  return ZoneValue{StateValue::MakeInt(value), StateValue::MakeNull(), StateValue::MakeNull()};
}

ZoneValue Clock(const std::string& text, double seconds) {
  return ZoneValue{StateValue::MakeString(std::string(text)), StateValue::MakeString("minutes"),
                   StateValue::MakeDouble(seconds)};
}

AnalysisZone Zone(const std::string& id, const std::string& role, double x = 0.1, double y = 0.1) {
  AnalysisZone zone;
  zone.id = id;
  zone.role = role;
  zone.x = x;
  zone.y = y;
  zone.width = 0.2;
  zone.height = 0.2;
  return zone;
}

// Each frame number has a dark picture of its own: the core reuses a zone's reading while its
// picture stays the same, so frames meant to be read anew must differ.
std::shared_ptr<WorkingFrame> Frame(int32_t number, const std::string& generation = "1") {
  auto frame = std::make_shared<WorkingFrame>();
  frame->image = cv::Mat(120, 200, CV_8UC3, cv::Scalar(number % 64, 0, 0));
  frame->frame_number = number;
  frame->profile_key = "srt\ncamera";
  frame->source = SourceContext{"srt", "camera", generation};
  return frame;
}

// A setup with the identity geometry: the frames are read as they are.
AnalysisSetup ZoneSetup(std::vector<AnalysisZone> zones, uint64_t generation, RoleFilter filter = std::nullopt) {
  AnalysisSetup setup;
  setup.generation = generation;
  setup.zones = std::move(zones);
  setup.role_filter = std::move(filter);
  return setup;
}

class AnalysisCoreTest : public ::testing::Test {
 protected:
  AnalysisCore& Core(double clock_interval = 0.0, double values_interval = 0.0) {
    core_ = std::make_unique<AnalysisCore>(
        "agent", [] { return std::string("2026-01-01T00:00:00Z"); }, [this] { return now_; }, clock_interval,
        values_interval, reader_.Function());
    return *core_;
  }
  const StateValue& Member(const AnalysisStep& step, const char* key) { return *step.state.Find(key); }

  double now_ = 1.0;
  StubReader reader_;
  std::unique_ptr<AnalysisCore> core_;
};

TEST_F(AnalysisCoreTest, NoFrameIsStatusZeroAndReadsNothing) {
  AnalysisCore& core = Core();
  const AnalysisStep step = core.Analyze(nullptr, ZoneSetup({Zone("a", "home_score")}, 1), true);
  EXPECT_EQ(step.status, kStepNoFrame);
  EXPECT_TRUE(reader_.calls.empty());
  EXPECT_EQ(step.state.Find("sequence")->int_value, 0);
}

TEST_F(AnalysisCoreTest, ReadsAFrameOnceUnlessForcedOrItsSettingsChange) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}, {"clock", Clock("12:34", 754.0)}};
  const std::vector<AnalysisZone> zones = {Zone("home", "home_score"), Zone("clock", "clock")};
  const auto frame = Frame(1);

  AnalysisStep step = core.Analyze(frame, ZoneSetup(zones, 2), false);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_EQ(reader_.calls, (std::vector<std::string>{"clock", "home"})) << "clock lane first";
  EXPECT_EQ(Member(step, "home").int_value, 7);
  EXPECT_EQ(Member(step, "clock").text, "12:34");
  EXPECT_EQ(Member(step, "sequence").int_value, 1);

  reader_.calls.clear();
  step = core.Analyze(frame, ZoneSetup(zones, 2), false);
  EXPECT_EQ(step.status, kStepNothingToRun);
  EXPECT_TRUE(reader_.calls.empty());

  // Forced, both lanes run again; their unchanged pictures keep the readings they gave.
  step = core.Analyze(frame, ZoneSetup(zones, 2), true);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_TRUE(reader_.calls.empty());
  EXPECT_EQ(Member(step, "sequence").int_value, 1) << "same values publish no change";

  reader_.calls.clear();
  step = core.Analyze(Frame(2), ZoneSetup(zones, 2), false);
  EXPECT_EQ(step.status, kStepPublished) << "a new frame number is read";
  EXPECT_EQ(reader_.calls.size(), 2u);
}

TEST_F(AnalysisCoreTest, ARoleLeftWithoutAZoneLosesItsReading) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}, {"guest", Int(3)}};
  const auto frame = Frame(1);
  AnalysisStep step = core.Analyze(frame, ZoneSetup({Zone("home", "home_score"), Zone("guest", "guest_score")}, 1),
                                   false);
  EXPECT_EQ(Member(step, "guest").int_value, 3);

  // Same frame, a setup without the guest zone: both lanes run again and only the zoned role
  // keeps a reading (the home zone's picture is unchanged, so its reading is reused rather than
  // read again).
  reader_.calls.clear();
  step = core.Analyze(frame, ZoneSetup({Zone("home", "home_score")}, 2), false);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_TRUE(reader_.calls.empty());
  EXPECT_EQ(Member(step, "home").int_value, 7);
  EXPECT_EQ(Member(step, "guest").kind, StateKind::kNull);
  ASSERT_EQ(core.Readings().size(), 1u);
  EXPECT_EQ(core.Readings()[0].role, "home_score");
}

// A zone moved or a geometry changed under a lane that is not due: the lane's stored readings
// stay until it runs again, never blank in between.
TEST_F(AnalysisCoreTest, ANewSetupKeepsTheReadingsOfZonesStillThere) {
  AnalysisCore& core = Core(0.0, 10.0);
  reader_.answers = {{"home", Int(7)}, {"clock", Clock("1:00", 60.0)}};
  core.Analyze(Frame(1), ZoneSetup({Zone("home", "home_score"), Zone("clock", "clock")}, 1), false);

  now_ = 5.0;
  AnalysisSetup moved = ZoneSetup({Zone("home", "home_score"), Zone("clock", "clock", 0.15)}, 2);
  moved.geometry.top_left = {0.01, 0.02};
  reader_.calls.clear();
  const AnalysisStep step = core.Analyze(Frame(2), moved, false);
  EXPECT_EQ(reader_.calls, std::vector<std::string>{"clock"}) << "only the clock lane is due";
  EXPECT_EQ(Member(step, "clock").text, "1:00");
  EXPECT_EQ(Member(step, "home").int_value, 7);
}

TEST_F(AnalysisCoreTest, AFrameOfAnotherSourceGenerationStartsFromNoReadings) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}, {"guest", Int(3)}};
  core.Analyze(Frame(1, "4"), ZoneSetup({Zone("home", "home_score"), Zone("guest", "guest_score")}, 4), false);
  reader_.answers.erase("guest");
  const AnalysisStep step =
      core.Analyze(Frame(2, "5"), ZoneSetup({Zone("home", "home_score")}, 5), false);
  EXPECT_EQ(Member(step, "guest").kind, StateKind::kNull);
  ASSERT_EQ(core.Readings().size(), 1u);
  EXPECT_EQ(core.Readings()[0].context.source.generation, "5");
}

TEST_F(AnalysisCoreTest, DisabledRolesAreNeitherCutNorRead) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}, {"guest", Int(3)}};
  const AnalysisStep step = core.Analyze(Frame(1), ZoneSetup({Zone("home", "home_score"), Zone("guest", "guest_score")}, 4, std::set<std::string>{"guest_score"}), false);
  EXPECT_EQ(reader_.calls, std::vector<std::string>{"guest"});
  EXPECT_EQ(Member(step, "home").kind, StateKind::kNull);
  EXPECT_EQ(Member(step, "guest").int_value, 3);
}

TEST_F(AnalysisCoreTest, TheLaterOfTwoZonesWithOneRoleWins) {
  AnalysisCore& core = Core();
  reader_.answers = {{"first", Int(1)}, {"second", Int(2)}};
  const AnalysisStep step = core.Analyze(Frame(1), ZoneSetup({Zone("first", "home_score"), Zone("second", "home_score")}, 4), false);
  EXPECT_EQ(reader_.calls.size(), 2u);
  EXPECT_EQ(Member(step, "home").int_value, 2);
  EXPECT_EQ(core.Readings().size(), 1u);
}

TEST_F(AnalysisCoreTest, AZoneWithAnUnknownRoleIsSkippedAndTheOthersStillWork) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}, {"odd", Int(99)}};
  const AnalysisStep step = core.Analyze(Frame(1), ZoneSetup({Zone("odd", "Home_Score"), Zone("home", "home_score"), Zone("empty", "")}, 4), false);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_EQ(reader_.calls, std::vector<std::string>{"home"});
  EXPECT_EQ(Member(step, "home").int_value, 7);
}

TEST_F(AnalysisCoreTest, AZoneThatCannotBeCutReplacesItsValueWithNull) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}};
  AnalysisZone zone = Zone("home", "home_score");
  AnalysisStep step = core.Analyze(Frame(1), ZoneSetup({zone}, 4), false);
  EXPECT_EQ(Member(step, "home").int_value, 7);

  // All four corners in one spot: the cut fails, the reader is not asked, the value goes null.
  zone.perspective = true;
  zone.corners = {GeometryPoint{0.3, 0.3}, GeometryPoint{0.3, 0.3}, GeometryPoint{0.3, 0.3}, GeometryPoint{0.3, 0.3}};
  reader_.calls.clear();
  step = core.Analyze(Frame(2), ZoneSetup({zone}, 5), false);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_TRUE(reader_.calls.empty());
  EXPECT_EQ(Member(step, "home").kind, StateKind::kNull);
}

// A reading in doubt (ink that reads as no digit, solid ink, a time no clock shows) leaves the
// last value standing and says why; a blank zone, and a doubt after the zones changed, do not.
TEST_F(AnalysisCoreTest, AReadingInDoubtKeepsTheLastValueOfTheSameZones) {
  AnalysisCore& core = Core();
  const std::vector<AnalysisZone> zones = {Zone("home", "home_score"), Zone("clock", "clock")};
  auto doubt = [](const char* status) {
    return ZoneValue{StateValue::MakeNull(), StateValue::MakeString("minutes"), StateValue::MakeNull(), status};
  };
  reader_.answers = {{"home", Int(7)}, {"clock", Clock("3:07", 187.0)}};
  AnalysisStep step = core.Analyze(Frame(1), ZoneSetup(zones, 1), false);
  int32_t frame = 2;
  for (const char* status : {"unrecognized", "all_ink", "not_a_time", "withheld", "separator_unclear"}) {
    reader_.answers = {{"home", doubt(status)}, {"clock", doubt(status)}};
    step = core.Analyze(Frame(frame++), ZoneSetup(zones, 1), false);
    EXPECT_EQ(Member(step, "home").int_value, 7) << status;
    EXPECT_EQ(Member(step, "clock").text, "3:07") << status;
    EXPECT_EQ(Member(step, "clock_seconds").double_value, 187.0) << status;
    ASSERT_EQ(core.Readings().size(), 2u);
    EXPECT_EQ(core.Readings()[0].status, status);
  }
  reader_.answers = {{"home", doubt("empty")}, {"clock", doubt("unrecognized")}};
  step = core.Analyze(Frame(frame++), ZoneSetup(zones, 2), false);
  EXPECT_EQ(Member(step, "home").kind, StateKind::kNull) << "a blank zone shows nothing";
  EXPECT_EQ(Member(step, "clock").kind, StateKind::kNull) << "the zones changed";
}

TEST_F(AnalysisCoreTest, NoZonesWithAFramePublishesAllNull) {
  AnalysisCore& core = Core();
  const AnalysisStep step = core.Analyze(Frame(1), ZoneSetup({}, 5), false);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_EQ(Member(step, "home").kind, StateKind::kNull);
  EXPECT_EQ(Member(step, "penalties").items.size(), 0u);
}

TEST_F(AnalysisCoreTest, AZoneIsReadAgainOnlyWhenItsPictureOrItsSettingsChange) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}, {"guest", Int(3)}};
  std::vector<AnalysisZone> zones = {Zone("home", "home_score", 0.1, 0.1), Zone("guest", "guest_score", 0.6, 0.1)};
  const auto first = Frame(1);
  core.Analyze(first, ZoneSetup(zones, 4), false);
  EXPECT_EQ(reader_.calls, (std::vector<std::string>{"home", "guest"}));

  // A new frame whose only change is one pixel inside the home zone (x 20..60, y 12..36).
  reader_.answers = {{"home", Int(8)}, {"guest", Int(4)}};
  reader_.calls.clear();
  auto second = Frame(1);
  second->frame_number = 2;
  second->image.at<cv::Vec3b>(20, 30) = cv::Vec3b(1, 2, 3);
  AnalysisStep step = core.Analyze(second, ZoneSetup(zones, 4), false);
  EXPECT_EQ(reader_.calls, std::vector<std::string>{"home"});
  EXPECT_EQ(Member(step, "home").int_value, 8);
  EXPECT_EQ(Member(step, "guest").int_value, 3) << "the unchanged picture keeps its reading";

  // The same pictures under other settings (processing) are read again.
  zones[1].processing = ZoneProcessing{};
  zones[1].processing->invert = true;
  reader_.calls.clear();
  step = core.Analyze(second, ZoneSetup(zones, 6), false);
  EXPECT_EQ(reader_.calls, std::vector<std::string>{"guest"});
  EXPECT_EQ(Member(step, "guest").int_value, 4);
}

TEST_F(AnalysisCoreTest, AStepThatIsNotPublishedKeepsTheStoredReadings) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}};
  const std::vector<AnalysisZone> zones = {Zone("home", "home_score")};
  core.Analyze(Frame(1), ZoneSetup(zones, 4), false);

  // Read but never published, as when the worker finds its inputs changed meanwhile.
  reader_.answers["home"] = Int(8);
  const StepReadings dropped = core.ReadStep(Frame(2), ZoneSetup(zones, 4), false);
  ASSERT_EQ(dropped.readings.size(), 1u);
  EXPECT_EQ(dropped.readings[0].value.int_value, 8);
  EXPECT_EQ(core.StateStore().Snapshot().Find("home")->int_value, 7);
  ASSERT_EQ(core.Readings().size(), 1u);
  EXPECT_EQ(core.Readings()[0].value.int_value, 7);

  // The dropped step stored no lane context, so the same frame is read again.
  const AnalysisStep again = core.Analyze(Frame(2), ZoneSetup(zones, 4), false);
  EXPECT_EQ(again.status, kStepPublished);
  EXPECT_EQ(Member(again, "home").int_value, 8);

  // Now it was: a step on the same frame reads nothing.
  const StepReadings nothing = core.ReadStep(Frame(2), ZoneSetup(zones, 4), false);
  EXPECT_EQ(nothing.status, kStepNothingToRun);
  EXPECT_TRUE(nothing.run_list.empty());
}

TEST_F(AnalysisCoreTest, ALaneThatIsNotDueKeepsItsStoredReadings) {
  AnalysisCore& core = Core(0.0, 10.0);
  reader_.answers = {{"home", Int(7)}, {"clock", Clock("1:00", 60.0)}};
  const std::vector<AnalysisZone> zones = {Zone("home", "home_score"), Zone("clock", "clock")};
  core.Analyze(Frame(1), ZoneSetup(zones, 4), false);

  reader_.answers = {{"home", Int(8)}, {"clock", Clock("0:59", 59.0)}};
  reader_.calls.clear();
  now_ = 5.0;
  AnalysisStep step = core.Analyze(Frame(2), ZoneSetup(zones, 4), false);
  EXPECT_EQ(reader_.calls, std::vector<std::string>{"clock"});
  EXPECT_EQ(Member(step, "clock").text, "0:59");
  EXPECT_EQ(Member(step, "home").int_value, 7);

  now_ = 11.0;
  step = core.Analyze(Frame(3), ZoneSetup(zones, 4), false);
  EXPECT_EQ(Member(step, "home").int_value, 8);
}

TEST_F(AnalysisCoreTest, PossessionIsShownAfterTwoAgreeingPasses) {
  AnalysisCore& core = Core();
  const std::vector<AnalysisZone> zones = {Zone("h", "home_possession", 0.1, 0.1),
                                           Zone("g", "guest_possession", 0.6, 0.1)};
  auto frame = Frame(1);
  // Light the home lamp's zone (x 20..60, y 12..36), leave the guest's dark.
  cv::rectangle(frame->image, cv::Rect(20, 12, 40, 24), cv::Scalar(255, 255, 255), cv::FILLED);

  // The first published step of a new reading context resets the smoother after its own pass,
  // so a fresh context shows the lamp from its third pass on.
  AnalysisStep step = core.Analyze(frame, ZoneSetup(zones, 7), false);
  EXPECT_TRUE(reader_.calls.empty()) << "possession is not read by the digit readers";
  EXPECT_EQ(Member(step, "home_possession").kind, StateKind::kNull);
  step = core.Analyze(frame, ZoneSetup(zones, 7), true);
  EXPECT_EQ(Member(step, "home_possession").kind, StateKind::kNull);
  step = core.Analyze(frame, ZoneSetup(zones, 7), true);
  EXPECT_EQ(Member(step, "home_possession").ToJson(), "1");
  EXPECT_EQ(Member(step, "guest_possession").ToJson(), "0");

  // Within one context a single pass after a reset is not enough either.
  core.Reset();
  step = core.Analyze(frame, ZoneSetup(zones, 7), false);
  EXPECT_EQ(Member(step, "home_possession").kind, StateKind::kNull);
}

TEST_F(AnalysisCoreTest, PossessionStaysShownWhenAnotherZoneChanges) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}};
  std::vector<AnalysisZone> zones = {Zone("h", "home_possession", 0.1, 0.1),
                                     Zone("g", "guest_possession", 0.6, 0.1), Zone("home", "home_score", 0.1, 0.6)};
  auto frame = Frame(1);
  cv::rectangle(frame->image, cv::Rect(20, 12, 40, 24), cv::Scalar(255, 255, 255), cv::FILLED);
  for (int pass = 0; pass < 3; ++pass) core.Analyze(frame, ZoneSetup(zones, 1), true);
  ASSERT_EQ(core.StateStore().Snapshot().Find("home_possession")->ToJson(), "1");

  zones[2].x = 0.15;
  const AnalysisStep step = core.Analyze(frame, ZoneSetup(zones, 2), false);
  EXPECT_EQ(step.status, kStepPublished);
  EXPECT_EQ(Member(step, "home_possession").ToJson(), "1");
  EXPECT_EQ(Member(step, "guest_possession").ToJson(), "0");
}

TEST_F(AnalysisCoreTest, ZoneChangeRepublishesNoReadingsWithTheNewFilter) {
  AnalysisCore& core = Core();
  reader_.answers = {{"home", Int(7)}};
  const std::vector<AnalysisZone> zones = {Zone("home", "home_score"), Zone("pen", "home_penalty_1")};
  core.Analyze(Frame(1), ZoneSetup(zones, 4), false);
  ASSERT_FALSE(core.Readings().empty());

  core.ApplyZoneChange(ZoneSetup(zones, 5, std::set<std::string>{"home_score"}), SourceContext{"srt", "camera", "1"});
  EXPECT_TRUE(core.Readings().empty());
  const StateValue state = core.StateStore().Snapshot();
  EXPECT_EQ(state.Find("home")->kind, StateKind::kNull);
  EXPECT_EQ(state.Find("penalties")->items.size(), 0u) << "the filter leaves the penalty out";

  core.ApplyZoneChange(ZoneSetup(zones, 6), std::nullopt);
  EXPECT_EQ(core.StateStore().Snapshot().Find("penalties")->ToJson(),
            R"([{"role":"home_penalty_1","clock":null,"clock_seconds":null,"clock_mode":null}])");

  // The lane contexts went too: the same frame is read again.
  EXPECT_EQ(core.Analyze(Frame(1), ZoneSetup(zones, 4), false).status, kStepPublished);
}

TEST_F(AnalysisCoreTest, ResetDropsThePendingFrameAndTheLaneContexts) {
  AnalysisCore& core = Core();
  const auto frame = Frame(1);
  core.Analyze(frame, ZoneSetup({Zone("home", "home_score")}, 4), false);
  core.Scheduler().OfferFrame(Frame(2));
  core.Reset();
  EXPECT_FALSE(core.Scheduler().HasPendingFrame());
  EXPECT_TRUE(core.Readings().empty());
  EXPECT_EQ(core.Analyze(frame, ZoneSetup({Zone("home", "home_score")}, 4), false).status,
            kStepPublished);
}

TEST(ClockSecondsFromTextTest, ReadsMinutesAndTenthsAndRejectsTheRest) {
  struct Case {
    std::optional<std::string> text;
    std::optional<std::string> mode;
    std::optional<double> expected;
  } cases[] = {
      {"12:34", "minutes", 754.0},
      {"9:05", "minutes", 545.0},
      {"12:5", "minutes", 725.0},
      {" 1:2x", "minutes", 62.0},          // characters after the digits are ignored
      {"-1:30", "minutes", -30.0},
      {"1234", "minutes", std::nullopt},   // no colon
      {":30", "minutes", std::nullopt},    // no minute digits
      {"1:", "minutes", std::nullopt},
      {"x1:30", "minutes", std::nullopt},
      {"2147483648:00", "minutes", std::nullopt},  // beyond int32
      {"2147483647:00", "minutes", 2147483647.0 * 60.0},  // no 32-bit overflow
      {"59.3", "tenths", 59.3},
      {" 5.", "tenths", 5.0},
      {"-.5", "tenths", -0.5},
      {"1e2", "tenths", 100.0},
      {"59.3 ", "tenths", std::nullopt},   // must take up every character
      {"1e999", "tenths", std::nullopt},   // overflow
      {"inf", "tenths", std::nullopt},
      {"nan", "tenths", std::nullopt},
      {"0x10", "tenths", std::nullopt},
      {".", "tenths", std::nullopt},
      {"", "tenths", std::nullopt},
      {"12:34", "seconds", std::nullopt},
      {std::nullopt, "minutes", std::nullopt},
      {"12:34", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<double> seconds = ClockSecondsFromText(c.text, c.mode);
    ASSERT_EQ(seconds.has_value(), c.expected.has_value()) << c.text.value_or("<none>") << " " << c.mode.value_or("<none>");
    if (seconds) {
      EXPECT_DOUBLE_EQ(*seconds, *c.expected) << *c.text;
    }
  }
}

TEST(NumberValueTest, ShotClockKeepsItsTextAndNumbersAreIntegers) {
  ReaderResult shot;
  shot.ok = shot.has_value = shot.numeric = true;
  shot.number = 5;
  shot.text = "05";
  EXPECT_EQ(NumberValue("shot_clock", shot).ToJson(), "\"05\"");
  EXPECT_EQ(NumberValue("home_score", shot).ToJson(), "5");

  ReaderResult text_only;
  text_only.has_value = true;
  text_only.text = "7";
  EXPECT_EQ(NumberValue("home_score", text_only).ToJson(), "null");

  const ReaderResult none;
  EXPECT_EQ(NumberValue("shot_clock", none).ToJson(), "null");
  EXPECT_EQ(NumberValue("down", none).ToJson(), "null");
}

// A zone that shows no digit at all is blank, not misread, whatever reader reads it; one with a
// digit where another is missing keeps the reader's word for what is missing.
TEST(ReadZoneValueTest, AZoneShowingNoDigitIsEmptyAndAHalfReadOneIsNot) {
  const struct {
    const char* role;
    const char* text;
    const char* status;
  } cases[] = {
      {"home_score", "  ", "empty"},          {"home_score", "7 ", "missing_units"},
      {"shot_clock", "  ", "empty"},          {"shot_clock", " 7", "unrecognized"},
      {"home_penalty_player_1", "  ", "empty"}, {"period", " ", "empty"},
      {"down", " ", "empty"},                 {"guest_penalty_1", "  :  ", "empty"},
      {"clock", "  :  ", "empty"},            {"clock", "1 :  ", "unrecognized"},
      {"home_score", "42", "ok"},             {"clock", "12:34", "raw"},
  };
  for (const auto& c : cases) {
    AnalysisZone zone = Zone("z", c.role);
    const cv::Mat picture = RenderedFieldZone(SevenSegmentField(c.text, 40), kDarkBoard);
    EXPECT_EQ(ReadZoneValue(picture, zone).status, c.status) << c.role << " '" << c.text << "'";
  }
  EXPECT_EQ(ReadZoneValue(cv::Mat(), Zone("z", "home_score")).status, "no_frame");
}

TEST(ReadClockZoneTest, AnEmptyPictureLeavesEveryMemberNull) {
  const ZoneValue value = ReadClockZone(cv::Mat(), "clock", std::nullopt, ClockFormat::Auto);
  EXPECT_EQ(value.value.kind, StateKind::kNull);
  EXPECT_EQ(value.clock_mode.kind, StateKind::kNull);
  EXPECT_EQ(value.clock_seconds.kind, StateKind::kNull);
}

TEST(ReadClockZoneTest, AnUnreadablePictureKeepsTheClockMode) {
  // A dark picture has no lit digit: no value, but the mode is known.
  const ZoneValue value = ReadClockZone(cv::Mat(40, 100, CV_8UC3, cv::Scalar(0, 0, 0)), "clock", std::nullopt,
                                        ClockFormat::MinutesSeconds);
  EXPECT_EQ(value.value.kind, StateKind::kNull);
  EXPECT_EQ(value.clock_seconds.kind, StateKind::kNull);
  EXPECT_EQ(value.clock_mode.ToJson(), "\"minutes\"");
}

}  // namespace
}  // namespace tessvark
