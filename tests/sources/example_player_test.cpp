#include "sources/example_player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "media_fixture.h"
#include "sources/ffmpeg_video_decoder.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ClipSpec;
using testing::kPatience;
using testing::MakeIndexedClip;
using testing::ReadPictureIndex;
using testing::TempFolder;

struct Seen {
  std::int32_t kind = 0;
  double at = 0.0;          // seconds after Start was called
  int index = -1;           // picture index read from the picture
  double pts = 0.0;
  std::int32_t frame_count = 0;
  double fps = 0.0;
  double duration = 0.0;
  std::string codec_name;
  std::string message;
};

// Records every event with the time it arrived, and notes when the player lets go of the
// callback, which it does only once its playback has ended.
class Recorder {
 public:
  ExampleVideoCallback Callback(bool answer = true, std::int32_t refuse_kind = -1) {
    start_ = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = false;
    }
    // Shared by every copy of the callback; the last copy to go tells the recorder.
    auto release = std::shared_ptr<Recorder>(this, [](Recorder* recorder) {
      {
        std::lock_guard<std::mutex> lock(recorder->mutex_);
        recorder->released_ = true;
      }
      recorder->changed_.notify_all();
    });
    return [this, answer, refuse_kind, release](const ExampleVideoEvent& event) {
      Seen seen;
      seen.kind = event.kind;
      seen.at = std::chrono::duration<double>(Clock::now() - start_).count();
      if (event.kind == kExampleEventFrame) seen.index = ReadPictureIndex(event.image);
      seen.pts = event.pts;
      seen.frame_count = event.frame_count;
      seen.fps = event.fps;
      seen.duration = event.duration;
      seen.codec_name = event.codec_name;
      seen.message = event.message;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(seen);
      }
      changed_.notify_all();
      return event.kind == refuse_kind ? answer : true;
    };
  }
  std::vector<Seen> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t Count(std::int32_t kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountOf(events_, kind);
  }
  // Waits until `wanted` holds for the events recorded so far.
  bool WaitFor(const std::function<bool(const std::vector<Seen>&)>& wanted) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return wanted(events_); });
  }
  bool WaitFor(std::int32_t kind, size_t count) {
    return WaitFor([&](const std::vector<Seen>& events) { return CountOf(events, kind) >= count; });
  }
  // Waits until the player has let go of every copy of the callback: playback is over and no
  // event can arrive any more.
  bool WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return released_; });
  }
  bool Released() {
    std::lock_guard<std::mutex> lock(mutex_);
    return released_;
  }

 private:
  static size_t CountOf(const std::vector<Seen>& events, std::int32_t kind) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [kind](const Seen& seen) { return seen.kind == kind; }));
  }

  Clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> events_;
  bool released_ = false;
};

class ExamplePlayerTest : public ::testing::Test {
 protected:
  std::string MakeClip(const std::string& name, ClipSpec spec) {
    const std::string path = folder_.Join(name);
    EXPECT_TRUE(MakeIndexedClip(path, spec));
    return path;
  }
  static ClipSpec HalfSecondAt30() {
    ClipSpec spec;
    spec.frames = 15;
    spec.fps = 30;
    return spec;
  }

  TempFolder folder_;
};

// Checks the wall-clock pacing and the loop of a recording with bounds that hold however slowly
// the machine runs. The player counts time from the start of its thread, which lies between the
// recorder's start and the first info event, and picks each picture after the event before it
// arrived and before the picture itself arrives. So each picture shows the loop position `raw`
// (modulo its opening's frame count) for some raw in the window [(arrival of the event before -
// arrival of the first info) * fps, arrival * fps], and raw only grows from picture to picture. A
// picture shown early, late beyond its window, or again breaks this. Within one opening pictures
// only move forward.
void ExpectPacedLoops(const std::vector<Seen>& events, double fps) {
  ASSERT_FALSE(events.empty());
  ASSERT_EQ(events[0].kind, kExampleEventInfo);
  // Only absorbs rounding where a window edge falls on a picture boundary.
  constexpr double kRounding = 1e-6;
  const double first_info = events[0].at;
  std::int64_t frame_count = 0;
  std::int64_t raw = -1;   // the earliest loop position the last picture fits
  int last_index = -1;
  double previous_at = first_info;
  for (const Seen& seen : events) {
    EXPECT_NE(seen.kind, kExampleEventError) << seen.message;
    if (seen.kind == kExampleEventInfo) {
      frame_count = seen.frame_count;
      last_index = -1;
      previous_at = seen.at;
      continue;
    }
    ASSERT_GE(seen.index, 0);
    ASSERT_GT(frame_count, 0);
    EXPECT_EQ(seen.index, static_cast<int>(std::lround(seen.pts * fps))) << "pts matches the picture";
    EXPECT_GT(seen.index, last_index) << "no picture is delivered twice or backwards";
    const auto earliest = std::max(raw + 1, static_cast<std::int64_t>(std::floor((previous_at - first_info) * fps - kRounding)));
    const auto latest = static_cast<std::int64_t>(std::floor(seen.at * fps + kRounding));
    raw = earliest + ((seen.index - earliest) % frame_count + frame_count) % frame_count;
    EXPECT_LE(raw, latest) << "picture " << seen.index << " arrived at " << seen.at << " s, the event before it at "
                           << previous_at << " s";
    last_index = seen.index;
    previous_at = seen.at;
  }
}

