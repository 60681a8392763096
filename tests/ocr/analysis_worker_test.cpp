#include "ocr/analysis_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using testing::kPatience;

// Frames carry their number in their pixels, so the stub reader can tell which one it read.
std::shared_ptr<WorkingFrame> Frame(int32_t number, const std::string& generation = "1") {
  auto frame = std::make_shared<WorkingFrame>();
  frame->image = cv::Mat(60, 100, CV_8UC3, cv::Scalar(number % 256, 0, 0));
  frame->frame_number = number;
  frame->profile_key = "srt\ncamera";
  frame->source = SourceContext{"srt", "camera", generation};
  return frame;
}

AnalysisZone Zone(const std::string& id, const std::string& role) {
  AnalysisZone zone;
  zone.id = id;
  zone.role = role;
  zone.x = 0.1;
  zone.y = 0.1;
  zone.width = 0.5;
  zone.height = 0.5;
  return zone;
}

std::shared_ptr<const AnalysisSetup> ZoneSetup(std::vector<AnalysisZone> zones, uint64_t generation,
                                           RoleFilter filter = std::nullopt) {
  auto setup = std::make_shared<AnalysisSetup>();
  setup->generation = generation;
  setup->zones = std::move(zones);
  setup->role_filter = std::move(filter);
  return setup;
}

// Everything the hooks and the reader saw, with a way to wait for a condition on it.
class Probe {
 public:
  template <typename Predicate>
  bool WaitUntil(Predicate predicate) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return predicate(); });
  }
  void Update(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }
  // The ticks done so far, read under the lock while the worker may still tick.
  int TicksDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tick_done;
  }

  // Read these only inside WaitUntil or Update, or after the worker stopped.
  int tick_done = 0;
  std::vector<uint64_t> published;
  int tick_done_at_publish = 0;  // tick_done when the last values-published hook ran
  std::vector<int> frames_read;  // frame numbers, one per reader call
  std::vector<std::string> events;  // "read" per reader call, "published" per values-published hook
  std::vector<int> event_ticks;     // tick_done when each event happened: equal within one tick
  bool reading = false;
  bool release = true;  // false: the reader blocks until a test sets it

  std::mutex mutex_;
  std::condition_variable changed_;
};

class AnalysisWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeWorker(0.01); }
  void TearDown() override {
    probe_.Update([&] { probe_.release = true; });
    worker_->Stop();
  }

  void MakeWorker(double wait_interval, TimestampClock timestamp = {}) {
    if (worker_) worker_->Stop();
    worker_ = std::make_unique<AnalysisWorker>(
        0.0, 0.0, wait_interval, std::move(timestamp), [this](const cv::Mat& picture, const AnalysisZone& zone) {
          return Read(picture, zone);
        });
    worker_->SetTickDoneHook([this] { probe_.Update([&] { ++probe_.tick_done; }); });
    worker_->SetValuesPublishedHook(
        [this](uint64_t generation) { probe_.Update([&] { Published(generation); }); });
  }

  void Published(uint64_t generation) {
    probe_.published.push_back(generation);
    probe_.events.push_back("published");
    probe_.event_ticks.push_back(probe_.tick_done);
    probe_.tick_done_at_publish = probe_.tick_done;
  }

  // Waits for the n-th published step and for the end of its tick.
  bool WaitPublished(size_t count) {
    return probe_.WaitUntil([&] {
      return probe_.published.size() >= count && probe_.tick_done > probe_.tick_done_at_publish;
    });
  }

  ZoneValue Read(const cv::Mat& picture, const AnalysisZone& zone) {
    const int number = picture.at<cv::Vec3b>(0, 0)[0];
    std::unique_lock<std::mutex> lock(probe_.mutex_);
    probe_.frames_read.push_back(number);
    probe_.events.push_back("read");
    probe_.event_ticks.push_back(probe_.tick_done);
    probe_.reading = true;
    probe_.changed_.notify_all();
    probe_.changed_.wait(lock, [&] { return probe_.release; });
    probe_.reading = false;
    lock.unlock();
    if (reader_delay_.count() > 0) std::this_thread::sleep_for(reader_delay_);
    if (zone.role == "clock") {
      return ZoneValue{StateValue::MakeString("1:00"), StateValue::MakeString("minutes"), StateValue::MakeDouble(60)};
    }
    return ZoneValue{StateValue::MakeInt(number), StateValue::MakeNull(), StateValue::MakeNull()};
  }

  // Starts the worker on one frame read through a home-score zone and waits for its publication.
  bool StartOnHomeFrame(int32_t number) {
    worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
    worker_->SubmitFrame(Frame(number));
    worker_->Start();
    return WaitPublished(1);
  }

  int64_t PublishedHome() {
    const StateValue state = worker_->StateStore().Snapshot();
    const StateValue* home = state.Find("home");
    return home->kind == StateKind::kInt ? home->int_value : -1;
  }

  Probe probe_;
  std::chrono::milliseconds reader_delay_{0};
  std::unique_ptr<AnalysisWorker> worker_;
};

