// Choosing, clearing, listing and refreshing the video sources.

#include "session/session_sources.h"

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

namespace tessvark {
namespace {

constexpr char kBlank[] = " \t\r\n";
constexpr char kNotAvailable[] = "This local function is not available in the native prototype.";
constexpr char kNotSaved[] = "Configuration could not be saved";
constexpr char kStopping[] = "The session is stopping.";
constexpr char kExampleUnavailable[] = "Bundled Example source is unavailable";
constexpr char kUnknownExample[] = "Unknown Example source id";

bool IsBlank(const std::string& text) { return text.find_first_not_of(kBlank) == std::string::npos; }

// Selects the source under a new generation and saves; false when the save failed and the
// previous selection is back.
bool ChangeSelection(SessionEngine& engine, SourceKind type, const std::string& id,
                     const std::string& name) REQUIRES(engine.mutex) {
  SourceSelection& selection = engine.selection;
  const SourceSelection previous = selection;
  selection.selected = true;
  selection.type = type;
  selection.id = id;
  selection.name = name;
  if (type == SourceKind::kNdi) selection.remembered_ndi_id = selection.remembered_ndi_name = id;
  ++selection.generation;
  if (SaveConfiguration(engine.zones, selection)) return true;
  selection = previous;
  return false;
}

// A receiver id holds no NUL byte and something besides blanks; the refusal message or empty.
std::string ReceiverIdRefusal(SourceKind kind, const std::string& id) {
  const std::string upper = kind == SourceKind::kOmt ? "OMT" : "NDI";
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

void WriteSourceEntry(const std::string& id, const std::string& name, bool online,
                      const std::string& url, JsonWriter& out) {
  out.BeginObject();
  out.Key("id").String(id);
  out.Key("name").String(name.empty() ? id : name);
  out.Key("online").Bool(online);
  if (!url.empty()) out.Key("url_address").String(url);
  out.EndObject();
}

void WriteSourceEntries(const std::vector<NdiSourceInfo>& sources, bool with_url,
                        JsonWriter& out) {
  for (const NdiSourceInfo& source : sources) {
    if (source.id.empty()) continue;
    WriteSourceEntry(source.id, source.name, source.online,
                     with_url ? source.url_address : std::string(), out);
  }
}

}  // namespace

std::string SessionSources::SourcesJson(bool refresh_requested) {
  const auto [ndi_runtime, omt_runtime] = Runtimes();
  // The first listing finds out whether each library can be used at all, so that a missing or
  // refused runtime says so before anyone asks it to search.
  for (const std::shared_ptr<NdiRuntime>& runtime : {ndi_runtime, omt_runtime}) {
    if (runtime) runtime->CheckLibrary();
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

  MutexLock engine(engine_.mutex);
  SourceSelection& selection = engine_.selection;
  JsonWriter out(kApiJson);
  out.BeginObject();
  if (refresh_requested) out.Key("refresh_requested").Bool(true);
  out.Key("type").String(SourceKindName(SourceKind::kNdi));
  out.Key("selected").StringOrNull(selection.remembered_ndi_id);
  out.Key("sources").BeginArray();
  WriteSourceEntries(ndi.sources, true, out);
  const std::string& remembered = selection.remembered_ndi_id;
  if (!remembered.empty()) {
    bool listed = false;
    for (const NdiSourceInfo& source : ndi.sources) listed = listed || source.id == remembered;
    if (!listed) WriteSourceEntry(remembered, selection.remembered_ndi_name, false, {}, out);
  }
  out.EndArray();
  out.Key("updated_at");
  if (ndi.updated_at > 0.0) {
    out.Double(ndi.updated_at);
  } else {
    out.Null();
  }
  out.Key("runtime_available").Bool(ndi.available);
  out.Key("runtime_message").StringOrNull(ndi.message);
  out.Key("omt").BeginObject();
  out.Key("type").String(SourceKindName(SourceKind::kOmt));
  out.Key("sources").BeginArray();
  WriteSourceEntries(omt.sources, false, out);
  out.EndArray();
  out.Key("runtime_available").Bool(omt.available);
  out.Key("runtime_message").StringOrNull(omt.message);
  out.EndObject();
  return out.EndObject().Take();
}

SessionSources::SessionSources(const std::string& ui_root, SessionEngine& engine,
                               FramePath& frame_path, AnalysisWorker& worker,
                               SessionServer& server, SessionOutputs& outputs, Mutex& settings)
    : ui_root_(ui_root),
      engine_(engine),
      frame_path_(frame_path),
      worker_(worker),
      server_(server),
      outputs_(outputs),
      settings_(settings) {}

RuntimeResponse SessionSources::ListSources() { return MakeOkResponse(SourcesJson(false)); }

RuntimeResponse SessionSources::RefreshSources(const std::string& body) {
  const std::array<std::shared_ptr<NdiRuntime>, 2> runtimes = Runtimes();
  if (IsBlank(body)) {
    for (const std::shared_ptr<NdiRuntime>& runtime : runtimes) {
      if (runtime) runtime->RefreshSources();
    }
    return MakeOkResponse(SourcesJson(true));
  }
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  const JsonValue* type = request->Find("type");
  const std::optional<SourceKind> kind =
      HasExactKeys(*request, {"type"}) && type->kind == JsonKind::kString
          ? ParseSourceKind(type->text)
          : std::nullopt;
  if (kind != SourceKind::kNdi && kind != SourceKind::kOmt) {
    return MakeErrorResponse(400, "Discovery requires type ndi or omt");
  }
  const std::shared_ptr<NdiRuntime>& runtime = kind == SourceKind::kNdi ? runtimes[0] : runtimes[1];
  if (runtime) {
    MutexLock control(control_);
    if (engine_.stopping) return MakeErrorResponse(503, kStopping);
    runtime->Start();
    runtime->RefreshSources();
  }
  return MakeOkResponse(SourcesJson(true));
}

RuntimeResponse SessionSources::SelectSource(const std::string& body) {
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  const JsonValue* type = request->Find("type");
  const JsonValue* id = request->Find("id");
  if (type == nullptr || id == nullptr || type->kind != JsonKind::kString ||
      id->kind != JsonKind::kString) {
    return MakeErrorResponse(422, "Source selection requires type and id");
  }
  const SourceKind kind = ParseSourceKind(type->text).value_or(SourceKind::kNone);
  switch (kind) {
    case SourceKind::kSrt:
      return SelectSrtSource(id->text);
    case SourceKind::kNdi:
    case SourceKind::kOmt:
      return SelectReceiverSource(kind, id->text);
    case SourceKind::kExample:
      return SelectExampleSource(id->text);
    case SourceKind::kRtsp:
    case SourceKind::kIp:
    case SourceKind::kIpCamera:
    case SourceKind::kCapture:
    case SourceKind::kCaptureDevice:
      return MakeErrorResponse(503, kNotAvailable);
    case SourceKind::kNone:
      break;
  }
  return MakeErrorResponse(400, kUnknownExample);
}

bool SessionSources::StopEveryInput() {
  StopSrtListener();
  MutexLock control(control_);
  if (engine_.stopping) return false;
  example_player_.Stop();
  StopReceivers();
  return true;
}

void SessionSources::ResetStateAndOutputs() {
  worker_.RecomputeState();
  outputs_.RequestClear();
}

void SessionSources::ResetForNewSource() {
  ResetExampleInfo();
  frame_path_.DropPictures(engine_);
  worker_.SetSourceIdentity(ContextOf(engine_.selection));
  ResetStateAndOutputs();
  worker_.SetAnalysisEnabled(false);
  server_.SetStateAvailable(false);
}

RuntimeResponse SessionSources::SelectSrtSource(const std::string& id) {
  if (id.find('\0') != std::string::npos || IsBlank(id)) {
    return MakeErrorResponse(400, "A non-empty SRT source id is required");
  }
  if (!StopEveryInput()) return MakeErrorResponse(503, kStopping);
  MutexLock settings(settings_);
  MutexLock engine(engine_.mutex);
  // The old source's pictures go whether or not the choice can be saved.
  frame_path_.DropPictures(engine_);
  const bool saved = ChangeSelection(engine_, SourceKind::kSrt, id, "SRT listener");
  if (saved) {
    worker_.SetSourceIdentity(ContextOf(engine_.selection));
    ResetStateAndOutputs();
  }
  RuntimeResponse reply = saved ? MakeOkResponse(SrtStatusJson())
                                : MakeErrorResponse(500, kNotSaved);
  engine_.PublishSelection();
  return reply;
}

RuntimeResponse SessionSources::SelectReceiverSource(SourceKind kind, const std::string& id) {
  StopSrtListener();
  const std::string refusal = ReceiverIdRefusal(kind, id);
  if (!refusal.empty()) return MakeErrorResponse(400, refusal);
  const auto [ndi_runtime, omt_runtime] = Runtimes();
  const bool ndi = kind == SourceKind::kNdi;
  const std::shared_ptr<NdiRuntime>& chosen = ndi ? ndi_runtime : omt_runtime;
  const std::shared_ptr<NdiRuntime>& other = ndi ? omt_runtime : ndi_runtime;
  MutexLock control(control_);
  if (engine_.stopping) return MakeErrorResponse(503, kStopping);
  if (kind == SourceKind::kOmt) {
    if (!chosen) return MakeErrorResponse(503, "The OMT runtime is not available.");
    chosen->Start();
    if (!chosen->GetLinkSnapshot().runtime_available) {
      return MakeErrorResponse(503, "The OMT runtime is not available.");
    }
  }
  example_player_.Stop();
  {
    MutexLock settings(settings_);
    MutexLock engine(engine_.mutex);
    const bool saved = ChangeSelection(engine_, kind, id, id);
    if (saved) ResetForNewSource();
    engine_.PublishSelection();
    if (!saved) return MakeErrorResponse(500, kNotSaved);
  }
  if (other) other->Stop();
  if (chosen) {
    chosen->Start();
    chosen->SelectSource(id);
  }
  control.Unlock();
  return GetStatus();
}

RuntimeResponse SessionSources::SelectExampleSource(const std::string& id) {
  StopSrtListener();
  MutexLock control(control_);
  if (engine_.stopping) return MakeErrorResponse(503, kStopping);
  example_player_.Stop();

  if (id == "example-1") {
    const std::string path = ui_root_ + "/assets/example/3.mp4";
    if (!std::filesystem::is_regular_file(std::filesystem::status(path))) {
      return MakeErrorResponse(400, kExampleUnavailable);
    }
    {
      MutexLock settings(settings_);
      MutexLock engine(engine_.mutex);
      const bool saved = ChangeSelection(engine_, SourceKind::kExample, id, "Example 1");
      if (saved) {
        ResetForNewSource();
        engine_.example.video_active = true;
      }
      engine_.PublishSelection();
      if (!saved) return MakeErrorResponse(500, kNotSaved);
    }
    StopReceivers();
    example_player_.Start(path, ForwardExampleEvent());
    control.Unlock();
    MutexLock engine(engine_.mutex);
    return MakeOkResponse(ExampleStatusJson(engine_));
  }

  if (id == "example-2") {
    const std::string path = ui_root_ + "/assets/example/1.jpg";
    cv::Mat still;
    if (std::filesystem::is_regular_file(std::filesystem::status(path))) {
      still = cv::imread(path, cv::IMREAD_COLOR);
    }
    if (still.empty()) return MakeErrorResponse(400, kExampleUnavailable);
    StopReceivers();
    control.Unlock();
    MutexLock settings(settings_);
    MutexLock engine(engine_.mutex);
    const bool saved = ChangeSelection(engine_, SourceKind::kExample, id, "Example 2");
    if (saved) {
      ResetExampleInfo();
      worker_.SetSourceIdentity(ContextOf(engine_.selection));
      ResetStateAndOutputs();
      engine_.pictures.source_image = still;
      frame_path_.Analyze(engine_, true, true);
    }
    RuntimeResponse reply = saved ? MakeOkResponse(ExampleStatusJson(engine_))
                                  : MakeErrorResponse(500, kNotSaved);
    engine_.PublishSelection();
    return reply;
  }
  return MakeErrorResponse(400, kUnknownExample);
}

RuntimeResponse SessionSources::ClearSource() {
  if (!StopEveryInput()) return MakeErrorResponse(503, kStopping);
  MutexLock settings(settings_);
  MutexLock engine(engine_.mutex);
  SourceSelection& selection = engine_.selection;
  const SourceSelection previous = selection;
  selection.selected = false;
  selection.type = SourceKind::kNone;
  selection.id.clear();
  selection.name.clear();
  ++selection.generation;
  RuntimeResponse reply;
  if (SaveConfiguration(engine_.zones, selection)) {
    ResetExampleInfo();
    frame_path_.DropPictures(engine_);
    worker_.SetSourceIdentity(std::nullopt);
    ResetStateAndOutputs();
    worker_.SetAnalysisEnabled(false);
    server_.SetStateAvailable(false);
    reply = MakeOkResponse(ExampleStatusJson(engine_));
  } else {
    selection = previous;
    reply = MakeErrorResponse(500, kNotSaved);
  }
  engine_.PublishSelection();
  return reply;
}

}  // namespace tessvark