TEST_F(ExamplePlayerTest, PacesPicturesByTheWallClockAndLoops) {
  const std::string path = MakeClip("clip.mp4", HalfSecondAt30());
  ExamplePlayer player;
  Recorder recorder;
  player.Start(path, recorder.Callback());
  // Past the first wrap: a second opening and 20 pictures, about 0.7 s of the clip.
  ASSERT_TRUE(recorder.WaitFor(kExampleEventInfo, 2));
  ASSERT_TRUE(recorder.WaitFor(kExampleEventFrame, 20));
  player.Stop();
  const std::vector<Seen> events = recorder.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].fps, 30.0);
  EXPECT_EQ(events[0].frame_count, 15);
  EXPECT_NEAR(events[0].duration, 0.5, 0.05);
  EXPECT_EQ(events[0].codec_name, "H.264");
  EXPECT_GE(recorder.Count(kExampleEventInfo), 2u) << "the clip was opened again at the wrap";
  EXPECT_GE(recorder.Count(kExampleEventFrame), 20u);
  ExpectPacedLoops(events, 30.0);
  EXPECT_TRUE(recorder.Released()) << "Stop returns only after the player let go of the callback";
}

// A container without a frame count whose audio runs longer than its video promises pictures
// that do not exist; the end of the video is the wrap point and playback goes on.
TEST_F(ExamplePlayerTest, EndOfVideoIsTheWrapPointWhenTheContainerPromisesMore) {
  ClipSpec spec = HalfSecondAt30();
  spec.container = "mkv";
  spec.audio_seconds = 1.5;
  const std::string path = MakeClip("long-audio.mkv", spec);
  ExamplePlayer player;
  Recorder recorder;
  player.Start(path, recorder.Callback());
  // Two openings that wrap at the real end, and pictures of the second of them.
  const auto reopened_twice = [](const std::vector<Seen>& events) {
    int real_openings = 0;
    for (const Seen& seen : events) {
      if (seen.kind == kExampleEventInfo && seen.frame_count == 15) ++real_openings;
      if (seen.kind == kExampleEventFrame && real_openings >= 2) return true;
    }
    return false;
  };
  ASSERT_TRUE(recorder.WaitFor(reopened_twice));
  player.Stop();
  const std::vector<Seen> events = recorder.Events();
  const std::int32_t promised = events[0].frame_count;
  EXPECT_GT(promised, 15) << "the container promises more pictures than the video has";
  std::vector<const Seen*> openings;
  for (const Seen& seen : events) {
    if (seen.kind == kExampleEventInfo) openings.push_back(&seen);
  }
  ASSERT_GE(openings.size(), 3u);
  for (std::size_t i = 1; i < openings.size(); ++i) {
    if (openings[i - 1]->frame_count == 15) {
      EXPECT_EQ(openings[i]->frame_count, 15) << "once met, the end of the video stays the wrap point";
    } else {
      EXPECT_TRUE(openings[i]->frame_count == 15 || openings[i]->frame_count == promised);
    }
  }
  // The first opening plays to the end of the video and meets it, unless the machine stalled
  // until the promised length had passed and the loop wrapped first.
  if (openings[1]->at * 30.0 < promised) {
    EXPECT_EQ(openings[1]->frame_count, 15) << "later openings report the pictures the clip really holds";
  }
  ExpectPacedLoops(events, 30.0);
}

// A decoder for the paths a real file cannot produce on demand: a slow opening, missing clip
// properties, failing reads, or numbered pictures (1 per read) at 30 pictures a second.
struct FakeClip {
  int open_ms = 0;
  double fps = 30.0;
  std::int32_t frame_count = 90;
  bool pictures = true;       // false: every read fails with read_error
  std::string read_error;
  std::atomic<int>* reads = nullptr;
};

