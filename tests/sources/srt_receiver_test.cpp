#include "sources/srt_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media_fixture.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using testing::BackgroundProgram;
using testing::FreeLoopbackUdpPort;
using testing::kPatience;
using testing::WaitUntil;

constexpr char kPassphrase[] = "correct horse battery";
// Three bars of pure red, green and blue, 96 x 64 each.
constexpr char kBars[] =
    "color=c=red:s=96x64:r=25[r];color=c=0x00FF00:s=96x64:r=25[g];color=c=blue:s=96x64:r=25[b];"
    "[r][g][b]hstack=inputs=3";

struct CallerSpec {
  std::string graph = kBars;
  std::string codec = "libx264";
  std::string url_options;   // appended to the caller URL
};

// The real ffmpeg command as an SRT caller sending MPEG-TS to the listener on loopback.
std::vector<std::string> CallerCommand(int port, const CallerSpec& spec) {
  std::vector<std::string> command = {"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi",
                                      "-i", spec.graph, "-c:v", spec.codec};
  if (spec.codec == "libx264") {
    command.insert(command.end(), {"-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0", "-g", "10"});
  }
  command.insert(command.end(), {"-pix_fmt", "yuv420p", "-f", "mpegts",
                                 "srt://127.0.0.1:" + std::to_string(port) +
                                     "?mode=caller&transtype=live&latency=120000" + spec.url_options});
  return command;
}

// The sender: a caller that sends until the test ends it, so it outlives every check made while it
// is live. Like a real sender it can call again: a call fails when the listener is not listening
// yet or the handshake does not complete before libsrt's connect time-out, and on a busy machine
// either decides nothing.
class Caller {
 public:
  Caller(int port, const CallerSpec& spec) : command_(CallerCommand(port, spec)) { Call(); }

  // Calls again when the last call has ended.
  void CallAgainIfGone() {
    if (program_->WaitForExit(0)) Call();
  }
  bool WaitForExit(std::chrono::milliseconds timeout) { return program_->WaitForExit(static_cast<int>(timeout.count())); }
  bool started() const { return program_->started(); }
  int calls() const { return calls_; }

 private:
  void Call() {
    program_ = std::make_unique<BackgroundProgram>(command_);
    ++calls_;
  }

  std::vector<std::string> command_;
  std::unique_ptr<BackgroundProgram> program_;
  int calls_ = 0;
};

bool IsLive(const SrtStatus& status) { return status.state == "live"; }

class SrtReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeLoopbackUdpPort();
    ASSERT_GT(port_, 0);
  }

  SrtSettings Settings() const {
    SrtSettings settings;
    settings.bind_address = "127.0.0.1";
    settings.port = port_;
    return settings;
  }

  bool StartListening(const SrtSettings& settings) {
    return receiver_.Start(settings, &slot_, "srt-main", [this] { return ++generations_; });
  }

  // Polls the status until `wanted` holds and returns the very snapshot it held for: a later read
  // may already show the next state. The last snapshot read when the deadline passed first.
  // Meanwhile `caller`, when given, calls again whenever a call has failed.
  SrtStatus WaitForStatus(const std::function<bool(const SrtStatus&)>& wanted, Caller* caller = nullptr) {
    SrtStatus status;
    WaitUntil([&] {
      if (caller != nullptr) caller->CallAgainIfGone();
      status = receiver_.GetStatus();
      return wanted(status);
    });
    return status;
  }

  SrtStatus WaitForState(const std::string& state, Caller* caller = nullptr) {
    return WaitForStatus([&state](const SrtStatus& status) { return status.state == state; }, caller);
  }

  // True once the listener has begun waiting for a caller.
  bool WaitForListening() {
    return WaitForStatus([](const SrtStatus& status) { return status.listen_attempts >= 1; }).listen_attempts >= 1;
  }

  // Waits for a picture of this generation while `caller` calls until one of its calls is taken.
  std::shared_ptr<const VideoFrame> WaitForFrame(std::int64_t generation, Caller& caller) {
    std::shared_ptr<const VideoFrame> frame;
    WaitUntil([&] {
      frame = slot_.Latest();
      if (frame && frame->source_generation == generation) return true;
      caller.CallAgainIfGone();
      return false;
    });
    return frame && frame->source_generation == generation ? frame : nullptr;
  }

  // What a failed wait shows of the receiver and the caller.
  std::string Describe(const Caller& caller) const {
    const SrtStatus status = receiver_.GetStatus();
    return "state " + status.state + " (" + status.message + "), " + std::to_string(status.listen_attempts) +
           " listens, " + std::to_string(status.listen_timeouts) + " timed out, " +
           std::to_string(status.video_packets) + " packets, " + std::to_string(status.decode_errors) +
           " decode errors, " + std::to_string(status.frames_published) + " published, " +
           std::to_string(caller.calls()) + " calls";
  }

  int port_ = -1;
  LatestFrameSlot slot_;
  std::atomic<std::uint64_t> generations_{0};
  SrtReceiver receiver_;
};