TEST_F(AnalysisWorkerTest, OnlyTheNewestOfTwoWaitingFramesIsAnalysed) {
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  worker_->SubmitFrame(Frame(1));
  worker_->SubmitFrame(Frame(2));
  EXPECT_TRUE(worker_->IsBusy()) << "a frame is pending";
  worker_->Start();
  ASSERT_TRUE(WaitPublished(1));
  EXPECT_EQ(PublishedHome(), 2);
  worker_->Stop();
  EXPECT_EQ(probe_.frames_read, std::vector<int>{2});
  EXPECT_TRUE(worker_->HasResult());
  EXPECT_FALSE(worker_->IsBusy());
}

TEST_F(AnalysisWorkerTest, TheSameFrameSubmittedAgainIsNotReadAgain) {
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  auto frame = Frame(5);
  worker_->SubmitFrame(frame);
  // The same object again only wakes the worker.
  worker_->SubmitFrame(frame);
  worker_->Start();
  ASSERT_TRUE(WaitPublished(1));
  EXPECT_EQ(PublishedHome(), 5);
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= 5; }));
  worker_->Stop();
  EXPECT_EQ(probe_.frames_read, std::vector<int>{5}) << "idle ticks read nothing";
}

// A setup of the same generation is the same setup; a new one reads the frame again.
TEST_F(AnalysisWorkerTest, OnlyANewSetupGenerationReadsTheFrameAgain) {
  ASSERT_TRUE(StartOnHomeFrame(6));
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  const int ticks = probe_.TicksDone();
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= ticks + 3; }));
  EXPECT_EQ(probe_.frames_read, std::vector<int>{6});

  AnalysisZone moved = Zone("home", "home_score");
  moved.x = 0.2;
  worker_->UpdateSetup(ZoneSetup({moved}, 2));
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.frames_read.size() >= 2; }));
  ASSERT_TRUE(WaitPublished(2));
  worker_->Stop();
  EXPECT_EQ(PublishedHome(), 6) << "read again where the zone lies now";
}

// A zone moved or removed: the other roles keep their values in the published state, a role
// left without a zone is published as null at once, without waiting for a tick.
TEST_F(AnalysisWorkerTest, ANewSetupNeverBlanksTheRolesThatKeepAZone) {
  AnalysisZone home = Zone("home", "home_score");
  const AnalysisZone guest = Zone("guest", "guest_score");
  worker_->UpdateSetup(ZoneSetup({home, guest}, 1));
  worker_->SubmitFrame(Frame(7));
  worker_->Start();
  ASSERT_TRUE(WaitPublished(1));
  worker_->Stop();
  ASSERT_EQ(worker_->StateStore().Snapshot().Find("guest")->int_value, 7);

  home.x = 0.2;
  worker_->UpdateSetup(ZoneSetup({home, guest}, 2));
  StateValue state = worker_->StateStore().Snapshot();
  EXPECT_EQ(state.Find("home")->int_value, 7) << "kept until the moved zone is read again";
  EXPECT_EQ(state.Find("guest")->int_value, 7);

  worker_->UpdateSetup(ZoneSetup({home}, 3));
  state = worker_->StateStore().Snapshot();
  EXPECT_EQ(state.Find("home")->int_value, 7);
  EXPECT_EQ(state.Find("guest")->kind, StateKind::kNull) << "no zone, no value";
  EXPECT_EQ(probe_.frames_read.size(), 2u) << "nothing was read meanwhile";
}