class FakeDecoder final : public VideoDecoder {
 public:
  explicit FakeDecoder(FakeClip clip) : clip_(std::move(clip)) {}
  bool Open(const std::string&, std::string& error) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(clip_.open_ms));
    open_ = true;
    error.clear();
    return true;
  }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  std::int32_t Width() const override { return 64; }
  std::int32_t Height() const override { return 16; }
  double FramesPerSecond() const override { return clip_.fps; }
  std::int32_t FrameCount() const override { return clip_.frame_count; }
  double DurationSeconds() const override { return 3.0; }
  std::string CodecName() const override { return "H.264"; }
  bool ReservedQueryA() const override { return false; }
  bool ReservedQueryB() const override { return true; }
  bool ReadFrame(cv::Mat& image, double& pts, std::string& error) override {
    error = clip_.pictures ? "" : clip_.read_error;
    if (!clip_.pictures || next_ >= clip_.frame_count) return false;
    if (clip_.reads != nullptr) ++*clip_.reads;
    image = testing::MakeIndexedPicture(next_, 64, 16, cv::Scalar(0, 0, 0));
    pts = next_ / clip_.fps;
    ++next_;
    return true;
  }

 private:
  FakeClip clip_;
  bool open_ = false;
  int next_ = 0;
};

VideoDecoderFactory FakeDecoders(const FakeClip& clip) {
  return [clip] { return std::make_unique<FakeDecoder>(clip); };
}

// The number of a fake clip's picture, read from its time stamp: unlike the cells in the picture it
// does not repeat after 256.
long PictureNumber(const Seen& seen) { return std::lround(seen.pts * 30.0); }

// A fake clip that never reaches its end while a test runs, however slowly: pictures are told
// apart by their numbers alone.
constexpr std::int32_t kEndlessFrameCount = 1 << 30;

// The clock starts with the playback thread, so time spent opening is time already played:
// after a 0.3 s opening at 30 pictures a second the first picture shown is picture 9 or later,
// and never one whose time has not come.
TEST_F(ExamplePlayerTest, TimeSpentOpeningCountsAsPlayed) {
  std::atomic<int> reads{0};
  FakeClip clip;
  clip.open_ms = 300;
  clip.frame_count = kEndlessFrameCount;
  clip.reads = &reads;
  ExamplePlayer player(FakeDecoders(clip));
  Recorder recorder;
  player.Start("numbered", recorder.Callback());
  ASSERT_TRUE(recorder.WaitFor(kExampleEventFrame, 1));
  player.Stop();
  const std::vector<Seen> events = recorder.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].kind, kExampleEventInfo);
  const long shown = PictureNumber(events[1]);
  EXPECT_GE(shown, 9) << "pictures 0 to 8 were due while the clip opened";
  EXPECT_LE(shown, static_cast<long>(std::floor(events[1].at * 30.0))) << "picture " << shown << " arrived at "
                                                                        << events[1].at << " s";
  EXPECT_GE(reads.load(), shown + 1) << "the pictures before it were decoded and dropped";
}

// A callback slower than one picture time: the pictures due meanwhile are decoded and dropped,
// never delivered late. The callback takes at least 100 ms, three picture times, so at least two
// pictures are skipped after each one shown, however slowly the machine runs.
TEST_F(ExamplePlayerTest, PicturesThatFallBehindAreDropped) {
  std::atomic<int> reads{0};
  FakeClip clip;
  clip.frame_count = kEndlessFrameCount;
  clip.reads = &reads;
  ExamplePlayer player(FakeDecoders(clip));
  Recorder recorder;
  ExampleVideoCallback record = recorder.Callback();
  player.Start("numbered", [&record](const ExampleVideoEvent& event) {
    record(event);
    if (event.kind == kExampleEventFrame) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
  });
  ASSERT_TRUE(recorder.WaitFor(kExampleEventFrame, 6));
  player.Stop();
  long previous = -1;
  int delivered = 0;
  for (const Seen& seen : recorder.Events()) {
    if (seen.kind != kExampleEventFrame) continue;
    if (previous >= 0) {
      EXPECT_GE(PictureNumber(seen) - previous, 3) << "picture " << PictureNumber(seen);
    }
    previous = PictureNumber(seen);
    ++delivered;
  }
  EXPECT_GT(reads.load(), delivered);
}

