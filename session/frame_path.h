#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "core/mutex.h"
#include "ocr/analysis_worker.h"
#include "session/runtime_response.h"
#include "session/session_engine.h"
#include "session/session_server.h"
#include "sources/latest_frame_slot.h"
#include "sources/ndi_runtime.h"

namespace tessvark {

// What the frame path counted since it was made.
struct FramePathCounters {
  std::uint64_t previews_stored = 0;  // source previews the preview thread kept
  std::uint64_t frames_analysed = 0;  // frames the feeder handed to the worker
  std::uint64_t frames_too_old = 0;   // frames the feeder dropped for their age
  std::uint64_t preview_taken = 0;    // frames the preview thread took from the slot
  std::uint64_t feeder_taken = 0;     // frames the feeder took from the slot
};

// Live frames from the receivers to the analysis worker. NDI and OMT pictures arrive through the
// receiver callbacks, SRT pictures straight into the slot; the preview thread keeps the newest
// for the source preview at most every 200 ms, the feeder thread hands the newest to the worker at
// most every 50 ms. The frame step (Analyze) also serves the Example source and the zone and
// geometry operations. The worker cuts the zones it reads from the source picture under the
// published setup's geometry; the whole working picture is made only for the working preview,
// and previews are encoded as JPEG when a preview route asks for them.
//
// Lock contract. Under the engine mutex only bookkeeping runs: reading the selection and the
// published setup, storing picture references, marking previews stale, numbering frames and
// handing the worker its setup and frames (its own mutex taken inside). No pixel is computed,
// nothing is encoded and no file is written while it is held:
//   - the feeder thread takes the newest frame under the slot mutex alone, then holds the engine
//     mutex for one frame step, which stores the frame's picture by reference and submits it; the
//     worker cuts and reads the zones on its own thread under no session lock;
//   - the preview thread stores the picture by reference under the engine mutex and encodes a
//     source's first picture after releasing it;
//   - GetPreview takes the picture and the setup's geometry under the engine mutex, warps and
//     encodes without it, and keeps the result only when, under the engine mutex again, the
//     picture, the pending quality and the geometry are still the ones it used;
//   - the zone previews (SessionZones) take the zone, the picture and the geometry likewise and
//     cut, prepare and encode without the mutex;
//   - settings files are written by the API operations holding the session's settings mutex
//     alone; the frame path never takes the settings mutex, so a pass never waits for a write.
// Order: the settings mutex before the engine mutex; inside the engine mutex the worker's, the
// slot's, the published selection's, the server's and the vMix controller's own locks. The slot's
// mutex is never held while another lock is taken. StartThreads, RequestStop and JoinThreads are
// called by the session's owning thread only.
class FramePath {
 public:
  // The feeder hands the worker at most one frame per `feeder_spacing`.
  FramePath(SessionEngine& engine, AnalysisWorker& worker, SessionServer& server,
            std::chrono::nanoseconds feeder_spacing = std::chrono::milliseconds(50));
  // Stops and joins the threads.
  ~FramePath();
  FramePath(const FramePath&) = delete;
  FramePath& operator=(const FramePath&) = delete;

  // The mailbox the live receivers publish into.
  LatestFrameSlot& Slot() { return slot_; }

  // Throws std::system_error when a thread cannot be made.
  void StartThreads();
  // Makes the threads end at their next look and refuses receiver frames from now on; a feeder
  // waiting out its spacing wakes at once.
  void RequestStop() EXCLUDES(stop_mutex_);
  void JoinThreads();

  // A receiver's picture (of an NDI or OMT runtime): published to the slot when it belongs to the
  // selection. Runs on the receiver's thread; takes only the published selection's and the
  // slot's locks.
  void OnReceiverFrame(SourceKind kind, const NdiFrame& frame);

  // The frame step on the pictures in `engine` (this path's engine): hands the worker the setup
  // of the selection, marks the previews stale and, when `analysis_allowed`, submits the source
  // picture; without a picture or a selection it switches analysis off. Bookkeeping only.
  void Analyze(SessionEngine& engine, bool analysis_allowed, bool refresh_previews)
      REQUIRES(engine.mutex);
  // Drops the pictures, both previews and the frame waiting in the slot.
  void DropPictures(SessionEngine& engine) REQUIRES(engine.mutex);
  // The source (working false) or working preview is to show the stored source picture (or its
  // working picture) at the JPEG quality; GetPreview encodes it when asked.
  static void RefreshPreview(SessionEngine& engine, bool working, std::int32_t quality)
      REQUIRES(engine.mutex);
  // Stores a new source picture (by reference); the working picture of the old one goes.
  static void StorePicture(SessionEngine& engine, const cv::Mat& picture) REQUIRES(engine.mutex);
  // The worker's after-analysis hook: analyses an Example picture that arrived while it was busy.
  void RunPendingAnalysis() EXCLUDES(engine_.mutex);

  // The source preview (working false) or working preview of the newest stored picture as JPEG,
  // made and encoded outside the engine mutex when that picture has not been yet; 503 with a
  // short page while there is none.
  RuntimeResponse GetPreview(bool working) EXCLUDES(engine_.mutex);

  FramePathCounters Counters() const;

 private:
  void RunPreviewLoop() EXCLUDES(engine_.mutex);
  void RunFeederLoop() EXCLUDES(engine_.mutex);
  // The preview's JPEG, encoded (and kept when still current) when a newer picture or quality is
  // pending; empty while there is no picture.
  std::string EncodePendingPreview(bool working) EXCLUDES(engine_.mutex);

  SessionEngine& engine_;
  AnalysisWorker& worker_;
  SessionServer& server_;
  LatestFrameSlot slot_;
  std::thread preview_thread_;  // touched only by StartThreads and JoinThreads
  std::thread feeder_thread_;   // touched only by StartThreads and JoinThreads
  const std::chrono::nanoseconds feeder_spacing_;
  std::atomic<bool> stop_{false};
  // Wakes the feeder from its spacing when a stop is asked for; taken alone.
  Mutex stop_mutex_;
  CondVar stop_changed_{stop_mutex_};
  std::atomic<std::uint64_t> previews_stored_{0};
  std::atomic<std::uint64_t> frames_analysed_{0};
  std::atomic<std::uint64_t> frames_too_old_{0};
  std::atomic<std::uint64_t> preview_taken_{0};
  std::atomic<std::uint64_t> feeder_taken_{0};
};

// Whether the working preview shows the stored picture: the frame step ran on a picture of the
// selection since its pictures were last dropped. Zones are cut and previewed only then.
bool WorkingPictureShown(const FramePictures& pictures);

// The picture as JPEG bytes of the given quality; empty for an empty picture or a failed encode.
std::string EncodeJpeg(const cv::Mat& picture, std::int32_t quality);

}  // namespace tessvark
