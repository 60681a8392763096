// Choosing, clearing, listing and refreshing the video sources.

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "core/json_text.h"
#include "session/native_session.h"
#include "session/reply_json.h"

namespace tessvark {
namespace {

constexpr char kBlank[] = " \t\r\n";
constexpr char kNotAvailable[] = "This local function is not available in the native prototype.";
constexpr char kNotSaved[] = "Configuration could not be saved";
constexpr char kStopping[] = "The session is stopping.";
constexpr char kExampleUnavailable[] = "Bundled Example source is unavailable";
constexpr char kUnknownExample[] = "Unknown Example source id";

bool IsBlank(const std::string& text) { return text.find_first_not_of(kBlank) == std::string::npos; }

// The selection as it was before a change, put back when the change cannot be saved.
struct PreviousSelection {
  bool selected;
  std::string type;
  std::string id;
  std::string name;
  std::int32_t generation;
  std::string ndi_id;
  std::string ndi_name;
};

PreviousSelection RememberSelection(const SessionState& state) {
  return {state.selected,          state.source_type,       state.source_id,
          state.source_name,       state.source_generation, state.remembered_ndi_id,
          state.remembered_ndi_name};
}

void RestoreSelection(SessionState& state, PreviousSelection previous) {
  state.selected = previous.selected;
  state.source_type = std::move(previous.type);
  state.source_id = std::move(previous.id);
  state.source_name = std::move(previous.name);
  state.source_generation = previous.generation;
  state.remembered_ndi_id = std::move(previous.ndi_id);
  state.remembered_ndi_name = std::move(previous.ndi_name);
}

// Selects the source under a new generation and saves; false when the save failed and the
// previous selection is back. The engine mutex is held.
bool ChangeSelection(SessionState& state, const std::string& type, const std::string& id,
                     const std::string& name) {
  PreviousSelection previous = RememberSelection(state);
  state.selected = true;
  state.source_type = type;
  state.source_id = id;
  state.source_name = name;
  if (type == "ndi") state.remembered_ndi_id = state.remembered_ndi_name = id;
  ++state.source_generation;
  if (SaveConfiguration(state)) return true;
  RestoreSelection(state, std::move(previous));
  return false;
}

void DropPictures(SessionState& state) {
  state.source_image.release();
  state.working_image.release();
  state.source_jpeg.clear();
  state.working_jpeg.clear();
  state.frame_slot.Clear();
}

// A receiver id holds no NUL byte and something besides blanks; the refusal message or empty.
std::string ReceiverIdRefusal(const std::string& kind, const std::string& id) {
  const std::string upper = kind == "omt" ? "OMT" : "NDI";
  if (id.find('\0') != std::string::npos) return "Invalid " + upper + " source id";
  if (IsBlank(id)) return "A non-empty " + upper + " source id is required";
  return {};
}

struct SourceListing {
  std::vector<NdiSourceInfo> sources;
  double updated_at = 0.0;
  bool available = true;
  std::string message;
};

void AppendSourceEntry(std::string& out, const std::string& id, const std::string& name,
                       bool online, const std::string& url) {
  out += "{\"id\":" + QuotedJsonText(id);
  out += ",\"name\":" + QuotedJsonText(name.empty() ? id : name);
  out += ",\"online\":";
  out += JsonBool(online);
  if (!url.empty()) out += ",\"url_address\":" + QuotedJsonText(url);
  out += "}";
}

void AppendSourceEntries(std::string& out, const std::vector<NdiSourceInfo>& sources,
                         bool with_url) {
  bool first = true;
  for (const NdiSourceInfo& source : sources) {
    if (source.id.empty()) continue;
    if (!first) out += ",";
    first = false;
    AppendSourceEntry(out, source.id, source.name, source.online,
                      with_url ? source.url_address : std::string());
  }
}

std::string OptionalQuoted(const std::string& text) {
  return text.empty() ? "null" : QuotedJsonText(text);
}

std::string SourcesJson(SessionState& state, bool refresh_requested) {
  std::shared_ptr<NdiRuntime> ndi_runtime;
  std::shared_ptr<NdiRuntime> omt_runtime;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    ndi_runtime = state.ndi_runtime;
    omt_runtime = state.omt_runtime;
  }
  SourceListing ndi;
  if (ndi_runtime) {
    ndi.sources = ndi_runtime->ListSources();
    ndi.updated_at = ndi_runtime->SourcesUpdatedAt();
    const NdiLinkSnapshot snapshot = ndi_runtime->GetLinkSnapshot();
    if (!snapshot.runtime_available && !snapshot.message.empty()) {
      ndi.available = false;
      ndi.message = snapshot.message;
    }
  }
  SourceListing omt;
  omt.available = omt_runtime != nullptr;
  if (omt_runtime) {
    omt.sources = omt_runtime->ListSources();
    const std::string message = omt_runtime->GetLinkSnapshot().message;
    // A library that loaded but cannot be used says "did not use it".
    for (const char* missing : {"did not load", "did not use", "not available", "not installed"}) {
      if (message.find(missing) != std::string::npos) {
        omt.available = false;
        omt.message = message;
      }
    }
  }