TEST_F(ExamplePlayerTest, FailuresEndPlaybackWithOneErrorEvent) {
  const struct {
    const char* name;
    double fps;
    std::int32_t frame_count;
    const char* read_error;
    size_t info_events;
    const char* message;
  } cases[] = {
      {"no frame rate", 0.0, 10, "", 0, "Could not decode Example video"},
      {"no frame count", 30.0, 0, "", 0, "Could not decode Example video"},
      {"three failed reads", 30.0, 10, "broken picture", 3, "broken picture"},
      {"a clip that ends before its first picture", 30.0, 10, "", 3, "Could not decode Example video"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClip clip;
    clip.fps = c.fps;
    clip.frame_count = c.frame_count;
    clip.pictures = false;
    clip.read_error = c.read_error;
    ExamplePlayer player(FakeDecoders(clip));
    Recorder recorder;
    player.Start("scripted", recorder.Callback());
    ASSERT_TRUE(recorder.WaitFor(kExampleEventError, 1));
    ASSERT_TRUE(recorder.WaitForRelease()) << "playback ends by itself after the error";
    player.Stop();
    EXPECT_EQ(recorder.Count(kExampleEventError), 1u) << "no retry after the error";
    EXPECT_EQ(recorder.Count(kExampleEventInfo), c.info_events) << "one opening per attempt";
    EXPECT_EQ(recorder.Count(kExampleEventFrame), 0u);
    EXPECT_EQ(recorder.Events().back().message, c.message);
  }
}

TEST_F(ExamplePlayerTest, AClipThatCannotBeOpenedGivesOneErrorAndNoRetry) {
  ExamplePlayer player;
  Recorder recorder;
  player.Start(folder_.Join("missing.mp4"), recorder.Callback());
  ASSERT_TRUE(recorder.WaitFor(kExampleEventError, 1));
  ASSERT_TRUE(recorder.WaitForRelease()) << "playback ends by itself after the error";
  const std::vector<Seen> events = recorder.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "Could not decode Example video");
}

TEST_F(ExamplePlayerTest, AFalseAnswerEndsPlayback) {
  const std::string path = MakeClip("clip.mp4", HalfSecondAt30());
  for (const std::int32_t refused : {kExampleEventInfo, kExampleEventFrame}) {
    SCOPED_TRACE(refused);
    ExamplePlayer player;
    Recorder recorder;
    player.Start(path, recorder.Callback(false, refused));
    ASSERT_TRUE(recorder.WaitFor(refused, 1));
    ASSERT_TRUE(recorder.WaitForRelease()) << "the refusal ends playback by itself";
    const std::vector<Seen> events = recorder.Events();
    EXPECT_EQ(events.size(), refused == kExampleEventInfo ? 1u : 2u);
    EXPECT_EQ(events.back().kind, refused);
    EXPECT_EQ(recorder.Count(kExampleEventError), 0u) << "a refusal is no error";
  }
}

// The next picture of this clip is due two minutes after the first, more than a test ever waits:
// a Stop that sat out the wait would miss the deadline.
TEST_F(ExamplePlayerTest, StopDuringTheWaitForTheNextPictureReturnsAtOnce) {
  FakeClip clip;
  clip.fps = 1.0 / 120.0;
  clip.frame_count = 3;
  ExamplePlayer player(FakeDecoders(clip));
  Recorder recorder;
  player.Start("slow", recorder.Callback());
  ASSERT_TRUE(recorder.WaitFor(kExampleEventFrame, 1));
  std::future<void> stopping = std::async(std::launch::async, [&player] { player.Stop(); });
  EXPECT_EQ(stopping.wait_for(kPatience), std::future_status::ready) << "Stop waited for the next picture";
  stopping.get();
  EXPECT_EQ(recorder.Count(kExampleEventFrame), 1u);
  player.Stop();  // a second Stop is harmless
}

TEST_F(ExamplePlayerTest, StartWhilePlayingReplacesTheEarlierPlayback) {
  const std::string path = MakeClip("clip.mp4", HalfSecondAt30());
  ExamplePlayer player;
  Recorder first;
  Recorder second;
  player.Start(path, first.Callback());
  ASSERT_TRUE(first.WaitFor(kExampleEventFrame, 2));
  player.Start(path, second.Callback());
  const size_t first_total = first.Events().size();
  ASSERT_TRUE(second.WaitFor(kExampleEventFrame, 2));
  player.Stop();
  EXPECT_EQ(first.Events().size(), first_total) << "the earlier playback was joined";
  EXPECT_EQ(second.Events().front().kind, kExampleEventInfo);
}

}  // namespace
}  // namespace tessvark