// A live source feeds a new frame about every 50 ms; a step slower than that must still publish.
TEST_F(AnalysisWorkerTest, ASlowStepIsPublishedWhileFramesKeepArriving) {
  reader_delay_ = std::chrono::milliseconds(40);
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score"), Zone("clock", "clock")}, 2));
  worker_->Start();
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (int number = 1; feeding; ++number) {
      worker_->SubmitFrame(Frame(number % 200 + 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const bool published = probe_.WaitUntil([&] { return probe_.published.size() >= 3; });
  feeding = false;
  feeder.join();
  ASSERT_TRUE(published) << "no step was ever published under a steady stream of frames";
  EXPECT_GT(PublishedHome(), 0);
  EXPECT_EQ(worker_->StateStore().Snapshot().Find("clock")->text, "1:00");
}

TEST_F(AnalysisWorkerTest, AFrameSubmittedDuringAStepIsReadByTheNextTick) {
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  probe_.release = false;
  worker_->Start();
  worker_->SubmitFrame(Frame(1));
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.reading; }));
  worker_->SubmitFrame(Frame(2));
  probe_.Update([&] { probe_.release = true; });
  ASSERT_TRUE(WaitPublished(2));
  EXPECT_EQ(PublishedHome(), 2);
  worker_->Stop();
  EXPECT_EQ(probe_.frames_read, (std::vector<int>{1, 2}));
}

// What may change while a step reads, and whether the step is still published afterwards.
TEST_F(AnalysisWorkerTest, AStepIsDroppedOnlyWhenWhatItWasComputedForChanged) {
  const struct {
    const char* change;
    std::function<void(AnalysisWorker&)> apply;
    bool published;
  } cases[] = {
      {"a newer frame", [](AnalysisWorker& w) { w.SubmitFrame(Frame(2)); }, true},
      {"the same zones again", [](AnalysisWorker& w) { w.UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1)); }, true},
      {"a hook", [](AnalysisWorker& w) { w.SetAfterAnalysisHook([] {}); }, true},
      {"other zones", [](AnalysisWorker& w) { w.UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 3)); }, false},
      {"a zone generation", [](AnalysisWorker& w) { w.SetZones(ZoneSetup({Zone("home", "home_score")}, 1), 5); }, false},
      {"the geometry",
       [](AnalysisWorker& w) {
         auto moved = std::make_shared<AnalysisSetup>(*ZoneSetup({Zone("home", "home_score")}, 6));
         moved->geometry.top_left = {0.1, 0.1};
         w.UpdateSetup(moved);
       },
       false},
      {"the source", [](AnalysisWorker& w) { w.SetSourceIdentity(SourceContext{"srt", "camera", "2"}); }, false},
      {"the analysis switch", [](AnalysisWorker& w) { w.SetAnalysisEnabled(false); }, false},
      {"cleared results", [](AnalysisWorker& w) { w.ClearResults(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    MakeWorker(0.01);
    probe_.Update([&] {
      probe_.events.clear();
      probe_.event_ticks.clear();
      probe_.release = false;
    });
    worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
    worker_->SetSourceIdentity(SourceContext{"srt", "camera", "1"});
    worker_->Start();
    worker_->SubmitFrame(Frame(1));
    ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.reading; }));
    const int ticks = probe_.TicksDone();
    c.apply(*worker_);
    probe_.Update([&] { probe_.release = true; });
    ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= ticks + 3; }));
    worker_->Stop();
    ASSERT_FALSE(probe_.events.empty());
    // The step's own publication follows its read within the same tick. (A later tick may
    // publish without reading: an unchanged picture keeps the reading it gave.)
    const bool published = probe_.events.size() > 1 && probe_.events[1] == "published" &&
                           probe_.event_ticks[1] == probe_.event_ticks[0];
    EXPECT_EQ(published, c.published);
  }
}