  std::lock_guard<std::mutex> engine(state.engine_mutex);
  std::string out = refresh_requested ? "{\"refresh_requested\":true," : "{";
  out += "\"type\":\"ndi\",\"selected\":" + OptionalQuoted(state.remembered_ndi_id);
  out += ",\"sources\":[";
  AppendSourceEntries(out, ndi.sources, true);
  const std::string& remembered = state.remembered_ndi_id;
  if (!remembered.empty()) {
    bool listed = false;
    for (const NdiSourceInfo& source : ndi.sources) listed = listed || source.id == remembered;
    if (!listed) {
      if (out.back() != '[') out += ",";
      AppendSourceEntry(out, remembered, state.remembered_ndi_name, false, {});
    }
  }
  out += "],\"updated_at\":";
  out += ndi.updated_at > 0.0 ? FormatJsonNumber(ndi.updated_at) : std::string("null");
  out += ",\"runtime_available\":";
  out += JsonBool(ndi.available);
  out += ",\"runtime_message\":" + OptionalQuoted(ndi.message);
  out += ",\"omt\":{\"type\":\"omt\",\"sources\":[";
  AppendSourceEntries(out, omt.sources, false);
  out += "],\"runtime_available\":";
  out += JsonBool(omt.available);
  out += ",\"runtime_message\":" + OptionalQuoted(omt.message) + "}}";
  return out;
}

}  // namespace

RuntimeResponse NativeSession::ListSources() { return MakeOkResponse(SourcesJson(*state_, false)); }

RuntimeResponse NativeSession::RefreshSources(const std::string& body) {
  SessionState& state = *state_;
  std::shared_ptr<NdiRuntime> runtimes[2];
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    runtimes[0] = state.ndi_runtime;
    runtimes[1] = state.omt_runtime;
  }
  if (IsBlank(body)) {
    for (const std::shared_ptr<NdiRuntime>& runtime : runtimes) {
      if (runtime) runtime->RefreshSources();
    }
    return MakeOkResponse(SourcesJson(state, true));
  }
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  const JsonValue* type = request->Find("type");
  if (!HasExactKeys(*request, {"type"}) || type->kind != JsonKind::kString ||
      (type->text != "ndi" && type->text != "omt")) {
    return MakeErrorResponse(400, "Discovery requires type ndi or omt");
  }
  const std::shared_ptr<NdiRuntime>& runtime = type->text == "ndi" ? runtimes[0] : runtimes[1];
  if (runtime) {
    std::unique_lock<std::mutex> control = LockControl();
    if (state.stopping) return MakeErrorResponse(503, kStopping);
    runtime->Start();
    runtime->RefreshSources();
  }
  return MakeOkResponse(SourcesJson(state, true));
}

RuntimeResponse NativeSession::SelectSource(const std::string& body) {
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  const JsonValue* type = request->Find("type");
  const JsonValue* id = request->Find("id");
  if (type == nullptr || id == nullptr || type->kind != JsonKind::kString ||
      id->kind != JsonKind::kString) {
    return MakeErrorResponse(422, "Source selection requires type and id");
  }
  const std::string& kind = type->text;
  for (const char* unavailable : {"rtsp", "ip", "ip_camera", "capture", "capture_device"}) {
    if (kind == unavailable) return MakeErrorResponse(503, kNotAvailable);
  }
  if (kind == "srt") return SelectSrtSource(id->text);
  if (kind == "ndi" || kind == "omt") return SelectReceiverSource(kind, id->text);
  if (kind == "example") return SelectExampleSource(id->text);
  return MakeErrorResponse(400, kUnknownExample);
}

bool NativeSession::StopEveryInput() {
  StopSrtListener();
  const std::unique_lock<std::mutex> control = LockControl();
  if (state_->stopping) return false;
  example_player_->Stop();
  StopReceivers();
  return true;
}

void NativeSession::ResetForNewSource() {
  SessionState& state = *state_;
  ResetExampleInfo();
  DropPictures(state);
  worker_.SetSourceIdentity(CurrentSourceContext(state));
  ResetStateAndOutputs();
  worker_.SetAnalysisEnabled(false);
  server_.SetStateAvailable(false);
}

RuntimeResponse NativeSession::SelectSrtSource(const std::string& id) {
  if (id.find('\0') != std::string::npos || IsBlank(id)) {
    return MakeErrorResponse(400, "A non-empty SRT source id is required");
  }
  SessionState& state = *state_;
  if (!StopEveryInput()) return MakeErrorResponse(503, kStopping);
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  // The old source's pictures go whether or not the choice can be saved.
  DropPictures(state);
  const bool saved = ChangeSelection(state, "srt", id, "SRT listener");
  if (saved) {
    worker_.SetSourceIdentity(CurrentSourceContext(state));
    ResetStateAndOutputs();
  }
  RuntimeResponse reply = saved ? MakeOkResponse(SrtStatusJson(state))
                                : MakeErrorResponse(500, kNotSaved);
  PublishSourceIdentity(state);
  return reply;
}

