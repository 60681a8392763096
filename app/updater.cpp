#include "app/updater.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "app/update_manifest.h"
#include "core/sha256.h"
#include "core/text.h"
#include "platform/atomic_file.h"
#include "platform/https_get.h"
#include "platform/private_temp_folder.h"
#include "platform/process_spawn.h"

namespace tessvark {

namespace {

constexpr std::uint64_t kManifestLimit = 65536;

bool MatchesManifestDigest(const std::string& bytes, const UpdateManifest& manifest) {
  return bytes.size() == manifest.size && Sha256Hex(bytes) == manifest.sha256;
}

void RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

struct Updater::Core {
  explicit Core(UpdaterSettings s) : settings(std::move(s)) {}

  const UpdaterSettings settings;

  // The update mutex guards the fields from `state` to `quit`; no network or file work is done
  // while it is held, and no other lock is taken under it.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // a check or download ended, or stopping was set
  UpdateState state;
  // The manifest the running download or the ready installer belongs to. An installer is
  // verified against it, not against a newer manifest accepted since.
  UpdateManifest installer_manifest;
  bool checking = false;
  bool downloading = false;
  bool installing = false;
  bool periodic_started = false;
  bool periodic_running = false;
  bool stopping = false;
  std::function<void()> quit;

  std::mutex folder_mutex;        // guards installer_folder, which is made under it
  std::string installer_folder;  // made on the first download that needs it

  // Marks a check as running; false when one runs already.
  bool ClaimCheck() {
    std::lock_guard<std::mutex> lock(mutex);
    if (checking) return false;
    checking = true;
    if (!state.update_pending) state.state = "checking";
    return true;
  }

  void StartCheck(const std::shared_ptr<Core>& self) {
    if (!ClaimCheck()) return;
    try {
      std::thread([self] { self->RunClaimedCheck(); }).detach();
    } catch (...) {
      EndCheck();
      throw;
    }
  }

  std::string StatusJson() const {
    std::lock_guard<std::mutex> lock(mutex);
    return WriteUpdateStatusJson(state);
  }

  void RunClaimedCheck() {
    std::string text;
    if (Fetch(std::string("https://") + settings.channel.host + kUpdateManifestPath, kManifestLimit,
              text)) {
      ApplyManifestText(text);
    } else {
      SetUpdateError("network");
    }
    EndCheck();
  }

  void EndCheck() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      checking = false;
    }
    changed.notify_all();
  }

  // A GET of an address on the update server under "/updates/".
  bool Fetch(const std::string& url, std::uint64_t limit, std::string& out) const {
    if (!IsAllowedUpdateUrl(url, "", settings.channel.host)) return false;
    const std::string rest = url.substr(std::string("https://").size());
    const std::size_t slash = rest.find('/');
    HttpsRequest request;
    request.host = ToLowerAscii(rest.substr(0, slash));
    request.path = rest.substr(slash);
    request.port = settings.channel.port;
    request.connect_address = settings.channel.connect_address;
    request.ca_file = settings.channel.ca_file;
    return HttpsGet(request, limit, out);
  }

  void ApplyManifestText(const std::string& text) {
    std::uint8_t key[32];
    if (!DecodeUpdatePublicKey(settings.channel.public_key, key)) {
      return SetUpdateError("public_key_missing");
    }
    const ManifestCheckResult result =
        ParseAndVerifyManifest(text, key, RunningBuild(), settings.channel.host);
    switch (result.code) {
      case ManifestCheckCode::kNewer:
        return SetUpdateAvailable(result.manifest);
      case ManifestCheckCode::kSame:
      case ManifestCheckCode::kOlder:
        return SetUpToDate();
      case ManifestCheckCode::kBadSignature:
        return SetUpdateError("signature_invalid");
      default:
        return SetUpdateError("invalid_metadata");
    }
  }

  // Once a newer manifest was accepted, later checks never hide it.
  void SetUpdateAvailable(const UpdateManifest& manifest) {
    std::lock_guard<std::mutex> lock(mutex);
    state.state = "update_available";
    state.update_pending = true;
    state.manifest = manifest;
    state.error.clear();
    state.phase = "idle";
  }

  void SetUpToDate() {
    std::lock_guard<std::mutex> lock(mutex);
    if (state.update_pending) return;
    state.state = "up_to_date";
    state.error.clear();
    state.phase = "idle";
  }

  void SetUpdateError(const std::string& code) {
    std::lock_guard<std::mutex> lock(mutex);
    state.error = code;
    if (state.update_pending) return;
    state.state = "error";
    state.phase = "idle";
  }

  // Back to the offer of the pending update after a failed download or installation.
  void ReturnToAvailableLocked(const std::string& code) {
    state.error = code;
    state.state = "update_available";
    state.phase = "failed";
  }

