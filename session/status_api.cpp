// The status of the selected source: which form answers, and the form of an NDI or OMT receiver.

#include "session/session_sources.h"

#include <algorithm>
#include <chrono>


namespace tessvark {
namespace {

// What a runtime told about itself, taken before the engine mutex.
struct RuntimeView {
  NdiLinkSnapshot snapshot;
  std::vector<NdiSourceInfo> sources;
};

RuntimeView ViewOf(const std::shared_ptr<NdiRuntime>& runtime) {
  RuntimeView view;
  if (runtime) {
    view.snapshot = runtime->GetLinkSnapshot();
    view.sources = runtime->ListSources();
  }
  return view;
}

// Seconds since 1970 with sub-second resolution, the time base of the runtimes' snapshots.
double WallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsKnownLinkState(const std::string& state) {
  return state == "connecting" || state == "connected" || state == "stale" ||
         state == "offline" || state == "error";
}

void WriteReceiverStatus(SessionEngine& engine, FramePath& frame_path,
                         const NdiLinkSnapshot& snapshot, const std::vector<NdiSourceInfo>& sources,
                         JsonWriter& out) REQUIRES(engine.mutex) {
  SourceSelection& selection = engine.selection;
  const double now = WallClockSeconds();
  const bool running = snapshot.runtime_available && snapshot.updated_at > 0.0 &&
                       now - snapshot.updated_at <= 3.0;
  const bool matches = snapshot.selected_source == selection.id;
  bool discovered = false;
  for (const NdiSourceInfo& source : sources) {
    if (source.online && source.id == selection.id) discovered = true;
  }
  std::string receiver_state = "offline";
  if (running) {
    receiver_state = !matches ? "connecting"
                     : IsKnownLinkState(snapshot.state) ? snapshot.state
                                                        : "connecting";
  }
  const bool has_age = snapshot.last_frame_at > 0.0;
  const double age = has_age ? std::max(now - snapshot.last_frame_at, 0.0) : 0.0;
  const bool online = running && matches && receiver_state == "connected" && has_age &&
                      age >= 0.0 && age <= 2.5;
  if (receiver_state == "connected" && !online) {
    receiver_state = has_age && age >= 0.0 && age < 8.0 ? "stale" : "offline";
  }

  const bool preview_present =
      !engine.pictures.source_jpeg.empty() || !engine.pictures.source_image.empty();
  std::int32_t signal = 3;
  bool retained = preview_present;
  bool analysis_allowed = false;
  if (snapshot.state == "error" || !(running && matches)) {
    signal = 3;
  } else if (!has_age) {
    signal = 0;
    retained = false;
  } else {
    // Whole milliseconds below 2500 and below 8000, compared without truncating.
    const double age_ms = age * 1000.0;
    if (age_ms < 2500.0) {
      signal = 1;
      retained = analysis_allowed = true;
    } else {
      signal = age_ms < 8000.0 ? 2 : 3;
    }
  }

  const bool omt = selection.type == SourceKind::kOmt;
  const std::string& name = selection.name.empty() ? selection.id : selection.name;
  const bool has_size = snapshot.width > 0 && snapshot.height > 0;
  const bool has_rate = snapshot.frame_rate_n > 0 && snapshot.frame_rate_d > 0;

  out.Key("running").Bool(running);
  out.Key("source_type").String(SourceKindName(selection.type));
  out.Key("source_id").String(selection.id).Key("source_name").String(name);
  out.Key("selected_source_id").String(selection.id).Key("selected_source_name").String(name);
  out.Key("source_discovered").Bool(discovered);
  out.Key("source_online").Bool(online);
  out.Key("receiver_state").String(receiver_state);
  out.Key("resolution");
  if (has_size) {
    out.BeginObject();
    out.Key("width").Int(snapshot.width).Key("height").Int(snapshot.height);
    out.EndObject();
  } else {
    out.Null();
  }
  if (has_rate) {
    out.Key("frame_rate_n").Int(snapshot.frame_rate_n);
    out.Key("frame_rate_d").Int(snapshot.frame_rate_d);
    out.Key("frame_rate").Double(static_cast<double>(snapshot.frame_rate_n) /
                                 static_cast<double>(snapshot.frame_rate_d));
  } else {
    out.Key("frame_rate_n").Null().Key("frame_rate_d").Null().Key("frame_rate").Null();
  }
  out.Key("source_format").String(omt ? "OMT" : "NDI");
  out.Key("ndi_format");
  if (omt) {
    out.Null();
  } else {
    out.String("NDI");
  }
  out.Key("frame_age_seconds");
  if (has_age) {
    out.Fixed(age, 2);
  } else {
    out.Null();
  }
  out.Key("error").StringOrNull(snapshot.message);
  out.Key("ndi").Bool(online);
  out.Key("status").String(signal == 1 ? "online" : SignalName(signal));
  out.Key("signal").String(SignalName(signal));
  out.Key("preview_retained").Bool(retained);
  out.Key("frame_analysis_allowed").Bool(analysis_allowed);
  WriteFrameCounters(frame_path, out);
  out.Key("lan_ipv4").Null();
}

// {"<role>":"<status word>",...} of the readings in force, so the operator can see why a field
// has no value.
void WriteReadingStatuses(const std::vector<RoleReading>& readings, JsonWriter& out) {
  out.BeginObject();
  for (const RoleReading& reading : readings) out.Key(reading.role).String(reading.status);
  out.EndObject();
}

}  // namespace

void WriteFrameCounters(FramePath& frame_path, JsonWriter& out) {
  LatestFrameSlot& slot = frame_path.Slot();
  const FramePathCounters counters = frame_path.Counters();
  out.Key("frames_replaced").Int(slot.Replaced());
  out.Key("frames_published").Int(slot.Sequence());
  out.Key("jpeg_frames").Int(counters.previews_stored);
  out.Key("ocr_frames").Int(counters.frames_analysed);
  out.Key("ocr_skipped").Int(counters.frames_too_old);
}

RuntimeResponse SessionSources::GetStatus() {
  const auto [ndi_runtime, omt_runtime] = Runtimes();
  // The runtimes answer under their own locks, never inside the engine mutex.
  const RuntimeView ndi = ViewOf(ndi_runtime);
  const RuntimeView omt = ViewOf(omt_runtime);

  MutexLock engine(engine_.mutex);
  const SourceKind kind = engine_.selection.selected ? engine_.selection.type : SourceKind::kNone;
  JsonWriter out(kApiJson);
  out.BeginObject();
  if (kind == SourceKind::kSrt) {
    WriteSrtStatus(out);
  } else if (kind == SourceKind::kNdi || kind == SourceKind::kOmt) {
    const RuntimeView& view = kind == SourceKind::kNdi ? ndi : omt;
    WriteReceiverStatus(engine_, frame_path_, view.snapshot, view.sources, out);
  } else {
    WriteExampleStatus(engine_, out);
  }
  WriteReadingStatuses(worker_.Readings(), out.Key("readings"));
  return MakeOkResponse(out.EndObject().Take());
}

}  // namespace tessvark
