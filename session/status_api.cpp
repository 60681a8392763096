// The status of the selected source: which form answers, and the form of an NDI or OMT receiver.

#include "session/session_sources.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/json_text.h"
#include "session/reply_json.h"

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

std::string ReceiverStatusJson(SessionEngine& engine, FramePath& frame_path,
                               const NdiLinkSnapshot& snapshot,
                               const std::vector<NdiSourceInfo>& sources) REQUIRES(engine.mutex) {
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

  const bool omt = selection.type == "omt";
  const std::string id = QuotedJsonText(selection.id);
  const std::string name =
      QuotedJsonText(selection.name.empty() ? selection.id : selection.name);
  const bool has_size = snapshot.width > 0 && snapshot.height > 0;
  const bool has_rate = snapshot.frame_rate_n > 0 && snapshot.frame_rate_d > 0;

  std::string out = "{\"running\":";
  out += JsonBool(running);
  out += ",\"source_type\":" + QuotedJsonText(selection.type);
  out += ",\"source_id\":" + id + ",\"source_name\":" + name;
  out += ",\"selected_source_id\":" + id + ",\"selected_source_name\":" + name;
  out += ",\"source_discovered\":";
  out += JsonBool(discovered);
  out += ",\"source_online\":";
  out += JsonBool(online);
  out += ",\"receiver_state\":" + QuotedJsonText(receiver_state);
  out += ",\"resolution\":";
  out += has_size ? "{\"width\":" + std::to_string(snapshot.width) +
                        ",\"height\":" + std::to_string(snapshot.height) + "}"
                  : std::string("null");
  out += ",\"frame_rate_n\":" +
         (has_rate ? std::to_string(snapshot.frame_rate_n) : std::string("null"));
  out += ",\"frame_rate_d\":" +
         (has_rate ? std::to_string(snapshot.frame_rate_d) : std::string("null"));
  out += ",\"frame_rate\":" +
         (has_rate ? FormatJsonNumber(static_cast<double>(snapshot.frame_rate_n) /
                                      static_cast<double>(snapshot.frame_rate_d))
                   : std::string("null"));
  out += omt ? ",\"source_format\":\"OMT\",\"ndi_format\":null"
             : ",\"source_format\":\"NDI\",\"ndi_format\":\"NDI\"";
  out += ",\"frame_age_seconds\":";
  if (has_age) {
    char number[64];
    std::snprintf(number, sizeof number, "%.2f", age);
    out += number;
  } else {
    out += "null";
  }
  out += ",\"error\":" +
         (snapshot.message.empty() ? std::string("null") : QuotedJsonText(snapshot.message));
  out += ",\"ndi\":";
  out += JsonBool(online);
  out += ",\"status\":" + QuotedJsonText(signal == 1 ? "online" : SignalName(signal));
  out += ",\"signal\":" + QuotedJsonText(SignalName(signal));
  out += ",\"preview_retained\":";
  out += JsonBool(retained);
  out += ",\"frame_analysis_allowed\":";
  out += JsonBool(analysis_allowed);
  LatestFrameSlot& slot = frame_path.Slot();
  const FramePathCounters counters = frame_path.Counters();
  out += ",\"frames_replaced\":" + std::to_string(slot.Replaced());
  out += ",\"frames_published\":" + std::to_string(slot.Sequence());
  out += ",\"jpeg_frames\":" + std::to_string(counters.previews_stored);
  out += ",\"ocr_frames\":" + std::to_string(counters.frames_analysed);
  out += ",\"ocr_skipped\":" + std::to_string(counters.frames_too_old);
  out += ",\"lan_ipv4\":null}";
  return out;
}

// {"<role>":"<status word>",...} of the readings in force, so the operator can see why a field
// has no value.
std::string ReadingStatusesJson(const std::vector<RoleReading>& readings) {
  std::string out = "{";
  for (const RoleReading& reading : readings) {
    if (out.size() > 1) out += ',';
    out += QuotedJsonText(reading.role) + ":" + QuotedJsonText(reading.status);
  }
  return out + "}";
}

}  // namespace

RuntimeResponse SessionSources::GetStatus() {
  const auto [ndi_runtime, omt_runtime] = Runtimes();
  // The runtimes answer under their own locks, never inside the engine mutex.
  const RuntimeView ndi = ViewOf(ndi_runtime);
  const RuntimeView omt = ViewOf(omt_runtime);

  MutexLock engine(engine_.mutex);
  SourceSelection& selection = engine_.selection;
  std::string body;
  if (selection.selected && selection.type == "srt") {
    body = SrtStatusJson();
  } else if (selection.selected && (selection.type == "ndi" || selection.type == "omt")) {
    const RuntimeView& view = selection.type == "ndi" ? ndi : omt;
    body = ReceiverStatusJson(engine_, frame_path_, view.snapshot, view.sources);
  } else {
    body = ExampleStatusJson(engine_);
  }
  body.pop_back();
  body += ",\"readings\":" + ReadingStatusesJson(worker_.Readings()) + "}";
  return MakeOkResponse(std::move(body));
}

}  // namespace tessvark