void ExpectColour(const cv::Mat& image, int x, int y, cv::Vec3b expected) {
  const cv::Vec3b pixel = image.at<cv::Vec3b>(y, x);
  for (int channel = 0; channel < 3; ++channel) {
    EXPECT_NEAR(pixel[channel], expected[channel], 12) << "channel " << channel << " at " << x << "," << y;
  }
}

TEST_F(SrtReceiverTest, TestPatternArrivesAsBgrFrames) {
  ASSERT_TRUE(StartListening(Settings()));
  EXPECT_EQ(receiver_.GetStatus().state, "connecting");
  EXPECT_TRUE(receiver_.GetStatus().active);
  Caller caller(port_, CallerSpec{});
  ASSERT_TRUE(caller.started());

  const auto frame = WaitForFrame(1, caller);
  ASSERT_TRUE(frame) << Describe(caller);
  EXPECT_EQ(frame->width, 288);
  EXPECT_EQ(frame->height, 64);
  EXPECT_EQ(frame->image.cols, 288);
  EXPECT_EQ(frame->image.rows, 64);
  EXPECT_EQ(frame->image.type(), CV_8UC3);
  EXPECT_EQ(frame->row_stride, static_cast<std::int32_t>(frame->image.step[0]));
  EXPECT_EQ(frame->source, "srt-main");
  EXPECT_GT(frame->received_at, 0);
  ExpectColour(frame->image, 48, 32, cv::Vec3b(0, 0, 255));
  ExpectColour(frame->image, 144, 32, cv::Vec3b(0, 255, 0));
  ExpectColour(frame->image, 240, 32, cv::Vec3b(255, 0, 0));

  // The status turns live just after the picture is published.
  const SrtStatus status = WaitForStatus(IsLive);
  EXPECT_EQ(status.state, "live");
  EXPECT_TRUE(status.active);
  EXPECT_TRUE(status.has_frame);
  EXPECT_EQ(status.decoder, "native");
  EXPECT_EQ(status.width, 288);
  EXPECT_EQ(status.height, 64);
  EXPECT_GT(status.video_packets, 0);
  EXPECT_GE(status.frames_published, 1);
  EXPECT_EQ(generations_.load(), 1u) << "one generation per accepted caller";

  receiver_.Stop();
  EXPECT_EQ(receiver_.GetStatus().state, "stopped");
  EXPECT_FALSE(receiver_.GetStatus().active);
}

// Every picture published is stamped with the time it was decoded; two published pictures are at
// least 50 ms apart for each publication between them, whatever pace the caller manages. The
// caller offers 50 pictures a second, so a receiver that published them all breaks the spacing.
TEST_F(SrtReceiverTest, PublishesAtMostOnePictureEvery50Milliseconds) {
  ASSERT_TRUE(StartListening(Settings()));
  CallerSpec fast;
  fast.graph = "testsrc2=s=160x90:r=50";
  Caller caller(port_, fast);
  ASSERT_TRUE(WaitForFrame(1, caller)) << Describe(caller);
  std::vector<std::shared_ptr<const VideoFrame>> seen;
  {
    MutexLock lock(slot_.SlotMutex());
    std::int64_t last_seen = 0;
    while (seen.size() < 12 && slot_.WaitForNewer(kPatience.count(), last_seen)) {
      seen.push_back(slot_.HeldFrame());
      if (!seen.back()) break;
      last_seen = seen.back()->sequence;
    }
  }
  ASSERT_EQ(seen.size(), 12u) << Describe(caller);
  ASSERT_TRUE(seen.back());
  for (std::size_t i = 1; i < seen.size(); ++i) {
    // Spacing holds within one caller's stream; a caller that called again starts afresh.
    if (seen[i]->source_generation != seen[i - 1]->source_generation) continue;
    const std::int64_t publications = seen[i]->sequence - seen[i - 1]->sequence;
    EXPECT_GE(seen[i]->received_at - seen[i - 1]->received_at, publications * 50000000)
        << "pictures " << seen[i - 1]->sequence << " and " << seen[i]->sequence;
  }
  receiver_.Stop();
  const SrtStatus status = receiver_.GetStatus();
  EXPECT_EQ(status.frames_published, slot_.Sequence());
  EXPECT_GE(status.video_packets, status.frames_published);
}

