#include "session_fixture.h"

#include <unistd.h>

#include <thread>

#include <httplib.h>

#include "app/session_wiring.h"
#include "core/text.h"

namespace tessvark::testing {

void FakeNdiRuntime::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++starts_;
}

void FakeNdiRuntime::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stops_;
}

void FakeNdiRuntime::SelectSource(const std::string& source_id) {
  NdiLinkCallback callback;
  NdiLinkSnapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    selected_ = source_id;
    callback = link_callback_;
    snapshot.runtime_available = true;
    snapshot.state = "connecting";
    snapshot.selected_source = source_id;
  }
  if (callback) callback(snapshot);
}

void FakeNdiRuntime::SetFrameCallback(NdiFrameCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  frame_callback_ = std::move(callback);
}

void FakeNdiRuntime::SetLinkCallback(NdiLinkCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  link_callback_ = std::move(callback);
}

bool FakeNdiRuntime::Deliver(const std::string& source, const cv::Mat& image) {
  NdiFrameCallback callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = frame_callback_;
  }
  if (!callback) return false;
  NdiFrame frame;
  frame.source = source;
  frame.image = image;
  frame.width = image.cols;
  frame.height = image.rows;
  callback(frame);
  return true;
}

int FakeNdiRuntime::starts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return starts_;
}

int FakeNdiRuntime::stops() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stops_;
}

std::string FakeNdiRuntime::selected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return selected_;
}

std::string ExampleFolder() {
  return std::string(TESSVARK_SOURCE_DIR) + "/resources/ui/assets/example";
}

NativeSessionOptions TestSessionOptions(const std::filesystem::path& data_dir) {
  NativeSessionOptions options;
  options.ui_root = std::string(TESSVARK_SOURCE_DIR) + "/resources/ui";
  options.port = 20000 + static_cast<int>((getpid() * 37) % 40000);
  options.port_attempts = 200;
  options.data_dir = data_dir.string();
  options.sports_catalog_path.clear();
  options.enable_ndi = false;
  options.enable_omt = false;
  options.make_server = MakeLocalHttpServer;
  return options;
}

bool StartSession(NativeSession& session) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (session.Start()) return true;
  }
  return false;
}

bool StoreSelection(const std::filesystem::path& data_dir, const std::string& type,
                    const std::string& id, const std::string& zones_from_example,
                    std::string& error) {
  ConfigStore store(data_dir);
  SourceConfiguration configuration;
  store.Load(configuration);
  if (!store.ApplyFactoryDefaults(configuration, ExampleFolder() + "/factory-defaults.json", error)) {
    return false;
  }
  configuration.source_type = type;
  configuration.source_id = id;
  if (!zones_from_example.empty()) {
    const ZoneProfile* example = configuration.FindProfile(ProfileKey("example", zones_from_example));
    if (example == nullptr) {
      error = "no factory-default profile " + zones_from_example;
      return false;
    }
    const ZoneProfile copy = *example;
    ZoneProfile& own = configuration.FindOrAddProfile(ProfileKey(type, id));
    own.zones = copy.zones;
    own.has_zones = copy.has_zones;
    own.corners = copy.corners;
    own.has_geometry = copy.has_geometry;
  }
  return store.Save(configuration, error);
}

namespace {

// Takes every complete "data: ..." line out of `buffer`.
void TakeEvents(std::string& buffer, std::vector<std::string>& events) {
  while (true) {
    const std::size_t end = buffer.find("\n\n");
    if (end == std::string::npos) return;
    const std::string block = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    const std::size_t data = block.find("data: ");
    if (data == std::string::npos) continue;
    const std::size_t line_end = block.find('\n', data);
    events.push_back(block.substr(data + 6, line_end == std::string::npos ? std::string::npos
                                                                           : line_end - data - 6));
  }
}

}  // namespace

std::optional<JsonValue> WaitForStateEvent(int port,
                                           const std::function<bool(const JsonValue&)>& accept,
                                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<JsonValue> found;
  while (!found && std::chrono::steady_clock::now() < deadline) {
    httplib::Client client("127.0.0.1", port);
    // A stream that stays silent this long is opened again, so the deadline is looked at.
    client.set_read_timeout(std::chrono::seconds(5));
    std::string buffer;
    client.Get("/api/ui/state/stream", [&](const char* data, std::size_t length) {
      buffer.append(data, length);
      std::vector<std::string> events;
      TakeEvents(buffer, events);
      for (const std::string& event : events) {
        try {
          JsonValue state = ParseJson(event);
          if (accept(state)) {
            found = std::move(state);
            return false;
          }
        } catch (const std::exception&) {
        }
      }
      return std::chrono::steady_clock::now() < deadline;
    });
    if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return found;
}

std::string ReadCsrfToken(int port) {
  httplib::Client client("127.0.0.1", port);
  const httplib::Result page = client.Get("/");
  if (!page || page->status != 200) return {};
  const std::string marker = "const CSRF_TOKEN = '";
  const std::size_t at = page->body.find(marker);
  if (at == std::string::npos) return {};
  const std::size_t start = at + marker.size();
  return page->body.substr(start, page->body.find('\'', start) - start);
}

std::string StateText(const JsonValue& state, const std::string& key) {
  const JsonValue* value = state.FindMember(key.c_str());
  if (value == nullptr || value->kind == JsonKind::kNull) return "";
  if (value->kind == JsonKind::kString) return std::string(TrimAsciiWhitespace(value->text));
  return value->text;
}

std::map<std::string, std::string> TruthByStateKey(const std::vector<FieldTruth>& fields,
                                                   const std::vector<std::string>& keys) {
  std::map<std::string, std::string> truth;
  for (const FieldTruth& field : fields) {
    std::string key = field.name;
    if (key == "home_score") key = "home";
    if (key == "guest_score") key = "guest";
    for (const std::string& wanted : keys) {
      if (wanted == key) truth[key] = std::string(TrimAsciiWhitespace(field.text));
    }
  }
  return truth;
}

}  // namespace tessvark::testing
