#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tessvark {

// One received picture of a network video source, handed to the frame callback. The image is a
// new packed BGR buffer for every picture that the runtime never writes again, so a receiver may
// keep it; copying the record shares the pixels.
struct NdiFrame {
  std::string source;               // id of the source, equal to the selected id
  cv::Mat image;                    // 8-bit BGR, 3 channels, rows packed
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t frame_rate_n = 0;    // as the sender declares it
  std::int32_t frame_rate_d = 0;
  std::int64_t timecode = 0;        // the sender's timecode, unchanged
  double received_at = 0.0;         // steady-clock seconds when the library returned the picture
};

// Link state of a runtime. State words: "no_source", "connecting", "connected", "stale",
// "offline", "error"; empty before the first start or selection.
struct NdiLinkSnapshot {
  bool runtime_available = false;
  std::string state;
  std::string message;
  std::string selected_source;
  std::string source_name;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t frame_rate_n = 0;
  std::int32_t frame_rate_d = 0;
  double updated_at = 0.0;          // wall-clock seconds since 1970
  double last_frame_at = 0.0;       // wall-clock seconds since 1970, 0 until the first picture
};

// One discovered source.
struct NdiSourceInfo {
  std::string id;                   // the value to pass to NdiRuntime::SelectSource
  std::string name;
  std::string url_address;          // empty when discovery gives none
  bool online = true;
};

// Counters kept from the runtime's creation on and never reset; a protocol that has no use for a
// counter leaves it 0.
struct NdiCounters {
  std::int32_t video_frames = 0;
  std::int32_t delivered_frames = 0;
  std::int32_t audio_frames = 0;
  std::int32_t metadata_frames = 0;
  std::int32_t reconnects = 0;
  std::int32_t dropped_frames = 0;  // the library's own count, overwritten on every receive pass
  std::int32_t rejected_frames = 0;
  std::int32_t released_frames = 0;
};

using NdiFrameCallback = std::function<void(const NdiFrame&)>;
using NdiLinkCallback = std::function<void(const NdiLinkSnapshot&)>;

// A link state for the link callback, copied under a runtime's lock and handed over after
// releasing it; without a callback there is nothing to hand over.
struct NdiLinkNews {
  NdiLinkSnapshot snapshot;
  NdiLinkCallback callback;

  void Deliver() const {
    if (callback) callback(snapshot);
  }
};

// The seam between the session and a network video protocol (NDI or OMT). No operation throws
// for protocol or library trouble: failures become state words and messages in the snapshot.
// Callbacks run on the runtime's threads (link changes made by SelectSource may be published on
// the caller's thread) with no runtime lock held, so they may call back into the runtime. A caller
// must not hold a lock that its own link callback takes while it calls SelectSource or
// ClearSelection.
class NdiRuntime {
 public:
  // An implementation stops itself first, then releases its callbacks.
  virtual ~NdiRuntime() = default;
  // Loads the protocol library once per process and starts the worker threads; a second call
  // while started does nothing. A missing or refused library shows in the snapshot.
  virtual void Start() = 0;
  // Attempts the library load once, without starting anything, so that a missing or refused
  // library shows in the snapshot (not available, with its message) before the first start. Later
  // calls, and calls after a start, do nothing.
  virtual void CheckLibrary() = 0;
  // Stops and joins the worker threads; harmless when not started. The runtime can start again.
  virtual void Stop() = 0;
  // Asks discovery for a fresh list; returns at once.
  virtual void RefreshSources() = 0;
  virtual std::vector<NdiSourceInfo> ListSources() = 0;
  // Wall-clock seconds since 1970 of the last list update; 0 before the first.
  virtual double SourcesUpdatedAt() = 0;
  // An empty id selects no source. Allowed before Start.
  virtual void SelectSource(const std::string& source_id) = 0;
  virtual void ClearSelection() = 0;
  virtual NdiLinkSnapshot GetLinkSnapshot() = 0;
  virtual NdiCounters GetCounters() = 0;
  virtual void SetFrameCallback(NdiFrameCallback callback) = 0;
  virtual void SetLinkCallback(NdiLinkCallback callback) = 0;
};

// Frame layout bounds shared by both protocols: width 1..7680, height 1..4320, stride 0 (meaning
// 4 x width) or from 4 x width to 34816 bytes, and stride x height at most 7680 x 4 x 4320.
bool IsValidBgraLayout(std::int32_t width, std::int32_t height, std::int32_t row_stride);

// Copies a 4-byte BGRA or BGRX picture into a new packed BGR image, dropping the fourth byte
// without blending. An empty image when `data` is null or the layout is out of bounds.
cv::Mat ConvertBgraToBgr(const std::uint8_t* data, std::int32_t width, std::int32_t height,
                         std::int32_t row_stride);

}  // namespace tessvark
