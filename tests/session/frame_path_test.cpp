// The frame path on its own: which frames the preview and feeder threads keep, the receiver
// callback's filter, and the frame step's previews, with the server seen through a recorder.

#include "session/frame_path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "core/steady_clock.h"
#include "ocr/zone_geometry.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

// Remembers what the frame path told the server.
class RecordingServer final : public SessionServer {
 public:
  bool Start() override { return true; }
  void Stop() override {}
  std::int32_t Port() const override { return 0; }
  void SetRuntime(OcrRuntime*) override {}
  void SetStateStore(ScoreboardStateStore*) override {}
  void SetStateAvailable(bool available) override { available_.store(available ? 1 : 0); }
  void WakeStreams() override {}
  void SetOutputEnabled(const std::string&, bool) override {}

  // -1 until told, then 0 or 1.
  int available() const { return available_.load(); }

 private:
  std::atomic<int> available_{-1};
};

// An age that no delay of a loaded machine turns into "too old": received a minute from now.
constexpr std::int64_t kFresh = -60'000'000'000;

cv::Mat Picture() { return cv::Mat(48, 64, CV_8UC3, cv::Scalar(40, 90, 160)); }

VideoFrame Frame(const std::string& source, std::int64_t generation, std::int64_t age_ns) {
  VideoFrame frame;
  frame.image = Picture();
  frame.width = frame.image.cols;
  frame.height = frame.image.rows;
  frame.row_stride = static_cast<std::int32_t>(frame.image.step[0]);
  frame.received_at = SteadyClockNanoseconds() - age_ns;
  frame.source = source;
  frame.source_generation = generation;
  return frame;
}

class FramePathTest : public ::testing::Test {
 protected:
  FramePathTest() : worker_(0.0, 0.0, 0.2, [] { return std::string("t"); }) {}

  void Select(const std::string& type, const std::string& id, std::int32_t generation) {
    MutexLock lock(engine_.mutex);
    engine_.selection.selected = true;
    engine_.selection.type = *ParseSourceKind(type);
    engine_.selection.id = id;
    engine_.selection.generation = generation;
    engine_.PublishSelection();
  }

  SessionEngine engine_;
  AnalysisWorker worker_;
  RecordingServer server_;
  FramePath path_{engine_, worker_, server_};
};

TEST_F(FramePathTest, FramesOfTheSelectionAreKeptAndAnalysedOthersDropped) {
  Select("srt", "in", 2);
  path_.StartThreads();
  const struct {
    const char* source;
    std::int64_t generation;
  } dropped[] = {{"in", 1}, {"other", 2}};
  for (const auto& frame : dropped) {
    SCOPED_TRACE(frame.source);
    const FramePathCounters before = path_.Counters();
    path_.Slot().Publish(Frame(frame.source, frame.generation, kFresh));
    ASSERT_TRUE(WaitUntil([&] {
      const FramePathCounters now = path_.Counters();
      return now.preview_taken > before.preview_taken && now.feeder_taken > before.feeder_taken;
    }));
    EXPECT_EQ(path_.Counters().previews_stored, 0u);
    EXPECT_EQ(path_.Counters().frames_analysed, 0u);
    EXPECT_EQ(path_.GetPreview(false).body, "Waiting for source...");
  }

  path_.Slot().Publish(Frame("in", 2, kFresh));
  ASSERT_TRUE(WaitUntil([&] {
    const FramePathCounters now = path_.Counters();
    return now.previews_stored == 1 && now.frames_analysed == 1;
  }));
  EXPECT_EQ(path_.GetPreview(false).content_type, "image/jpeg");
  EXPECT_EQ(path_.GetPreview(true).content_type, "image/jpeg");
  EXPECT_EQ(server_.available(), 1) << "an analysed frame makes the state available";
  path_.RequestStop();
  path_.Slot().Close();
  path_.JoinThreads();
}

// A feeder waiting out its spacing ends as soon as the stop is asked for, not when the spacing
// has passed: with a spacing longer than the tests' patience, the join ends within it.
TEST_F(FramePathTest, AStopWakesTheFeederFromItsSpacing) {
  FramePath spaced(engine_, worker_, server_, 2 * testing::kPatience);
  Select("srt", "in", 2);
  spaced.StartThreads();
  spaced.Slot().Publish(Frame("in", 2, kFresh));
  ASSERT_TRUE(WaitUntil([&] { return spaced.Counters().frames_analysed == 1; }));
  spaced.Slot().Publish(Frame("in", 2, kFresh));  // arrives within the spacing: the feeder waits
  ASSERT_TRUE(WaitUntil([&] { return spaced.Counters().preview_taken == 2; }));

  std::atomic<bool> joined{false};
  std::thread stopper([&] {
    spaced.RequestStop();
    spaced.Slot().Close();
    spaced.JoinThreads();
    joined = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return joined.load(); })) << "the feeder slept on";
  stopper.join();
  EXPECT_EQ(spaced.Counters().frames_analysed, 1u);
}

