#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "core/display_format.h"
#include "ocr/zone_geometry.h"
#include "session/ocr_zone.h"
#include "settings/config_store.h"
#include "settings/sport_selection.h"
#include "settings/sport_zones.h"
#include "settings/sports_catalog.h"
#include "sources/latest_frame_slot.h"
#include "sources/ndi_runtime.h"
#include "sources/srt_receiver.h"
#include "sources/srt_settings.h"

namespace tessvark {

// Everything the API operations, the video callbacks and the session's threads share. A plain
// record: the session reaches it through its pointer and keeps the locking rules below.
//
// Lock order: control_mutex, then catalog_mutex, then engine_mutex, then (inside the engine
// mutex) the worker's, the slot's, selection_mutex, the server's stream mutexes, the vMix
// controller's and the SRT receiver's own locks. Nothing that joins a thread calling back into the
// session (NdiRuntime, ExamplePlayer::Stop, SrtReceiver::Stop) runs under the engine mutex.
struct SessionState {
  // Serialises starting and stopping the receivers, the Example player and the SRT listener,
  // which are not safe to start and stop from several threads at once. An operation that starts
  // one holds it around its test of `stopping` and the start; Stop holds it while it raises
  // `stopping`, so nothing is started once Stop has begun. No callback takes it.
  std::mutex control_mutex;

  std::mutex engine_mutex;     // guards every field without another guard named
  std::mutex selection_mutex;  // guards only the published_* fields

  bool selected = false;
  std::string source_type = "none";
  std::string source_id;
  std::string source_name;
  std::int32_t source_generation = 0;

  SportsCatalogStore catalog_store;     // catalog_mutex
  SportSelectionStore selection_store;  // catalog_mutex
  std::mutex catalog_mutex;
  std::uint64_t sport_generation = 0;  // catalog_mutex
  // Written under catalog_mutex and read under the engine mutex, so it is atomic.
  std::atomic<bool> sport_active{false};
  std::string active_sport;
  std::set<std::string> active_roles;
  SportZonesDocument sport_zones;
  DisplayFormat display_format = DefaultDisplayFormat();  // catalog_mutex
  std::filesystem::path display_format_path;              // catalog_mutex
  std::atomic<bool> ocr_started{false};

  bool published_selected = false;          // selection_mutex
  std::string published_source_type = "none";  // selection_mutex
  std::string published_source_id;          // selection_mutex
  std::int32_t published_generation = 0;    // selection_mutex

  std::map<std::string, std::vector<OcrZone>> zone_map;
  std::map<std::string, SourceGeometry> geometry_map;
  std::map<std::string, bool> hide_empty_map;
  SourceGeometry default_geometry;

  cv::Mat source_image;
  cv::Mat working_image;
  std::string source_jpeg;
  std::string working_jpeg;
  // The JPEG quality at which source_image (working_image) is still to be encoded for its
  // preview, 0 when source_jpeg (working_jpeg) shows it: a preview is encoded when a route asks
  // for it, not for every picture (see RefreshPreview).
  std::int32_t source_jpeg_pending = 0;
  std::int32_t working_jpeg_pending = 0;
  std::int32_t frame_number = 0;

  bool example_video_active = false;
  std::string example_error;
  std::string example_codec;
  double example_fps = 0.0;
  double example_duration = 0.0;
  std::int32_t example_frame_count = 0;
  std::int32_t example_width = 0;
  std::int32_t example_height = 0;

  std::atomic<bool> stopping{false};
  // Written before the server listens (and at Stop, after the threads that read them are
  // joined); read under the engine mutex.
  std::shared_ptr<NdiRuntime> ndi_runtime;
  std::shared_ptr<NdiRuntime> omt_runtime;
  std::string remembered_ndi_id;
  std::string remembered_ndi_name;
  std::unique_ptr<ConfigStore> config_store;
  SourceConfiguration stored_configuration;
  bool example_pending = false;

  LatestFrameSlot frame_slot;
  std::thread preview_thread;  // touched only by Start and Stop
  std::thread feeder_thread;   // touched only by Start and Stop
  std::atomic<bool> threads_stop{false};
  std::atomic<std::uint64_t> jpeg_frames{0};
  std::atomic<std::uint64_t> ocr_frames{0};
  std::atomic<std::uint64_t> ocr_skipped{0};

  SrtReceiver srt_receiver;  // its own lock
  SrtSettings srt_settings;
  bool srt_listening = false;
};

// The rest work on the state with the engine mutex held by the caller.

// Copies the selection for the receiver threads (under selection_mutex).
void PublishSourceIdentity(SessionState& state);
// The identity of the selection: type ("none" without one), id and decimal generation.
SourceContext CurrentSourceContext(const SessionState& state);

// Where the current zones and geometry live.
std::string CurrentProfileKey(const SessionState& state);
std::vector<OcrZone>& CurrentProfileZones(SessionState& state);
// The default geometry without a selection (no map entry made); otherwise the selected source's
// entry, created as the identity quad when missing.
SourceGeometry& CurrentSourceGeometry(SessionState& state);

// The zones of the selected source, following an applied sport: its own zone set for the
// sport when there is one, else the stored zones of the sport's roles; without a sport the
// stored zones. The text form gives a sport zone set exactly as stored.
std::vector<OcrZone> ZonesForCurrentSource(const SessionState& state);
std::string CurrentZonesText(const SessionState& state);

// The stored configuration: a record into the selection and the per-source maps, the maps back
// into a record, and saving that record (true without a store, nothing written).
void ApplySourceConfiguration(SessionState& state, const SourceConfiguration& configuration);
SourceConfiguration BuildSourceConfiguration(const SessionState& state);
bool SaveConfiguration(SessionState& state);
// A new zone list (its JSON text) for the current source: into the active sport's zone set or
// the current profile, saved at once; on a failed save the previous list is back and false.
bool StoreZones(SessionState& state, const std::string& zones_text);

// The source (working) preview now shows source_image (working_image) at the quality. Only the
// first picture of a source is encoded at once: the session takes a stored preview as the sign
// that the source has shown a picture. Later ones are encoded when a preview route asks.
void RefreshPreview(SessionState& state, bool working, std::int32_t quality);

// Each corner's x and y with nine decimals, "x,y;" per corner from the top left clockwise: the
// text by which the worker tells geometries apart.
std::string GeometryKey(const SourceGeometry& geometry);

}  // namespace tessvark
