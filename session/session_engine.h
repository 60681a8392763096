#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "core/mutex.h"
#include "ocr/analysis_inputs.h"
#include "session/source_selection.h"
#include "session/zone_book.h"
#include "sources/srt_settings.h"

namespace tessvark {

// The pictures of the selected source as the frame path last stored them.
struct FramePictures {
  cv::Mat source_image;      // the newest picture of the source
  // The same picture after the source-geometry warp when it is at hand: always under the identity
  // geometry (it shares the source's pixels), under a warp once the working preview made it.
  // Analysis cuts its zones from the source picture and never needs the whole of it.
  cv::Mat working_image;
  std::string source_jpeg;   // previews served by the preview routes
  std::string working_jpeg;
  // The JPEG quality at which source_image (working_image) is still to be encoded for its
  // preview, 0 when source_jpeg (working_jpeg) shows it: a preview is encoded when a route asks
  // for it, not for every picture (see FramePath::RefreshPreview).
  std::int32_t source_jpeg_pending = 0;
  std::int32_t working_jpeg_pending = 0;
  std::int32_t frame_number = 0;  // of the last frame handed to the worker
  // An Example picture arrived while the worker was busy; the worker's after-analysis hook
  // analyses it.
  bool example_pending = false;
};

// What the Example player told about the clip it plays.
struct ExampleInfo {
  bool video_active = false;  // the clip is the selection and its player was started
  std::string error;
  std::string codec;
  double fps = 0.0;
  double duration = 0.0;
  std::int32_t frame_count = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The SRT listener's settings and switch as the operator set them.
struct SrtChoice {
  SrtSettings settings;
  bool listening = false;
};

// The live pipeline's state: the selection, the zones and geometry, the pictures, and what the
// Example and SRT sources report. These change together (a new source drops the old pictures and
// saves its choice with the zones; a frame pass reads the selection, the zones and the pictures
// as one), so one mutex, the engine mutex, guards them all.
//
// Lock order, from outermost: the sources' control mutex, the settings mutex, the catalog mutex,
// then the engine mutex; inside it the worker's, the frame slot's, the published selection's, the
// server's, the vMix controller's, the configuration store's and the SRT receiver's own locks may
// be taken. The compiler checks the places of the control and the catalog mutex (their
// ACQUIRED_BEFORE); the rest is taken in different functions, where it cannot, so it stays
// prose. Nothing that joins a thread which calls back into the session (a receiver's Stop, the
// Example player's Stop, the SRT receiver's Stop) runs under the engine mutex, and nothing slow:
// the frame path's contract (frame_path.h) says what runs under it. The zone, geometry,
// hide-empty and output operations write their files holding the settings mutex alone; a change
// of source still saves its choice under the engine mutex.
struct SessionEngine {
  Mutex mutex;
  SourceSelection selection GUARDED_BY(mutex);
  ZoneBook zones GUARDED_BY(mutex);
  // The published analysis setup (zones, geometry and roles of the selection) and the selection
  // it was made for. The frame path hands it to the worker with every frame; only CurrentSetup
  // and RefreshSetup replace it.
  std::shared_ptr<const AnalysisSetup> setup GUARDED_BY(mutex);
  std::string setup_profile GUARDED_BY(mutex);
  FramePictures pictures GUARDED_BY(mutex);
  ExampleInfo example GUARDED_BY(mutex);
  SrtChoice srt GUARDED_BY(mutex);
  // The selection as the receiver callbacks read it; written with the engine mutex held.
  PublishedSelection published;

  // Raised by Stop under the sources' control mutex; read anywhere.
  std::atomic<bool> stopping{false};

  // Publishes the selection for the receiver callbacks.
  void PublishSelection() REQUIRES(mutex) { published.Publish(selection); }

  // The published setup when it was made for the selection in force, else RefreshSetup: a
  // comparison of the selection's key, so cheap enough for every frame.
  std::shared_ptr<const AnalysisSetup> CurrentSetup() REQUIRES(mutex);
  // Makes the setup of the selection from the book and publishes it. Its generation moves only
  // when the zones, the geometry or the roles differ from the published setup's, so readings
  // stay exactly while nothing they depend on changed. Called by every operation that changes
  // what the book keeps for the selection.
  std::shared_ptr<const AnalysisSetup> RefreshSetup() REQUIRES(mutex);

 private:
  std::uint64_t setup_generation_ GUARDED_BY(mutex) = 0;
};

}  // namespace tessvark
