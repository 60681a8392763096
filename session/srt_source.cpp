// The SRT listener as a source: its settings, the listening switch, its status and the new
// source generation of every incoming stream.

#include <chrono>
#include <cmath>
#include <limits>

#include "core/json_text.h"
#include "session/reply_json.h"
#include "session/native_session.h"

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

RuntimeResponse NativeSession::SetSrtSettings(const std::string& body) {
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  SessionState& state = *state_;
  SrtSettings settings;
  PassphraseWipe wipe_settings(settings);
  bool was_listening = false;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    settings = state.srt_settings;
    was_listening = state.srt_listening;
  }
  const std::string overlay_error = OverlaySrtSettings(*request, settings);
  if (!overlay_error.empty()) return MakeErrorResponse(400, overlay_error);
  ValidatedSrtSettings checked = ValidateSrtSettings(settings);
  PassphraseWipe wipe_checked(checked.settings);
  if (!checked.ok) return MakeErrorResponse(400, checked.message);

  if (was_listening) StopSrtListener();
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    WipeString(state.srt_settings.passphrase);
    state.srt_settings = checked.settings;
  }
  if (was_listening) return SetSrtListening("{\"listening\":true}");
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  const bool srt = state.selected && state.source_type == "srt";
  return MakeOkResponse(srt ? SrtStatusJson(state) : ExampleStatusJson(state));
}

RuntimeResponse NativeSession::SetSrtListening(const std::string& body) {
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  const JsonValue* listening = request->Find("listening");
  if (listening == nullptr || listening->kind != JsonKind::kBool) {
    return MakeErrorResponse(400, "SRT listening requires a boolean");
  }
  SessionState& state = *state_;

  if (!listening->bool_value) {
    StopSrtListener();
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    ++state.source_generation;
    state.frame_slot.Clear();
    state.source_jpeg.clear();
    state.working_jpeg.clear();
    state.source_image.release();
    state.working_image.release();
    ResetStateAndOutputs();
    worker_.ClearResults();
    std::string reply = state.source_type == "srt" ? SrtStatusJson(state) : ExampleStatusJson(state);
    PublishSourceIdentity(state);
    return MakeOkResponse(std::move(reply));
  }

  std::unique_lock<std::mutex> control = LockControl();
  if (state.stopping) return MakeErrorResponse(503, kStoppingDetail);
  SrtSettings settings;
  PassphraseWipe wipe_settings(settings);
  std::string label;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    if (!state.selected || state.source_type != "srt") {
      PublishSourceIdentity(state);
      return MakeErrorResponse(400, "Select the SRT source before listening");
    }
    settings = state.srt_settings;
    label = state.source_id;
    ++state.source_generation;
    state.frame_slot.Clear();
    state.srt_listening = true;
    worker_.SetSourceIdentity(CurrentSourceContext(state));
    PublishSourceIdentity(state);
  }
  const bool started = state.srt_receiver.Start(settings, &state.frame_slot, label,
                                                [this] { return BeginSrtSession(); });
  control.unlock();
  if (started) {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    return MakeOkResponse(SrtStatusJson(state));
  }
  std::string message = state.srt_receiver.GetStatus().message;
  if (message.empty()) message = "cannot listen for SRT";
  StopSrtListener();
  return MakeErrorResponse(400, message);
}

void NativeSession::StopSrtListener() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> control(state_->control_mutex);
    state_->srt_receiver.Stop();
  }
  std::lock_guard<std::mutex> engine(state_->engine_mutex);
  state_->srt_listening = false;
}

std::uint64_t NativeSession::BeginSrtSession() {
  SessionState& state = *state_;
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  ++state.source_generation;
  state.frame_slot.Clear();
  worker_.SetSourceIdentity(CurrentSourceContext(state));
  PublishSourceIdentity(state);
  return static_cast<std::uint64_t>(state.source_generation);
}

std::string SrtStatusJson(SessionState& state) {
  const SrtStatus status = state.srt_receiver.GetStatus();
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  const bool preview_present = !state.source_jpeg.empty() || state.frame_slot.Latest() != nullptr;

  std::int32_t signal = 4;
  bool online = false;
  bool retained = false;
  bool analysis_allowed = false;
  if (!state.srt_listening || !state.selected) {
    signal = 4;
  } else if (status.state == "error" || !status.active) {
    signal = 3;
    retained = preview_present;
  } else if (!status.has_frame) {
    signal = 0;
  } else {
    const std::int64_t age_ms = (now - status.last_frame_at) / 1'000'000;
    if (age_ms < 2500) {
      signal = 1;
      online = retained = analysis_allowed = true;
    } else {
      signal = age_ms < 8000 ? 2 : 3;
      retained = preview_present;
    }
  }

  std::string out = ExampleStatusJson(state);
  out.pop_back();
  out += ",\"signal\":" + QuotedJsonText(SignalName(signal));
  out += ",\"source_online\":";
  out += JsonBool(online);
  out += ",\"preview_retained\":";
  out += JsonBool(retained);
  out += ",\"frame_analysis_allowed\":";
  out += JsonBool(analysis_allowed);
  out += ",\"receiver_state\":" + QuotedJsonText(signal == 1 ? "connected" : SignalName(signal));
  const SrtSettings& settings = state.srt_settings;
  const bool passphrase_set = !settings.passphrase.empty();
  out += ",\"srt\":{\"mode\":\"listener\",\"bind_address\":" + QuotedJsonText(settings.bind_address);
  out += ",\"port\":" + std::to_string(settings.port);
  out += ",\"latency_ms\":" + std::to_string(settings.latency_ms);
  out += ",\"key_length\":" + std::to_string(passphrase_set ? settings.key_length : 0);
  out += ",\"stream_id\":" + QuotedJsonText(settings.stream_id);
  out += ",\"passphrase_set\":";
  out += JsonBool(passphrase_set);
  out += ",\"listening\":";
  out += JsonBool(state.srt_listening);
  out += ",\"decoder\":" + (status.decoder.empty() ? std::string("null") : QuotedJsonText(status.decoder));
  out += ",\"width\":" + std::to_string(status.width);
  out += ",\"height\":" + std::to_string(status.height);
  out += ",\"video_packets\":" + std::to_string(status.video_packets);
  out += ",\"decode_errors\":" + std::to_string(status.decode_errors);
  out += ",\"frames_published\":" + std::to_string(status.frames_published);
  out += ",\"error\":" + (status.message.empty() ? std::string("null") : QuotedJsonText(status.message));
  out += "}}";
  return out;
}

}  // namespace tessvark
