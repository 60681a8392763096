#include "sources/example_player.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "core/mutex.h"
#include "platform/thread_name.h"
#include "sources/ffmpeg_video_decoder.h"

namespace tessvark {

// Everything the playback thread shares with the player.
struct ExamplePlayerState {
  VideoDecoderFactory make_decoder;
  Mutex mutex;
  CondVar wake{mutex};            // the playback thread's timed waits; Stop wakes it
  std::thread thread;             // touched only by Start, Stop and the destructor
  bool stop GUARDED_BY(mutex) = false;
};

namespace {

using Clock = std::chrono::steady_clock;

// Consecutive failed reads without a good picture between them before playback gives up.
constexpr int kMaxReadFailures = 3;

bool StopRequested(ExamplePlayerState& state) {
  MutexLock lock(state.mutex);
  return state.stop;
}

// Sleeps until `due` unless Stop comes first; true when it did.
bool StopRequestedBefore(ExamplePlayerState& state, Clock::time_point due) {
  MutexLock lock(state.mutex);
  while (!state.stop) {
    if (!state.wake.WaitUntil(due)) return state.stop;
  }
  return true;
}

void ReportError(const ExampleVideoCallback& callback, const std::string& message) {
  if (!callback) return;
  ExampleVideoEvent event;
  event.kind = kExampleEventError;
  event.message = message;
  callback(event);
}

bool Deliver(const ExampleVideoCallback& callback, const ExampleVideoEvent& event) {
  return !callback || callback(event);
}

void Play(ExamplePlayerState& state, const std::string& path, const ExampleVideoCallback& callback) {
  const Clock::time_point start = Clock::now();
  std::unique_ptr<VideoDecoder> decoder;
  std::int64_t last = -1;            // index of the last picture taken from the current decoder
  std::int64_t pictures_read = 0;    // pictures the current decoder has given
  std::int64_t real_count = 0;       // pictures the clip really holds, once its end was met
  int failures = 0;
  double fps = 0.0;
  std::int64_t frame_count = 0;
  cv::Mat image;
  double pts = 0.0;
  std::string error;

  for (;;) {
    if (StopRequested(state)) return;
    if (!decoder || !decoder->IsOpen()) {
      decoder = state.make_decoder();
      if (!decoder || !decoder->Open(path, error)) {
        ReportError(callback, error.empty() ? kExampleDecodeError : error);
        return;
      }
      fps = decoder->FramesPerSecond();
      frame_count = decoder->FrameCount();
      if (!(fps > 0.0) || frame_count <= 0) {
        ReportError(callback, kExampleDecodeError);
        return;
      }
      // A container may promise more pictures than the video stream has (for instance when an
      // audio track runs longer); the end met on an earlier pass is the real wrap point.
      if (real_count > 0) frame_count = std::min(frame_count, real_count);
      last = -1;
      pictures_read = 0;
      ExampleVideoEvent info;
      info.kind = kExampleEventInfo;
      info.fps = fps;
      info.frame_count = static_cast<std::int32_t>(frame_count);
      info.duration = decoder->DurationSeconds();
      info.codec_name = decoder->CodecName();
      if (!Deliver(callback, info)) return;
    }

    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const std::int64_t raw = static_cast<std::int64_t>(elapsed * fps);
    const std::int64_t target = raw % frame_count;

    if (last >= 0) {
      if (target < last) {
        decoder.reset();  // the loop wrapped: start again from the first picture
        continue;
      }
      if (target == last) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(raw + 1) / fps));
        if (StopRequestedBefore(state, due)) return;
        continue;
      }
    }

    while (last < target - 1) {
      if (StopRequested(state)) break;
      if (!decoder->ReadFrame(image, pts, error)) break;
      ++last;
      ++pictures_read;
    }

    if (StopRequested(state)) return;
    const bool read = decoder->ReadFrame(image, pts, error);
    if (!read || image.empty()) {
      const bool end_of_clip = !read && error.empty() && pictures_read > 0;
      decoder.reset();
      if (end_of_clip) {
        real_count = pictures_read;
        failures = 0;
        continue;
      }
      if (++failures >= kMaxReadFailures) {
        ReportError(callback, error.empty() ? kExampleDecodeError : error);
        return;
      }
      continue;
    }
    failures = 0;
    ++pictures_read;
    ExampleVideoEvent frame;
    frame.kind = kExampleEventFrame;
    frame.image = image;
    frame.pts = pts;
    frame.fps = fps;
    frame.frame_count = static_cast<std::int32_t>(frame_count);
    if (!Deliver(callback, frame)) return;
    last = target;
  }
}

void Run(ExamplePlayerState* state, std::string path, ExampleVideoCallback callback) {
  NameThisThread("example");
  try {
    Play(*state, path, callback);
  } catch (...) {
    try {
      ReportError(callback, kExampleDecodeError);
    } catch (...) {
    }
  }
}

}  // namespace

ExamplePlayer::ExamplePlayer() : ExamplePlayer(MakeFfmpegVideoDecoder) {}

ExamplePlayer::ExamplePlayer(VideoDecoderFactory make_decoder)
    : state_(std::make_unique<ExamplePlayerState>()) {
  state_->make_decoder = std::move(make_decoder);
}

ExamplePlayer::~ExamplePlayer() {
  try {
    Stop();
  } catch (...) {
  }
}

void ExamplePlayer::Start(const std::string& path, ExampleVideoCallback callback) {
  Stop();
  {
    MutexLock lock(state_->mutex);
    state_->stop = false;
  }
  state_->thread = std::thread(Run, state_.get(), path, std::move(callback));
}

void ExamplePlayer::Stop() {
  {
    MutexLock lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.SignalAll();
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace tessvark
