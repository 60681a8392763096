#include "app/updater.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "app/update_manifest.h"
#include "core/mutex.h"
#include "core/text.h"
#include "platform/file_trust.h"
#include "platform/https_get.h"
#include "platform/private_temp_folder.h"
#include "platform/process_spawn.h"
#include "platform/sealed_copy.h"
#include "platform/thread_name.h"
#include "platform/unique_fd.h"

namespace tessvark {

namespace {

constexpr std::uint64_t kManifestLimit = 65536;
constexpr std::size_t kReadChunk = 1048576;

void RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

// SHA-256 of a stream of pieces, as 64 lower-case hexadecimal digits at the end.
class StreamDigest {
 public:
  StreamDigest() { crypto_hash_sha256_init(&state_); }
  void Add(const char* data, std::size_t length) {
    crypto_hash_sha256_update(&state_, reinterpret_cast<const unsigned char*>(data), length);
  }
  std::string Hex() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state_, digest);
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
    return hex;
  }

 private:
  crypto_hash_sha256_state state_;
};

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Whether the open file holds exactly the manifest's installer: a regular file of this user that
// no one else may change, of the manifest's size and digest, read from its start.
bool HoldsInstaller(int fd, const UpdateManifest& manifest) {
  struct stat status {};
  if (fstat(fd, &status) != 0 ||
      FileTrustOf(status.st_uid, status.st_mode, geteuid()) != FileTrust::kTrusted ||
      status.st_uid != geteuid() || static_cast<std::uint64_t>(status.st_size) != manifest.size) {
    return false;
  }
  StreamDigest digest;
  std::string buffer(kReadChunk, '\0');
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    digest.Add(buffer.data(), static_cast<std::size_t>(n));
    total += static_cast<std::uint64_t>(n);
    if (total > manifest.size) return false;
  }
  return total == manifest.size && digest.Hex() == manifest.sha256;
}

// Whether two manifests offer the same installer.
bool SameInstaller(const UpdateManifest& a, const UpdateManifest& b) {
  return a.version == b.version && a.build == b.build && a.url == b.url && a.sha256 == b.sha256 &&
         a.size == b.size;
}

// The error code of a fetch that failed: a body of the wrong size is the installer's fault, every
// other failure (a status, a redirect, TLS, a slow or silent server) the network's.
const char* DownloadErrorOf(const HttpsResult& result) {
  switch (result.failure) {
    case HttpsFailure::kTooLarge:
      return "checksum_mismatch";
    case HttpsFailure::kRefused:
      return "install_failed";
    default:
      return "network";
  }
}

}  // namespace

struct Updater::Core {
  explicit Core(UpdaterSettings s) : settings(std::move(s)) {}

  const UpdaterSettings settings;

  // The update mutex: no network or file work is done while it is held, and no other lock is
  // taken under it.
  mutable Mutex mutex;
  mutable CondVar changed{mutex};  // a check or download ended, or stopping was set
  UpdateState state GUARDED_BY(mutex);
  // The manifest the running download or the ready installer belongs to. An installer is
  // verified against it, not against a newer manifest accepted since.
  UpdateManifest installer_manifest GUARDED_BY(mutex);
  bool checking GUARDED_BY(mutex) = false;
  bool downloading GUARDED_BY(mutex) = false;
  bool installing GUARDED_BY(mutex) = false;
  bool periodic_started GUARDED_BY(mutex) = false;
  bool periodic_running GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  std::function<void()> quit GUARDED_BY(mutex);

  // Taken alone, never with the update mutex.
  Mutex folder_mutex;
  std::string installer_folder GUARDED_BY(folder_mutex);  // made on the first download that needs it

  std::string TempParent() const {
    return settings.temp_parent.empty() ? SystemTempFolder(ReadProcessEnvironment)
                                        : settings.temp_parent;
  }

  // A build that names no update server or key has nothing to check against.
  bool Configured() const {
    return !settings.channel.host.empty() && !settings.channel.public_key.empty();
  }