  bool StartDownload(const std::shared_ptr<Core>& self) {
    UpdateManifest manifest;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!state.update_pending || state.manifest.url.empty() || installing) return false;
      state.state = "downloading";
      state.phase = "downloading";
      if (downloading) return true;
      state.bytes_downloaded = 0;
      installer_manifest = state.manifest;
      manifest = state.manifest;
      downloading = true;
    }
    try {
      std::thread([self, manifest] { self->Download(manifest); }).detach();
    } catch (...) {
      EndDownload("install_failed");
      throw;
    }
    return true;
  }

  void Download(const UpdateManifest& manifest) {
    std::string bytes;
    if (!Fetch(manifest.url, manifest.size, bytes) || !MatchesManifestDigest(bytes, manifest)) {
      return EndDownload("checksum_mismatch");
    }
    const std::string folder = InstallerFolder();
    if (folder.empty()) return EndDownload("install_failed");
    const std::string path =
        folder + "/" + kInstallerNamePrefix + std::to_string(manifest.build) + kInstallerSuffix;
    // Whatever stands at the name is replaced, never written through: a link planted there
    // cannot redirect the installer.
    RemoveQuietly(path);
    if (!WriteNewFileDurably(path, bytes, 0700)) return EndDownload("install_failed");
    bytes = std::string();
    std::string written;
    if (!ReadFileExact(path, manifest.size, written) || !MatchesManifestDigest(written, manifest)) {
      RemoveQuietly(path);
      return EndDownload("checksum_mismatch");
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      state.state = "ready_to_install";
      state.phase = "ready";
      state.bytes_downloaded = manifest.size;
      state.installer_path = path;
      state.error.clear();
      downloading = false;
    }
    changed.notify_all();
  }

  void EndDownload(const std::string& failure) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ReturnToAvailableLocked(failure);
      downloading = false;
    }
    changed.notify_all();
  }

  // The private folder of the installers, made once; empty while it cannot be made.
  std::string InstallerFolder() {
    std::lock_guard<std::mutex> lock(folder_mutex);
    if (installer_folder.empty()) {
      const std::string parent = settings.temp_parent.empty()
                                     ? SystemTempFolder(ReadProcessEnvironment)
                                     : settings.temp_parent;
      installer_folder = MakePrivateFolder(parent, "tessvark-update-");
    }
    return installer_folder;
  }

  bool Install() {
    std::string path;
    UpdateManifest manifest;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (state.state != "ready_to_install" || installing || state.installer_path.empty() ||
          state.installer_path.find('"') != std::string::npos ||
          state.installer_path.find("..") != std::string::npos) {
        return false;
      }
      // Claimed here, so that a second request cannot start the installer again and no
      // download replaces the file while it is checked and started.
      installing = true;
      state.state = "installing";
      state.phase = "installing";
      path = state.installer_path;
      manifest = installer_manifest;
    }
    std::string bytes;
    if (!ReadFileExact(path, manifest.size, bytes) || !MatchesManifestDigest(bytes, manifest)) {
      RemoveQuietly(path);
      std::lock_guard<std::mutex> lock(mutex);
      ReturnToAvailableLocked("checksum_mismatch");
      state.installer_path.clear();
      installing = false;
      return false;
    }
    bytes = std::string();
    const pid_t pid = SpawnDetachedProcess(path, {path}, ProgramLookup::kPath);
    std::function<void()> quit_now;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (pid < 0) {
        ReturnToAvailableLocked("install_failed");
        installing = false;
        return false;
      }
      quit_now = quit;
    }
    ReapInBackground(pid);
    if (quit_now) quit_now();
    return true;
  }

  void PeriodicLoop() {
    std::chrono::milliseconds wait = settings.first_check_delay;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (changed.wait_for(lock, wait, [this] { return stopping; })) break;
      }
      if (ClaimCheck()) RunClaimedCheck();
      wait = settings.check_interval;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      periodic_running = false;
    }
    changed.notify_all();
  }
};

Updater::Updater(UpdaterSettings settings) : core_(std::make_shared<Core>(std::move(settings))) {}

Updater::~Updater() {
  std::unique_lock<std::mutex> lock(core_->mutex);
  core_->stopping = true;
  core_->changed.notify_all();
  core_->changed.wait(lock, [this] { return !core_->periodic_running; });
}

void Updater::StartUpdateCheck() { core_->StartCheck(core_); }

void Updater::StartPeriodicUpdateChecks() {
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->periodic_started) return;
    core_->periodic_started = true;
    core_->periodic_running = true;
  }
  try {
    std::thread([core = core_] { core->PeriodicLoop(); }).detach();
  } catch (...) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->periodic_running = false;
    throw;
  }
}

void Updater::CheckForUpdatesNow() {
  if (core_->ClaimCheck()) core_->RunClaimedCheck();
}

std::string Updater::UpdateStatusJson() const { return core_->StatusJson(); }

bool Updater::StartUpdateDownload() { return core_->StartDownload(core_); }

bool Updater::InstallUpdate() { return core_->Install(); }

void Updater::SetQuitCallback(std::function<void()> quit) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->quit = std::move(quit);
}

bool Updater::WaitForIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(core_->mutex);
  return core_->changed.wait_for(lock, timeout,
                                 [this] { return !core_->checking && !core_->downloading; });
}

UpdateServices Updater::Services() const {
  UpdateServices services;
  std::shared_ptr<Core> core = core_;
  services.start_check = [core] { core->StartCheck(core); };
  services.status_json = [core] { return core->StatusJson(); };
  services.start_download = [core] { return core->StartDownload(core); };
  services.install = [core] { return core->Install(); };
  return services;
}

}  // namespace tessvark