TEST_F(FramePathTest, AFrameTooOldIsShownButNotAnalysed) {
  Select("ndi", "cam", 0);
  path_.StartThreads();
  path_.Slot().Publish(Frame("cam", 0, 2'500'000'000));
  ASSERT_TRUE(WaitUntil([&] { return path_.Counters().frames_too_old == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return path_.Counters().previews_stored == 1; }));
  EXPECT_EQ(path_.Counters().frames_analysed, 0u);
  EXPECT_EQ(path_.GetPreview(true).status, 503);
}

TEST_F(FramePathTest, ReceiverPicturesReachTheSlotOnlyForTheSelectedSource) {
  Select("ndi", "cam", 7);
  NdiFrame frame;
  frame.image = Picture();
  frame.source = "cam";
  path_.OnReceiverFrame(SourceKind::kOmt, frame);
  frame.source = "other";
  path_.OnReceiverFrame(SourceKind::kNdi, frame);
  EXPECT_EQ(path_.Slot().Sequence(), 0) << "another kind and another source are refused";
  frame.source = "cam";
  path_.OnReceiverFrame(SourceKind::kNdi, frame);
  ASSERT_EQ(path_.Slot().Sequence(), 1);
  EXPECT_EQ(path_.Slot().Latest()->source_generation, 7) << "stamped with the selection's generation";

  path_.RequestStop();
  path_.OnReceiverFrame(SourceKind::kNdi, frame);
  EXPECT_EQ(path_.Slot().Sequence(), 1) << "nothing is taken once the path stops";
}

TEST_F(FramePathTest, TheFrameStepWithoutAPictureSwitchesAnalysisOff) {
  Select("example", "example-2", 0);
  {
    MutexLock lock(engine_.mutex);
    path_.Analyze(engine_, true, true);
    EXPECT_EQ(server_.available(), 0);
    EXPECT_FALSE(WorkingPictureShown(engine_.pictures));

    engine_.pictures.source_image = Picture();
    path_.Analyze(engine_, true, true);
    EXPECT_EQ(server_.available(), 1);
    EXPECT_EQ(engine_.pictures.frame_number, 1);
    EXPECT_TRUE(WorkingPictureShown(engine_.pictures));
    EXPECT_EQ(engine_.pictures.working_image.data, engine_.pictures.source_image.data)
        << "under the identity geometry the working picture is the source picture";
  }
  EXPECT_EQ(path_.GetPreview(false).content_type, "image/jpeg");
  EXPECT_EQ(path_.GetPreview(true).content_type, "image/jpeg");

  MutexLock lock(engine_.mutex);
  path_.DropPictures(engine_);
  EXPECT_TRUE(engine_.pictures.source_jpeg.empty());
  EXPECT_TRUE(engine_.pictures.source_image.empty());
  EXPECT_FALSE(WorkingPictureShown(engine_.pictures));
}

// Under a geometry the frame step makes no working picture: the worker cuts its zones from the
// source picture, and the working preview warps the whole picture only when asked, outside the
// engine mutex, giving the whole warp's pixels.
TEST_F(FramePathTest, TheWholeWorkingPictureIsMadeOnlyForTheWorkingPreview) {
  Select("example", "example-2", 0);
  SourceGeometry geometry;
  geometry.top_left = {0.1, 0.1};
  geometry.bottom_right = {0.9, 0.8};
  cv::Mat picture(96, 128, CV_8UC3);
  cv::randu(picture, 0, 256);
  {
    MutexLock lock(engine_.mutex);
    engine_.zones.geometries["example\nexample-2"] = geometry;
    engine_.RefreshSetup();
    engine_.pictures.source_image = picture;
    path_.Analyze(engine_, true, true);
    EXPECT_TRUE(engine_.pictures.working_image.empty());
    EXPECT_EQ(engine_.setup->geometry, geometry);
  }
  const RuntimeResponse preview = path_.GetPreview(true);
  ASSERT_EQ(preview.content_type, "image/jpeg");
  MutexLock lock(engine_.mutex);
  EXPECT_EQ(cv::norm(engine_.pictures.working_image, WarpSourceFrame(picture, geometry), cv::NORM_INF), 0.0);
  EXPECT_EQ(engine_.pictures.working_jpeg, preview.body);
  EXPECT_EQ(engine_.pictures.working_jpeg_pending, 0);
}

// The published setup moves to a new generation only when what it holds changed.
TEST_F(FramePathTest, TheSetupGenerationMovesOnlyWithItsContent) {
  Select("ndi", "cam", 0);
  MutexLock lock(engine_.mutex);
  const std::shared_ptr<const AnalysisSetup> first = engine_.CurrentSetup();
  EXPECT_EQ(engine_.CurrentSetup(), first) << "the same selection keeps the published setup";
  EXPECT_EQ(engine_.RefreshSetup()->generation, first->generation) << "nothing changed";

  OcrZone zone;
  zone.id = "home";
  zone.role = "home_score";
  zone.width = 0.2;
  zone.height = 0.2;
  engine_.zones.zones["ndi\ncam"] = {zone};
  const std::shared_ptr<const AnalysisSetup> zoned = engine_.RefreshSetup();
  EXPECT_GT(zoned->generation, first->generation);
  ASSERT_EQ(zoned->zones.size(), 1u);

  // Another source with the same (no) zones and geometry: a new selection, the same content.
  engine_.zones.zones["ndi\ncam"].clear();
  engine_.selection.id = "other";
  const std::shared_ptr<const AnalysisSetup> other = engine_.CurrentSetup();
  EXPECT_GT(other->generation, zoned->generation) << "the zones differ from the published ones";
  engine_.selection.id = "third";
  EXPECT_EQ(engine_.CurrentSetup()->generation, other->generation);
}

}  // namespace
}  // namespace tessvark