  // Marks a check as running; false when one runs already.
  bool ClaimCheck() {
    MutexLock lock(mutex);
    if (checking) return false;
    checking = true;
    if (!state.update_pending) state.state = "checking";
    return true;
  }

  void StartCheck(const std::shared_ptr<Core>& self) {
    if (!ClaimCheck()) return;
    try {
      std::thread([self] {
        NameThisThread("updater");
        self->RunClaimedCheck();
      }).detach();
    } catch (...) {
      EndCheck();
      throw;
    }
  }

  std::string StatusJson() const {
    MutexLock lock(mutex);
    return WriteUpdateStatusJson(state);
  }

  void RunClaimedCheck() {
    if (!Configured()) {
      SetUpdateError("not_configured");
      return EndCheck();
    }
    std::string text;
    const HttpsResult result =
        Fetch(std::string("https://") + settings.channel.host + kUpdateManifestPath,
              kManifestLimit, settings.manifest_pace, [&text](const char* data, std::size_t n) {
                text.append(data, n);
                return true;
              });
    if (result.ok()) {
      ApplyManifestText(text);
    } else {
      SetUpdateError("network");
    }
    EndCheck();
  }

  void EndCheck() {
    {
      MutexLock lock(mutex);
      checking = false;
    }
    changed.SignalAll();
  }

