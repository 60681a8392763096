#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "zone_api_client.h"

namespace tessvark::testing {

// A network video runtime whose discovery list and link snapshot the test writes.
class ScriptedNdiRuntime : public FakeNdiRuntime {
 public:
  void RefreshSources() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++refreshes_;
  }
  // Shows the refusal set with RefuseLibrary, as a library check that fails does.
  void CheckLibrary() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++checks_;
    if (refusal_.empty()) return;
    snapshot_.runtime_available = false;
    snapshot_.state = "offline";
    snapshot_.message = refusal_;
  }
  std::vector<NdiSourceInfo> ListSources() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_;
  }
  double SourcesUpdatedAt() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_updated_at_;
  }
  NdiLinkSnapshot GetLinkSnapshot() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
  }

  void SetSources(std::vector<NdiSourceInfo> sources, double updated_at) {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_ = std::move(sources);
    sources_updated_at_ = updated_at;
  }
  void SetSnapshot(NdiLinkSnapshot snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = std::move(snapshot);
  }
  int refreshes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refreshes_;
  }
  void RefuseLibrary(std::string message) {
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = std::move(message);
  }
  int checks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return checks_;
  }

 private:
  std::mutex mutex_;
  std::vector<NdiSourceInfo> sources_;
  double sources_updated_at_ = 0.0;
  NdiLinkSnapshot snapshot_;
  int refreshes_ = 0;
  int checks_ = 0;
  std::string refusal_;
};

// Seconds since 1970, the time base of a link snapshot.
inline double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A started session on its own data folder with a scripted NDI runtime, the stored selection
// `type`/`id` (none when `type` is empty) and a client of its routes.
struct ReceiverSession {
  explicit ReceiverSession(const std::string& name) : folder(name) {}

  bool Start(const std::string& type, const std::string& id) {
    std::string error;
    if (!type.empty() && !StoreSelection(folder.path(), type, id, "", error)) return false;
    NativeSessionOptions options = TestSessionOptions(folder.path());
    options.ndi_runtime = runtime;
    options.sports_catalog_path = sports_catalog_path;
    session = std::make_unique<NativeSession>(std::move(options));
    if (!StartSession(*session)) return false;
    api = std::make_unique<ZoneApiClient>(session->Server().Port());
    return true;
  }

  TempFolder folder;
  std::string sports_catalog_path;  // none unless set before Start
  std::shared_ptr<ScriptedNdiRuntime> runtime = std::make_shared<ScriptedNdiRuntime>();
  std::unique_ptr<NativeSession> session;
  std::unique_ptr<ZoneApiClient> api;
};

}  // namespace tessvark::testing
