#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/update_status.h"
#include "core/version.h"
#include "platform/data_folder.h"
#include "server/host_services.h"

namespace tessvark {

// Where updates come from: the update server, how it is reached and the key that signs its
// manifests. The defaults are the build's own.
struct UpdateChannel {
  std::string host = kUpdateHost;  // installer addresses may name it or "www." + it
  std::int32_t port = 443;
  std::string connect_address;  // an IP address to connect to instead of resolving `host`
  std::string ca_file;          // trusted certificate authorities (PEM); empty: the system's
  std::string public_key = kUpdatePublicKey;  // standard Base64 of the 32-byte Ed25519 key
};

// How long one fetch from the update server may take, so that a server that sends slowly can
// never hold the updater: the whole fetch at most `whole` plus a second for every
// `bytes_per_added_second` bytes it is to bring (0: nothing added), and at least
// `min_bytes_per_second` bytes in each `rate_window`.
struct FetchPace {
  std::chrono::milliseconds whole;
  std::uint64_t bytes_per_added_second = 0;
  std::uint64_t min_bytes_per_second = 0;
  std::chrono::milliseconds rate_window;
};

struct UpdaterSettings {
  UpdateChannel channel;
  std::chrono::milliseconds first_check_delay{std::chrono::seconds(8)};
  std::chrono::milliseconds check_interval{std::chrono::hours(6)};
  // Where the private folder for installers is made; empty: the system's temporary folder.
  std::string temp_parent;
  // Read for the proxy settings (https_proxy, no_proxy and their upper-case forms) at each fetch.
  EnvironmentLookup environment = ReadProcessEnvironment;
  // The manifest: 30 s in all, and 1 KiB a second over each 10 s.
  FetchPace manifest_pace{std::chrono::seconds(30), 0, 1024, std::chrono::seconds(10)};
  // The installer: 2 minutes plus a second for each 64 KiB, and 16 KiB a second over each 30 s.
  FetchPace installer_pace{std::chrono::minutes(2), 65536, 16384, std::chrono::seconds(30)};
};

// The updater: one update state, moved through checks of the signed manifest, the download and
// double verification of the installer, and its launch. Checks and downloads run on detached
// threads (named "updater") that share the state with this object; the state lives until the last
// of them ends, so a thread never touches a state that was torn down, also when the program exits
// meanwhile. At most one check and one download run at a time, each within its pace. Installers are
// kept in a private folder of this process, removed when the installer has started, when the
// program ends normally, or at the next start after a run that was killed. Every member may be
// called from any thread.
class Updater {
 public:
  // Removes the installer folders that earlier runs left behind in the temporary folder.
  explicit Updater(UpdaterSettings settings);
  // Ends the periodic checks (waiting for a check they run to end); checks and downloads
  // started on request end on their own.
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Starts a check on a thread of its own and returns at once; nothing while a check runs.
  void StartUpdateCheck();
  // The first call starts the periodic checks: the first after `first_check_delay`, then one
  // every `check_interval`. Later calls do nothing.
  void StartPeriodicUpdateChecks();
  // One check on the calling thread; returns at once while another check runs. A build without
  // an update server or key reports "not_configured" and reaches for no network.
  void CheckForUpdatesNow();
  // The status document of the state.
  std::string UpdateStatusJson() const;
  // Starts downloading the announced installer; true when a download runs afterwards (one that
  // was running already is reported, not started again). False when no update is pending or an
  // installation is under way.
  bool StartUpdateDownload();
  // Verifies the downloaded installer once more and starts exactly the bytes it verified; true
  // when it was started, after the quit callback was called. False when no verified installer
  // is ready or it fails.
  bool InstallUpdate();
  // What InstallUpdate calls once the installer runs, so that the program ends.
  void SetQuitCallback(std::function<void()> quit);
  // Waits until no check or download runs; false when `timeout` passed first.
  bool WaitForIdle(std::chrono::milliseconds timeout) const;

  // The update routes' view of this updater. The functions share the state, not this object.
  UpdateServices Services() const;

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

// The prefix of the private folders that hold downloaded installers.
inline constexpr char kInstallerFolderPrefix[] = "tessvark-update-";

}  // namespace tessvark