  // A GET of an address on the update server under "/updates/", at most `limit` bytes, within
  // `pace`, through the proxy the environment names.
  HttpsResult Fetch(const std::string& url, std::uint64_t limit, const FetchPace& pace,
                    const std::function<bool(const char*, std::size_t)>& sink) const {
    if (!IsAllowedUpdateUrl(url, "", settings.channel.host)) return {HttpsFailure::kRequest, 0};
    const std::string rest = url.substr(std::string("https://").size());
    const std::size_t slash = rest.find('/');
    HttpsRequest request;
    request.host = ToLowerAscii(rest.substr(0, slash));
    request.path = rest.substr(slash);
    request.port = settings.channel.port;
    request.connect_address = settings.channel.connect_address;
    request.ca_file = settings.channel.ca_file;
    request.total_timeout = pace.whole;
    if (pace.bytes_per_added_second > 0) {
      request.total_timeout += std::chrono::seconds(limit / pace.bytes_per_added_second);
    }
    request.min_bytes_per_second = pace.min_bytes_per_second;
    request.rate_window = pace.rate_window;
    const ProxyChoice proxy = ProxyFromEnvironment(request.host, settings.environment);
    if (!proxy.usable) return {HttpsFailure::kConnect, 0};
    request.proxy = proxy.proxy;
    return HttpsGetInto(request, limit, sink);
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

  // Once a newer manifest was accepted, later checks never hide it: the same offer again keeps
  // what its download reached, an older build than the one offered changes nothing, and only a
  // newer (or another) build replaces the offer and the installer of the one before.
  void SetUpdateAvailable(const UpdateManifest& manifest) {
    std::string stale_installer;
    {
      MutexLock lock(mutex);
      if (state.update_pending) {
        const BuildIdentity offered{RunningBuild().platform, state.manifest.version,
                                    state.manifest.build};
        const BuildIdentity announced{RunningBuild().platform, manifest.version, manifest.build};
        if (CompareWithRunningBuild(offered, announced) == 2 || installing) return;
        if (SameInstaller(manifest, state.manifest)) {
          state.manifest = manifest;
          state.error.clear();
          if (state.state == "update_available") state.phase = "idle";
          return;
        }
        if (!downloading) {
          stale_installer = state.installer_path;
          state.installer_path.clear();
          state.bytes_downloaded = 0;
        }
      }
      state.state = "update_available";
      state.update_pending = true;
      state.manifest = manifest;
      state.error.clear();
      state.phase = "idle";
    }
    if (!stale_installer.empty()) RemoveQuietly(stale_installer);
  }

  void SetUpToDate() {
    MutexLock lock(mutex);
    if (state.update_pending) return;
    state.state = "up_to_date";
    state.error.clear();
    state.phase = "idle";
  }

  void SetUpdateError(const std::string& code) {
    MutexLock lock(mutex);
    state.error = code;
    if (state.update_pending) return;
    state.state = "error";
    state.phase = "idle";
  }

  // Back to the offer of the pending update after a failed download or installation.
  void ReturnToAvailableLocked(const std::string& code) REQUIRES(mutex) {
    state.error = code;
    state.state = "update_available";
    state.phase = "failed";
  }

  bool StartDownload(const std::shared_ptr<Core>& self) {
    UpdateManifest manifest;
    {
      MutexLock lock(mutex);
      if (!state.update_pending || state.manifest.url.empty() || installing) return false;
      state.state = "downloading";
      state.phase = "downloading";
      // A download of an offer since replaced starts this one once it ends.
      if (downloading) return true;
      state.installer_path.clear();
      state.bytes_downloaded = 0;
      installer_manifest = state.manifest;
      manifest = state.manifest;
      downloading = true;
    }
    try {
      RunDownload(self, manifest);
    } catch (...) {
      EndDownload("install_failed");
      throw;
    }
    return true;
  }

  // Throws std::system_error when the thread cannot be made.
  static void RunDownload(const std::shared_ptr<Core>& self, const UpdateManifest& manifest) {
    std::thread([self, manifest] {
      NameThisThread("updater");
      self->Download(self, manifest);
    }).detach();
  }

  // Streams the installer into a new file of the private folder as it arrives, hashing it on
  // the way, then reads the file back and checks it again.
  void Download(const std::shared_ptr<Core>& self, const UpdateManifest& manifest) {
    const std::string folder = InstallerFolder();
    if (folder.empty()) return EndDownload("install_failed");
    const std::string path =
        folder + "/" + kInstallerNamePrefix + std::to_string(manifest.build) + kInstallerSuffix;
    // Whatever stands at the name is replaced, never written through: a link planted there
    // cannot redirect the installer.
    RemoveQuietly(path);
    UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!out.valid()) return EndDownload("install_failed");
    StreamDigest digest;
    std::uint64_t received = 0;
    const HttpsResult result = Fetch(manifest.url, manifest.size, settings.installer_pace,
                                     [&](const char* data, std::size_t length) {
                                       digest.Add(data, length);
                                       received += length;
                                       return WriteAll(out.get(), data, length);
                                     });
    const bool stored = result.ok() && fsync(out.get()) == 0;
    out.Reset();
    const char* failure = nullptr;
    if (!result.ok()) {
      failure = DownloadErrorOf(result);
    } else if (!stored) {
      failure = "install_failed";
    } else if (received != manifest.size || digest.Hex() != manifest.sha256) {
      failure = "checksum_mismatch";
    } else {
      const UniqueFd written(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (!written.valid() || !HoldsInstaller(written.get(), manifest)) {
        failure = "checksum_mismatch";
      }
    }
    if (failure != nullptr) {
      RemoveQuietly(path);
      return EndDownload(failure);
    }
    std::optional<UpdateManifest> next;
    bool ready = false;
    {
      MutexLock lock(mutex);
      // An offer replaced while this download ran makes its installer useless; the new offer's
      // download follows when it was asked for meanwhile.
      if (SameInstaller(state.manifest, manifest)) {
        state.state = "ready_to_install";
        state.phase = "ready";
        state.bytes_downloaded = manifest.size;
        state.installer_path = path;
        state.error.clear();
        downloading = false;
        ready = true;
      } else if (state.state == "downloading") {
        installer_manifest = state.manifest;
        next = state.manifest;
      } else {
        downloading = false;
      }
    }
    if (!ready) RemoveQuietly(path);
    if (next) {
      try {
        return RunDownload(self, *next);
      } catch (...) {
        return EndDownload("install_failed");
      }
    }
    changed.SignalAll();
  }

  void EndDownload(const std::string& failure) {
    {
      MutexLock lock(mutex);
      ReturnToAvailableLocked(failure);
      downloading = false;
    }
    changed.SignalAll();
  }

  // The private folder of the installers, made once and removed when the program ends; empty
  // while it cannot or may not be made.
  std::string InstallerFolder() {
    MutexLock lock(folder_mutex);
    if (installer_folder.empty()) {
      installer_folder = MakePrivateFolder(TempParent(), kInstallerFolderPrefix);
      if (!installer_folder.empty()) RemovePrivateFolderAtExit(installer_folder);
    }
    return installer_folder;
  }

  bool Install() {
    std::string path;
    UpdateManifest manifest;
    {
      MutexLock lock(mutex);
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
    // A sealed copy, checked after sealing: the bytes checked are the bytes started, whatever is
    // renamed over the path or written into the file (through any link to it) meanwhile, also
    // while the installer starts and reads itself.
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const bool file_holds_it = file.valid() && HoldsInstaller(file.get(), manifest);
    // A copy that cannot be made starts nothing (an invalid descriptor cannot be started).
    const UniqueFd installer =
        file_holds_it ? MakeSealedCopy(file.get(), "tessvark-installer") : UniqueFd();
    if (!file_holds_it || (installer.valid() && !HoldsInstaller(installer.get(), manifest))) {
      RemoveQuietly(path);
      MutexLock lock(mutex);
      ReturnToAvailableLocked("checksum_mismatch");
      state.installer_path.clear();
      installing = false;
      return false;
    }
    const pid_t pid = SpawnDetachedProcessFromFile(installer.get(), {path});
    std::function<void()> quit_now;
    {
      MutexLock lock(mutex);
      if (pid < 0) {
        ReturnToAvailableLocked("install_failed");
        installing = false;
        return false;
      }
      quit_now = quit;
    }
    // The installer runs from its copy; the file is no longer needed.
    RemoveQuietly(path);
    ReapInBackground(pid);
    if (quit_now) quit_now();
    return true;
  }

  void PeriodicLoop() {
    std::chrono::milliseconds wait = settings.first_check_delay;
    for (;;) {
      {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        MutexLock lock(mutex);
        while (!stopping && changed.WaitUntil(deadline)) {
        }
        if (stopping) break;
      }
      if (ClaimCheck()) RunClaimedCheck();
      wait = settings.check_interval;
    }
    {
      MutexLock lock(mutex);
      periodic_running = false;
    }
    changed.SignalAll();
  }
};

Updater::Updater(UpdaterSettings settings) : core_(std::make_shared<Core>(std::move(settings))) {
  RemoveLeftoverPrivateFolders(core_->TempParent(), kInstallerFolderPrefix);
}

Updater::~Updater() {
  MutexLock lock(core_->mutex);
  core_->stopping = true;
  core_->changed.SignalAll();
  while (core_->periodic_running) core_->changed.Wait();
}

void Updater::StartUpdateCheck() { core_->StartCheck(core_); }

void Updater::StartPeriodicUpdateChecks() {
  {
    MutexLock lock(core_->mutex);
    if (core_->periodic_started) return;
    core_->periodic_started = true;
    core_->periodic_running = true;
  }
  try {
    std::thread([core = core_] {
      NameThisThread("updater");
      core->PeriodicLoop();
    }).detach();
  } catch (...) {
    MutexLock lock(core_->mutex);
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
  MutexLock lock(core_->mutex);
  core_->quit = std::move(quit);
}

bool Updater::WaitForIdle(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(core_->mutex);
  while ((core_->checking || core_->downloading) && core_->changed.WaitUntil(deadline)) {
  }
  return !core_->checking && !core_->downloading;
}

UpdateServices Updater::Services() const {
  UpdateServices services;
  std::shared_ptr<Core> core = core_;
  services.start_check = [core] { core->StartCheck(core); };
  services.configured = [core] { return core->Configured(); };
  services.status_json = [core] { return core->StatusJson(); };
  services.start_download = [core] { return core->StartDownload(core); };
  services.install = [core] { return core->Install(); };
  return services;
}

}  // namespace tessvark
