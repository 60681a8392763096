#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

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
// for the source preview at most every 200 ms, the feeder thread warps the newest by the source
// geometry at most every 50 ms and hands it to the worker. Previews are encoded as JPEG when a
// preview route asks for them, not for every picture kept. The frame step (Analyze) also serves the Example source
// and the zone and geometry operations.
//
// Locks: the threads take the engine mutex around each pass; the slot's own mutex is innermost.
// StartThreads, RequestStop and JoinThreads are called by the session's owning thread only.
class FramePath {
 public:
  FramePath(SessionEngine& engine, AnalysisWorker& worker, SessionServer& server);
  // Stops and joins the threads.
  ~FramePath();
  FramePath(const FramePath&) = delete;
  FramePath& operator=(const FramePath&) = delete;

  // The mailbox the live receivers publish into.
  LatestFrameSlot& Slot() { return slot_; }

  // Throws std::system_error when a thread cannot be made.
  void StartThreads();
  // Makes the threads end at their next look and refuses receiver frames from now on.
  void RequestStop() { stop_.store(true); }
  void JoinThreads();

  // A receiver's picture (of an NDI or OMT runtime): published to the slot when it belongs to the
  // selection. Runs on the receiver's thread; takes only the published selection's and the
  // slot's locks.
  void OnReceiverFrame(SourceKind kind, const NdiFrame& frame);

  // The frame step on the pictures in `engine` (this path's engine): hands the worker the zones
  // of the selection, warps the source picture into the working picture, refreshes the previews
  // and, when `analysis_allowed`, submits the working picture; without a picture or a selection it
  // switches analysis off.
  void Analyze(SessionEngine& engine, bool analysis_allowed, bool refresh_previews)
      REQUIRES(engine.mutex);
  // Drops the pictures, both previews and the frame waiting in the slot.
  void DropPictures(SessionEngine& engine) REQUIRES(engine.mutex);
  // The source (working false) or working preview now shows the stored source (working) picture
  // at the JPEG quality. Only a source's first picture is encoded at once, since a stored preview
  // is the sign that the source has shown a picture; later ones are encoded by GetPreview.
  static void RefreshPreview(SessionEngine& engine, bool working, std::int32_t quality)
      REQUIRES(engine.mutex);
  // The worker's after-analysis hook: analyses an Example picture that arrived while it was busy.
  void RunPendingAnalysis();

  // The source preview (working false) or working preview of the newest stored picture as JPEG,
  // encoded outside the engine mutex when that picture has not been yet; 503 with a short page
  // while there is none.
  RuntimeResponse GetPreview(bool working);

  FramePathCounters Counters() const;

 private:
  void RunPreviewLoop();
  void RunFeederLoop();

  SessionEngine& engine_;
  AnalysisWorker& worker_;
  SessionServer& server_;
  LatestFrameSlot slot_;
  std::thread preview_thread_;  // touched only by StartThreads and JoinThreads
  std::thread feeder_thread_;   // touched only by StartThreads and JoinThreads
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> previews_stored_{0};
  std::atomic<std::uint64_t> frames_analysed_{0};
  std::atomic<std::uint64_t> frames_too_old_{0};
  std::atomic<std::uint64_t> preview_taken_{0};
  std::atomic<std::uint64_t> feeder_taken_{0};
};

// The picture as JPEG bytes of the given quality; empty for an empty picture or a failed encode.
std::string EncodeJpeg(const cv::Mat& picture, std::int32_t quality);

}  // namespace tessvark
