// The SRT listener as a source: its settings, the listening switch, its status and the new
// source generation of every incoming stream.

#include "session/session_sources.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/steady_clock.h"

namespace tessvark {
namespace {

constexpr char kStoppingDetail[] = "The session is stopping.";

// A finite JSON number without a fractional part inside the int32 range.
bool ReadInt32(const JsonValue& value, std::int32_t& out) {
  const std::optional<double> number = value.FiniteNumber();
  if (!number || std::trunc(*number) != *number) return false;
  if (*number < std::numeric_limits<std::int32_t>::min() ||
      *number > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  out = static_cast<std::int32_t>(*number);
  return true;
}

// Overwrites a settings copy's passphrase however the operation ends.
class PassphraseWipe {
 public:
  explicit PassphraseWipe(SrtSettings& settings) : settings_(settings) {}
  ~PassphraseWipe() { WipeString(settings_.passphrase); }
  PassphraseWipe(const PassphraseWipe&) = delete;
  PassphraseWipe& operator=(const PassphraseWipe&) = delete;

 private:
  SrtSettings& settings_;
};

// Overlays the members present in the body; the refusal message, or empty when all are usable.
std::string OverlaySrtSettings(const JsonValue& body, SrtSettings& settings) {
  struct IntegerMember {
    const char* name;
    std::int32_t* field;
    const char* message;
  };
  const IntegerMember integers[] = {
      {"port", &settings.port, "SRT port must be an integer from 1 to 65535"},
      {"latency_ms", &settings.latency_ms, "SRT latency must be an integer from 1 to 8000 ms"},
      {"key_length", &settings.key_length, "Unsupported SRT key length"},
  };
  for (const IntegerMember& member : integers) {
    const JsonValue* value = body.Find(member.name);
    if (value != nullptr && !ReadInt32(*value, *member.field)) return member.message;
  }
  if (const JsonValue* value = body.Find("stream_id")) {
    if (value->kind != JsonKind::kString) return "SRT stream ID must be 512 bytes or less";
    settings.stream_id = value->text;
  }
  if (const JsonValue* value = body.Find("mode")) {
    if (value->kind != JsonKind::kString || value->text != "listener") {
      return "SRT mode must be listener";
    }
  }
  if (const JsonValue* value = body.Find("bind_address")) {
    if (value->kind != JsonKind::kString) return "SRT address must be an IPv4 address";
    settings.bind_address = value->text;
  }
  if (const JsonValue* value = body.Find("clear_passphrase")) {
    if (value->kind == JsonKind::kBool && value->bool_value) WipeString(settings.passphrase);
  }
  if (const JsonValue* value = body.Find("passphrase")) {
    if (value->kind != JsonKind::kString) return "SRT passphrase must be empty or 10 to 80 bytes";
    WipeString(settings.passphrase);
    settings.passphrase = value->text;
  }
  return {};
}

}  // namespace

RuntimeResponse SessionSources::SetSrtSettings(const std::string& body) {
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  SrtSettings settings;
  PassphraseWipe wipe_settings(settings);
  bool was_listening = false;
  {
    MutexLock engine(engine_.mutex);
    settings = engine_.srt.settings;
    was_listening = engine_.srt.listening;
  }
  const std::string overlay_error = OverlaySrtSettings(*request, settings);
  if (!overlay_error.empty()) return MakeErrorResponse(400, overlay_error);
  ValidatedSrtSettings checked = ValidateSrtSettings(settings);
  PassphraseWipe wipe_checked(checked.settings);
  if (!checked.ok) return MakeErrorResponse(400, checked.message);

  if (was_listening) StopSrtListener();
  {
    MutexLock engine(engine_.mutex);
    WipeString(engine_.srt.settings.passphrase);
    engine_.srt.settings = checked.settings;
  }
  if (was_listening) return SetSrtListening("{\"listening\":true}");
  MutexLock engine(engine_.mutex);
  const bool srt = engine_.selection.selected && engine_.selection.type == SourceKind::kSrt;
  return MakeOkResponse(srt ? SrtStatusJson() : ExampleStatusJson(engine_));
}

RuntimeResponse SessionSources::SetSrtListening(const std::string& body) {
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  const JsonValue* listening = request->Find("listening");
  if (listening == nullptr || listening->kind != JsonKind::kBool) {
    return MakeErrorResponse(400, "SRT listening requires a boolean");
  }

  if (!listening->bool_value) {
    StopSrtListener();
    MutexLock engine(engine_.mutex);
    ++engine_.selection.generation;
    frame_path_.Slot().Clear();
    FramePictures& pictures = engine_.pictures;
    pictures.source_jpeg.clear();
    pictures.working_jpeg.clear();
    pictures.source_image.release();
    pictures.working_image.release();
    ResetStateAndOutputs();
    worker_.ClearResults();
    std::string reply =
        engine_.selection.type == SourceKind::kSrt ? SrtStatusJson() : ExampleStatusJson(engine_);
    engine_.PublishSelection();
    return MakeOkResponse(std::move(reply));
  }

  MutexLock control(control_);
  if (engine_.stopping) return MakeErrorResponse(503, kStoppingDetail);
  SrtSettings settings;
  PassphraseWipe wipe_settings(settings);
  std::string label;
  {
    MutexLock engine(engine_.mutex);
    if (!engine_.selection.selected || engine_.selection.type != SourceKind::kSrt) {
      engine_.PublishSelection();
      return MakeErrorResponse(400, "Select the SRT source before listening");
    }
    settings = engine_.srt.settings;
    label = engine_.selection.id;
    ++engine_.selection.generation;
    frame_path_.Slot().Clear();
    engine_.srt.listening = true;
    worker_.SetSourceIdentity(ContextOf(engine_.selection));
    engine_.PublishSelection();
  }
  const bool started = srt_receiver_.Start(settings, &frame_path_.Slot(), label,
                                           [this] { return BeginSrtSession(); });
  control.Unlock();
  if (started) {
    MutexLock engine(engine_.mutex);
    return MakeOkResponse(SrtStatusJson());
  }
  std::string message = srt_receiver_.GetStatus().message;
  if (message.empty()) message = "cannot listen for SRT";
  StopSrtListener();
  return MakeErrorResponse(400, message);
}

void SessionSources::StopSrtListener() {
  {
    MutexLock control(control_);
    srt_receiver_.Stop();
  }
  MutexLock engine(engine_.mutex);
  engine_.srt.listening = false;
}

std::uint64_t SessionSources::BeginSrtSession() {
  MutexLock engine(engine_.mutex);
  ++engine_.selection.generation;
  frame_path_.Slot().Clear();
  worker_.SetSourceIdentity(ContextOf(engine_.selection));
  engine_.PublishSelection();
  return static_cast<std::uint64_t>(engine_.selection.generation);
}

void SessionSources::WriteSrtStatus(JsonWriter& out) {
  const SrtStatus status = srt_receiver_.GetStatus();
  const std::int64_t now = SteadyClockNanoseconds();
  const bool preview_present =
      !engine_.pictures.source_jpeg.empty() || frame_path_.Slot().Latest() != nullptr;
  const bool srt_listening = engine_.srt.listening;
  const bool listening = srt_listening && engine_.selection.selected;
  const bool has_age = listening && status.active && status.has_frame;
  const std::int64_t age_ns = has_age ? std::max<std::int64_t>(now - status.last_frame_at, 0) : 0;

  std::int32_t signal = 4;
  bool online = false;
  bool retained = false;
  bool analysis_allowed = false;
  if (!listening) {
    signal = 4;
  } else if (status.state == "error" || !status.active) {
    signal = 3;
    retained = preview_present;
  } else if (!status.has_frame) {
    signal = 0;
  } else {
    const std::int64_t age_ms = age_ns / 1'000'000;
    if (age_ms < 2500) {
      signal = 1;
      online = retained = analysis_allowed = true;
    } else {
      signal = age_ms < 8000 ? 2 : 3;
      retained = preview_present;
    }
  }

  // The listener's own fields, each key once: nothing here comes from the Example that may have
  // been the source before, and the name is the listener's whatever the stored selection says.
  const std::string& id = engine_.selection.id;
  const char* const name = "SRT listener";
  out.Key("running").Bool(true);
  out.Key("source_type").String(SourceKindName(SourceKind::kSrt));
  out.Key("source_id").String(id).Key("source_name").String(name);
  out.Key("selected_source_id").String(id).Key("selected_source_name").String(name);
  // A caller's stream is open.
  out.Key("source_discovered").Bool(listening && status.state == "live");
  out.Key("source_online").Bool(online);
  out.Key("receiver_state").String(signal == 1 ? "connected" : SignalName(signal));
  out.Key("resolution");
  if (has_age && status.width > 0 && status.height > 0) {
    out.BeginObject().Key("width").Int(status.width).Key("height").Int(status.height).EndObject();
  } else {
    out.Null();
  }
  // The stream does not declare a frame rate the listener could report.
  out.Key("frame_rate_n").Null().Key("frame_rate_d").Null().Key("frame_rate").Null();
  out.Key("source_format").String("SRT");
  out.Key("ndi_format").Null();
  out.Key("frame_age_seconds");
  if (has_age) {
    out.Fixed(static_cast<double>(age_ns) / 1e9, 2);
  } else {
    out.Null();
  }
  out.Key("error").StringOrNull(status.state == "error" ? status.message : std::string());
  out.Key("ndi").Bool(false);
  out.Key("status").String(signal == 1 ? "online" : SignalName(signal));
  out.Key("signal").String(SignalName(signal));
  out.Key("preview_retained").Bool(retained);
  out.Key("frame_analysis_allowed").Bool(analysis_allowed);
  WriteFrameCounters(frame_path_, out);
  out.Key("lan_ipv4").Null();
  SrtSettings& settings = engine_.srt.settings;
  const bool passphrase_set = !settings.passphrase.empty();
  out.Key("srt").BeginObject();
  out.Key("mode").String("listener");
  out.Key("bind_address").String(settings.bind_address);
  out.Key("port").Int(settings.port);
  out.Key("latency_ms").Int(settings.latency_ms);
  out.Key("key_length").Int(passphrase_set ? settings.key_length : 0);
  out.Key("stream_id").String(settings.stream_id);
  out.Key("passphrase_set").Bool(passphrase_set);
  out.Key("listening").Bool(srt_listening);
  out.Key("decoder").StringOrNull(status.decoder);
  out.Key("width").Int(status.width);
  out.Key("height").Int(status.height);
  out.Key("video_packets").Int(status.video_packets);
  out.Key("decode_errors").Int(status.decode_errors);
  out.Key("frames_published").Int(status.frames_published);
  out.Key("error").StringOrNull(status.message);
  out.EndObject();
}

std::string SessionSources::SrtStatusJson() {
  JsonWriter out(kApiJson);
  out.BeginObject();
  WriteSrtStatus(out);
  return out.EndObject().Take();
}

}  // namespace tessvark
