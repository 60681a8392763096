#pragma once

#include <cstdint>
#include <string>

namespace tessvark {

// The updater's state as its status document shows it. Every start of the program begins with a
// default record: "unknown", no update pending, phase "idle", no error.
struct UpdateState {
  std::string state = "unknown";
  bool update_pending = false;
  std::string version;  // of the last accepted newer manifest
  std::int64_t build = 0;
  std::string notes;
  std::string download_url;
  std::uint64_t size = 0;
  std::string error;  // empty: none
  std::string phase = "idle";
  std::uint64_t bytes_downloaded = 0;
};

// The compact status document of GET "/api/updates".
std::string WriteUpdateStatusJson(const UpdateState& state);

}  // namespace tessvark
