#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/json_value.h"
#include "session/native_session.h"
#include "settings/config_store.h"
#include "sources/ndi_runtime.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_until.h"
#include "tools/render/scoreboard_render.h"

namespace tessvark::testing {

// How long a test that follows the Example clip as it plays waits for what the clip shows. The
// player keeps to the wall clock: a decoder slower than the clip (an instrumented build on a
// crowded machine) catches up by decoding the clip from its start again, so a picture may come
// only once per pass over the clip. The wait ends as soon as its event comes; the deadline only
// marks a failure.
inline constexpr std::chrono::milliseconds kClipPatience = 10 * kPatience;

// A network video runtime that delivers what the test hands it, on the test's thread.
class FakeNdiRuntime : public NdiRuntime {
 public:
  void Start() override;
  void Stop() override;
  void CheckLibrary() override {}
  void RefreshSources() override {}
  std::vector<NdiSourceInfo> ListSources() override { return {}; }
  double SourcesUpdatedAt() override { return 0.0; }
  void SelectSource(const std::string& source_id) override;
  void ClearSelection() override {}
  NdiLinkSnapshot GetLinkSnapshot() override { return {}; }
  NdiCounters GetCounters() override { return {}; }
  void SetFrameCallback(NdiFrameCallback callback) override;
  void SetLinkCallback(NdiLinkCallback callback) override;

  // Hands the picture to the installed frame callback; false when none is installed.
  bool Deliver(const std::string& source, const cv::Mat& image);
  int starts();
  int stops();
  std::string selected();

 private:
  std::mutex mutex_;
  NdiFrameCallback frame_callback_;
  NdiLinkCallback link_callback_;
  int starts_ = 0;
  int stops_ = 0;
  std::string selected_;
};

std::string ExampleFolder();
// Options of a session on 127.0.0.1 with the shipped interface folder and the given data folder.
NativeSessionOptions TestSessionOptions(const std::filesystem::path& data_dir);
// Starts the session, retrying when a test program running beside it took the probed port.
bool StartSession(NativeSession& session);

// Writes a configuration that selects the source, with the factory-default zones and geometry of
// the Example profile `zones_from_example` (none when empty) copied to that source's own profile.
bool StoreSelection(const std::filesystem::path& data_dir, const std::string& type,
                    const std::string& id, const std::string& zones_from_example,
                    std::string& error);

// Reads the scoreboard event stream of the server on `port` (reconnecting while the state is not
// yet available) and returns the data of the first event that `accept` accepts, or nothing when
// none came before the deadline.
std::optional<JsonValue> WaitForStateEvent(int port, const std::function<bool(const JsonValue&)>& accept,
                                           std::chrono::milliseconds timeout);

// The CSRF token the server hands out in its index page; empty when none came.
std::string ReadCsrfToken(int port);

// A state member as text: a number's literal, a string's trimmed text, "" for null.
std::string StateText(const JsonValue& state, const std::string& key);

// The state keys and the drawn truth they must match, for the roles a board shows.
std::map<std::string, std::string> TruthByStateKey(const std::vector<FieldTruth>& fields,
                                                   const std::vector<std::string>& keys);

}  // namespace tessvark::testing