TEST_F(SrtReceiverTest, ListensAgainWhenTheCallerLeavesAndOpensANewGeneration) {
  ASSERT_TRUE(StartListening(Settings()));
  {
    Caller caller(port_, CallerSpec{});
    ASSERT_TRUE(WaitForFrame(1, caller)) << Describe(caller);
    EXPECT_EQ(WaitForStatus(IsLive).state, "live");
  }  // the caller is ended here and closes its connection
  const SrtStatus waiting = WaitForState("connecting");
  ASSERT_EQ(waiting.state, "connecting") << "the listener waits for the next caller";
  EXPECT_TRUE(waiting.active);

  Caller again(port_, CallerSpec{});
  const auto frame = WaitForFrame(2, again);
  ASSERT_TRUE(frame) << "the second caller's frames carry a new generation; " << Describe(again);
  EXPECT_EQ(generations_.load(), 2u);
  EXPECT_GT(frame->sequence, 1);
}

TEST_F(SrtReceiverTest, FourKPicturesArriveScaledToFullHd) {
  ASSERT_TRUE(StartListening(Settings()));
  CallerSpec big;
  big.graph = "testsrc2=s=3840x2160:r=5";
  Caller caller(port_, big);
  const auto frame = WaitForFrame(1, caller);
  ASSERT_TRUE(frame) << Describe(caller);
  EXPECT_EQ(frame->width, 1920);
  EXPECT_EQ(frame->height, 1080);
  EXPECT_EQ(frame->image.cols, 1920);
  EXPECT_EQ(frame->image.rows, 1080);
  EXPECT_EQ(receiver_.GetStatus().width, 1920);
}

TEST_F(SrtReceiverTest, RefusesAStreamThatIsNotH264) {
  ASSERT_TRUE(StartListening(Settings()));
  CallerSpec mpeg2;
  mpeg2.codec = "mpeg2video";
  Caller caller(port_, mpeg2);
  // The refusal shows until the listener waits for the next caller, a second later.
  const SrtStatus status = WaitForState("error", &caller);
  ASSERT_EQ(status.state, "error");
  EXPECT_EQ(status.message, "expected H.264 video");
  EXPECT_FALSE(status.active);
  EXPECT_FALSE(slot_.Latest());
  EXPECT_EQ(generations_.load(), 0u) << "no generation for a refused stream";
}

// Stop breaks off the wait for a caller instead of sitting it out: the wait under way when Stop
// came ends without reaching its listen time-out, so it is the one wait not counted as timed out.
TEST_F(SrtReceiverTest, StopWhileWaitingForACallerReturnsPromptly) {
  ASSERT_TRUE(StartListening(Settings()));
  ASSERT_TRUE(WaitForListening());
  receiver_.Stop();
  const SrtStatus stopped = receiver_.GetStatus();
  EXPECT_EQ(stopped.listen_timeouts, stopped.listen_attempts - 1);
  EXPECT_EQ(stopped.state, "stopped");
  EXPECT_FALSE(stopped.active);
  receiver_.Stop();  // harmless twice
  // It listens again after a stop.
  ASSERT_TRUE(StartListening(Settings()));
  EXPECT_EQ(receiver_.GetStatus().state, "connecting");
}