// The after-analysis hook follows the dropped step all the same: the session relies on it to
// analyse an Example picture that arrived while the worker was busy.
TEST_F(AnalysisWorkerTest, ZonesChangedDuringAStepDropItsResult) {
  worker_->SetAfterAnalysisHook([this] {
    probe_.Update([&] {
      probe_.events.push_back("after");
      probe_.event_ticks.push_back(probe_.tick_done);
    });
  });
  worker_->SetZones(ZoneSetup({Zone("home", "home_score")}, 1), 1);
  probe_.release = false;
  worker_->Start();
  worker_->SubmitFrame(Frame(3));
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.reading; }));
  worker_->SetZones(ZoneSetup({Zone("guest", "guest_score")}, 4), 2);
  probe_.Update([&] { probe_.release = true; });
  // The next tick reads the same frame again under the new zones.
  ASSERT_TRUE(WaitPublished(1));
  worker_->Stop();
  EXPECT_EQ(probe_.published, std::vector<uint64_t>{2}) << "the step of generation 1 was not published";
  const StateValue state = worker_->StateStore().Snapshot();
  EXPECT_EQ(state.Find("home")->kind, StateKind::kNull);
  EXPECT_EQ(state.Find("guest")->int_value, 3);
  ASSERT_GE(probe_.events.size(), 2u);
  EXPECT_EQ(probe_.events[0], "read");
  EXPECT_EQ(probe_.events[1], "after") << "the dropped step's hook, before any publication";
  EXPECT_EQ(probe_.event_ticks[1], probe_.event_ticks[0]);
}

TEST_F(AnalysisWorkerTest, AFrameOfAnotherSourceIsNotAnalysedAndClearsTheResult) {
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  worker_->SetSourceIdentity(SourceContext{"srt", "camera", "1"});
  worker_->SubmitFrame(Frame(4, "1"));
  worker_->Start();
  ASSERT_TRUE(WaitPublished(1));
  EXPECT_TRUE(worker_->HasResult());

  const int ticks = probe_.TicksDone();
  worker_->SubmitFrame(Frame(5, "2"));
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= ticks + 3; }));
  EXPECT_FALSE(worker_->HasResult());

  // Without an identity, frames of any source are analysed.
  worker_->SubmitFrame(Frame(6, "9"));
  worker_->SetSourceIdentity(std::nullopt);
  ASSERT_TRUE(WaitPublished(2));
  worker_->Stop();
  EXPECT_EQ(probe_.frames_read, (std::vector<int>{4, 6}));
  EXPECT_TRUE(worker_->HasResult());
}

TEST_F(AnalysisWorkerTest, DisabledAnalysisKeepsTickingWithoutReading) {
  ASSERT_TRUE(StartOnHomeFrame(7));
  worker_->SetAnalysisEnabled(false);
  const int ticks = probe_.TicksDone();
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= ticks + 3; }));
  EXPECT_FALSE(worker_->HasResult());

  // Switched on again, the latest frame is read from scratch.
  worker_->SetAnalysisEnabled(true);
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.frames_read.size() >= 2; }));
  worker_->Stop();
  EXPECT_EQ(probe_.frames_read, (std::vector<int>{7, 7}));
}

TEST_F(AnalysisWorkerTest, WithoutFramesTicksOnlyCallTheTickDoneHook) {
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  worker_->Start();
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= 3; }));
  worker_->Stop();
  EXPECT_TRUE(probe_.frames_read.empty());
  EXPECT_TRUE(probe_.published.empty());
  EXPECT_FALSE(worker_->HasResult());
}

TEST_F(AnalysisWorkerTest, AZeroWaitIntervalTicksContinuously) {
  MakeWorker(0.0);
  worker_->Start();
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.tick_done >= 200; }));
}

TEST_F(AnalysisWorkerTest, ClearedResultsAreReadAgainFromTheLatestFrame) {
  ASSERT_TRUE(StartOnHomeFrame(8));
  worker_->ClearResults();
  EXPECT_FALSE(worker_->HasResult());
  ASSERT_TRUE(probe_.WaitUntil([&] { return probe_.frames_read.size() >= 2; }));
  ASSERT_TRUE(WaitPublished(2));
  EXPECT_TRUE(worker_->HasResult());
}