RuntimeResponse NativeSession::SelectReceiverSource(const std::string& kind,
                                                    const std::string& id) {
  SessionState& state = *state_;
  StopSrtListener();
  const std::string refusal = ReceiverIdRefusal(kind, id);
  if (!refusal.empty()) return MakeErrorResponse(400, refusal);
  std::shared_ptr<NdiRuntime> chosen;
  std::shared_ptr<NdiRuntime> other;
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    chosen = kind == "ndi" ? state.ndi_runtime : state.omt_runtime;
    other = kind == "ndi" ? state.omt_runtime : state.ndi_runtime;
  }
  std::unique_lock<std::mutex> control = LockControl();
  if (state.stopping) return MakeErrorResponse(503, kStopping);
  if (kind == "omt") {
    if (!chosen) return MakeErrorResponse(503, "The OMT runtime is not available.");
    chosen->Start();
    if (!chosen->GetLinkSnapshot().runtime_available) {
      return MakeErrorResponse(503, "The OMT runtime is not available.");
    }
  }
  example_player_->Stop();
  {
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    const bool saved = ChangeSelection(state, kind, id, id);
    if (saved) ResetForNewSource();
    PublishSourceIdentity(state);
    if (!saved) return MakeErrorResponse(500, kNotSaved);
  }
  if (other) other->Stop();
  if (chosen) {
    chosen->Start();
    chosen->SelectSource(id);
  }
  control.unlock();
  return GetStatus();
}

RuntimeResponse NativeSession::SelectExampleSource(const std::string& id) {
  SessionState& state = *state_;
  StopSrtListener();
  std::unique_lock<std::mutex> control = LockControl();
  if (state.stopping) return MakeErrorResponse(503, kStopping);
  example_player_->Stop();

  if (id == "example-1") {
    const std::string path = options_.ui_root + "/assets/example/3.mp4";
    if (!std::filesystem::is_regular_file(std::filesystem::status(path))) {
      return MakeErrorResponse(400, kExampleUnavailable);
    }
    {
      std::lock_guard<std::mutex> engine(state.engine_mutex);
      const bool saved = ChangeSelection(state, "example", id, "Example 1");
      if (saved) {
        ResetForNewSource();
        state.example_video_active = true;
      }
      PublishSourceIdentity(state);
      if (!saved) return MakeErrorResponse(500, kNotSaved);
    }
    StopReceivers();
    example_player_->Start(path, ForwardExampleEvent());
    control.unlock();
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    return MakeOkResponse(ExampleStatusJson(state));
  }

  if (id == "example-2") {
    const std::string path = options_.ui_root + "/assets/example/1.jpg";
    cv::Mat still;
    if (std::filesystem::is_regular_file(std::filesystem::status(path))) {
      still = cv::imread(path, cv::IMREAD_COLOR);
    }
    if (still.empty()) return MakeErrorResponse(400, kExampleUnavailable);
    StopReceivers();
    control.unlock();
    std::lock_guard<std::mutex> engine(state.engine_mutex);
    const bool saved = ChangeSelection(state, "example", id, "Example 2");
    if (saved) {
      ResetExampleInfo();
      worker_.SetSourceIdentity(CurrentSourceContext(state));
      ResetStateAndOutputs();
      state.source_image = still;
      AnalyzeFrame(true, true);
    }
    RuntimeResponse reply = saved ? MakeOkResponse(ExampleStatusJson(state))
                                  : MakeErrorResponse(500, kNotSaved);
    PublishSourceIdentity(state);
    return reply;
  }
  return MakeErrorResponse(400, kUnknownExample);
}

RuntimeResponse NativeSession::ClearSource() {
  SessionState& state = *state_;
  if (!StopEveryInput()) return MakeErrorResponse(503, kStopping);
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  PreviousSelection previous = RememberSelection(state);
  state.selected = false;
  state.source_type = "none";
  state.source_id.clear();
  state.source_name.clear();
  ++state.source_generation;
  RuntimeResponse reply;
  if (SaveConfiguration(state)) {
    ResetExampleInfo();
    DropPictures(state);
    worker_.SetSourceIdentity(std::nullopt);
    ResetStateAndOutputs();
    worker_.SetAnalysisEnabled(false);
    server_.SetStateAvailable(false);
    reply = MakeOkResponse(ExampleStatusJson(state));
  } else {
    RestoreSelection(state, std::move(previous));
    reply = MakeErrorResponse(500, kNotSaved);
  }
  PublishSourceIdentity(state);
  return reply;
}

}  // namespace tessvark
