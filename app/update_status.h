#pragma once

#include <cstdint>
#include <string>

#include "app/update_manifest.h"

namespace tessvark {

// The updater's state as its status document shows it. Every start of the program begins with a
// default record: "unknown", no update pending, phase "idle", no error.
struct UpdateState {
  // "unknown", "checking", "up_to_date", "update_available", "error", "downloading",
  // "ready_to_install" or "installing".
  std::string state = "unknown";
  bool update_pending = false;  // a newer manifest was accepted; stays true for the run
  UpdateManifest manifest;      // the last accepted newer manifest
  std::string error;            // the last error code; empty: none
  // "idle", "downloading", "ready", "failed" or "installing".
  std::string phase = "idle";
  std::string installer_path;          // the verified installer; empty until one is ready
  std::uint64_t bytes_downloaded = 0;  // the verified installer's length; 0 until it is ready
};

// The compact status document of GET "/api/updates".
std::string WriteUpdateStatusJson(const UpdateState& state);

}  // namespace tessvark