TEST_F(SrtReceiverTest, RefusedSettingsLeaveAnErrorThatSurvivesStop) {
  SrtSettings settings = Settings();
  settings.passphrase = "short";
  EXPECT_FALSE(StartListening(settings));
  SrtStatus status = receiver_.GetStatus();
  EXPECT_EQ(status.state, "error");
  EXPECT_EQ(status.message, "SRT passphrase must be empty or 10 to 80 bytes");
  receiver_.Stop();
  EXPECT_EQ(receiver_.GetStatus().state, "error");
  EXPECT_EQ(receiver_.GetStatus().message, "SRT passphrase must be empty or 10 to 80 bytes");
  ASSERT_TRUE(StartListening(Settings()));
  EXPECT_EQ(receiver_.GetStatus().state, "connecting");
  EXPECT_TRUE(receiver_.GetStatus().message.empty());
}

// With a passphrase and a stream id set, the listener keeps listening through its listen
// time-outs instead of ending itself when no caller has come yet.
TEST_F(SrtReceiverTest, SecuredListenerKeepsWaitingThroughListenTimeouts) {
  SrtSettings settings = Settings();
  settings.passphrase = kPassphrase;
  settings.stream_id = "scoreboard";
  ASSERT_TRUE(StartListening(settings));
  const SrtStatus status = WaitForStatus(
      [](const SrtStatus& status) { return status.listen_timeouts >= 1 && status.listen_attempts >= 2; });
  EXPECT_GE(status.listen_timeouts, 1);
  EXPECT_GE(status.listen_attempts, 2) << "it listens again after a listen time-out";
  EXPECT_EQ(status.state, "connecting");
  EXPECT_TRUE(status.active);
  EXPECT_NE(status.message.find("another passphrase cannot connect"), std::string::npos) << status.message;
  EXPECT_NE(status.message.find("stream ID is not checked"), std::string::npos) << status.message;
}

TEST_F(SrtReceiverTest, MatchingPassphraseGoesLive) {
  SrtSettings settings = Settings();
  settings.passphrase = kPassphrase;
  settings.key_length = 16;
  ASSERT_TRUE(StartListening(settings));
  CallerSpec secured;
  secured.url_options = std::string("&passphrase=") + kPassphrase + "&pbkeylen=16";
  Caller caller(port_, secured);
  ASSERT_TRUE(WaitForFrame(1, caller)) << Describe(caller);
  const SrtStatus status = WaitForStatus(IsLive);
  EXPECT_EQ(status.state, "live");
  EXPECT_TRUE(status.message.empty()) << status.message;
}

// libsrt refuses these callers in its own handshake; FFmpeg's listener never sees them, so the
// receiver can only go on waiting and say so. The caller comes once the listener listens, and
// gives up by itself when refused.
TEST_F(SrtReceiverTest, CallerWithoutTheRightPassphraseNeverConnects) {
  for (const std::string& caller_options :
       {std::string("&passphrase=wrong horse battery&pbkeylen=32"), std::string()}) {
    SCOPED_TRACE(caller_options);
    SrtSettings settings = Settings();
    settings.passphrase = kPassphrase;
    ASSERT_TRUE(StartListening(settings));
    ASSERT_TRUE(WaitForListening());
    CallerSpec caller_spec;
    caller_spec.url_options = caller_options;
    Caller caller(port_, caller_spec);
    ASSERT_TRUE(caller.WaitForExit(kPatience)) << "the refused caller gives up";
    const SrtStatus status = receiver_.GetStatus();
    EXPECT_EQ(status.state, "connecting");
    EXPECT_NE(status.message.find("another passphrase cannot connect"), std::string::npos) << status.message;
    EXPECT_FALSE(status.has_frame);
    EXPECT_EQ(generations_.load(), 0u);
    receiver_.Stop();
  }
}

// The stream id cannot be enforced through FFmpeg's listener: any caller is accepted, and the
// status says so instead of implying a check.
TEST_F(SrtReceiverTest, StreamIdIsReportedAsNotChecked) {
  SrtSettings settings = Settings();
  settings.stream_id = "scoreboard";
  ASSERT_TRUE(StartListening(settings));
  CallerSpec other_id;
  other_id.url_options = "&streamid=somebody-else";
  Caller caller(port_, other_id);
  ASSERT_TRUE(WaitForFrame(1, caller)) << Describe(caller);
  const SrtStatus status = WaitForStatus(IsLive);
  EXPECT_EQ(status.state, "live");
  EXPECT_EQ(status.message, "SRT stream ID is not checked: any caller is accepted");
}

}  // namespace
}  // namespace tessvark