TEST_F(AnalysisWorkerTest, RecomputeStatePublishesNoReadings) {
  ASSERT_TRUE(StartOnHomeFrame(8));
  worker_->Stop();
  ASSERT_EQ(PublishedHome(), 8);
  worker_->RecomputeState();
  EXPECT_EQ(PublishedHome(), -1);
  EXPECT_FALSE(worker_->HasResult());
}

TEST_F(AnalysisWorkerTest, TheFirstTickAfterARestartRunsItsLanesOnAnUnchangedFrame) {
  ASSERT_TRUE(StartOnHomeFrame(9));
  worker_->Stop();
  worker_->Start();
  ASSERT_TRUE(WaitPublished(2));
  worker_->Stop();
  // The unchanged picture keeps the reading it gave; the reader is not asked again.
  EXPECT_EQ(probe_.frames_read, (std::vector<int>{9}));
  EXPECT_EQ(PublishedHome(), 9);
}

TEST_F(AnalysisWorkerTest, AnUnknownRoleDoesNotStopTheOtherZones) {
  worker_->UpdateSetup(ZoneSetup({Zone("bad", "Home Score"), Zone("home", "home_score")}, 5));
  worker_->SubmitFrame(Frame(11));
  worker_->Start();
  ASSERT_TRUE(probe_.WaitUntil([&] { return !probe_.published.empty() && probe_.tick_done >= 2; }));
  worker_->Stop();
  EXPECT_EQ(PublishedHome(), 11);
  EXPECT_EQ(worker_->TickErrorCount(), 0u);
}

TEST_F(AnalysisWorkerTest, ATickThatThrowsIsCountedAndTheThreadGoesOn) {
  std::atomic<int> failures{2};
  worker_ = std::make_unique<AnalysisWorker>(0.0, 0.0, 0.01, TimestampClock(),
                                             [&](const cv::Mat&, const AnalysisZone&) {
                                               if (failures.fetch_sub(1) > 0) throw std::runtime_error("bad picture");
                                               return ZoneValue{StateValue::MakeInt(4), StateValue::MakeNull(),
                                                                StateValue::MakeNull()};
                                             });
  worker_->SetTickDoneHook([this] { probe_.Update([&] { ++probe_.tick_done; }); });
  worker_->SetValuesPublishedHook(
      [this](uint64_t generation) { probe_.Update([&] { Published(generation); }); });
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  worker_->SubmitFrame(Frame(1));
  worker_->Start();
  ASSERT_TRUE(WaitPublished(1));
  worker_->Stop();
  EXPECT_EQ(worker_->TickErrorCount(), 2u);
  EXPECT_EQ(PublishedHome(), 4);
  EXPECT_FALSE(worker_->IsBusy());
}

TEST_F(AnalysisWorkerTest, HooksMayCallBackIntoTheWorker) {
  worker_->UpdateSetup(ZoneSetup({Zone("home", "home_score")}, 1));
  std::atomic<int> next{2};
  worker_->SetAfterAnalysisHook([&] {
    const int number = next.fetch_add(1);
    if (number <= 4) worker_->SubmitFrame(Frame(number));
  });
  worker_->SubmitFrame(Frame(1));
  worker_->Start();
  ASSERT_TRUE(WaitPublished(4));
  worker_->Stop();
  EXPECT_EQ(probe_.frames_read, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(PublishedHome(), 4);
}

TEST_F(AnalysisWorkerTest, WithoutATimestampFunctionTheStateCarriesTheFixedTime) {
  EXPECT_EQ(worker_->StateStore().Snapshot().Find("updated_at")->text, "2026-01-01T00:00:00Z");
  MakeWorker(0.01, [] { return std::string("1999-12-31T23:59:59Z"); });
  EXPECT_EQ(worker_->StateStore().Snapshot().Find("updated_at")->text, "1999-12-31T23:59:59Z");
}

TEST_F(AnalysisWorkerTest, TheMonotonicClockStartsAtZeroWhenSwitchedToSteady) {
  EXPECT_EQ(worker_->MonotonicSeconds(), 0.0);
  EXPECT_EQ(worker_->MonotonicSeconds(), 0.0);
  worker_->UseSteadyClock();
  const double first = worker_->MonotonicSeconds();
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 60.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(worker_->MonotonicSeconds(), first);
}

}  // namespace
}  // namespace tessvark
