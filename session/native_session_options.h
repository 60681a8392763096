#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/scoreboard_state_store.h"

namespace tessvark {

class NdiRuntime;
class SessionServer;
struct NativeSessionOptions;

// Makes the web server a session owns, configured by the options' server fields.
using SessionServerFactory =
    std::function<std::unique_ptr<SessionServer>(const NativeSessionOptions& options)>;

// The start-up settings of the whole runtime. The first nine fields are the local HTTP server's
// (LocalHttpServerOptions, same order and meaning), handed to `make_server`; the rest go to the
// analysis worker, the video runtimes and the settings store. Paths use "/" as separator.
struct NativeSessionOptions {
  std::string ui_root;
  std::string host = "127.0.0.1";
  std::int32_t port = 8080;
  std::int32_t port_attempts = 20;
  std::uint64_t max_body_bytes = 1048576;
  std::int32_t max_event_streams = 8;
  double event_heartbeat_seconds = 15.0;
  double event_wait_seconds = 0.2;
  TimestampClock timestamp_clock;
  double clock_lane_interval_seconds = 0.0;
  double other_lane_interval_seconds = 0.0;
  double analysis_wait_seconds = 0.2;
  bool enable_omt = true;
  bool enable_ndi = true;
  // A runtime supplied from outside replaces the NDI runtime the session would create.
  std::shared_ptr<NdiRuntime> ndi_runtime;
  std::string data_dir;  // empty: no data folder
  std::string sports_catalog_path;
  std::string example_defaults_path;  // empty: ui_root + "/assets/example/factory-defaults.json"
  bool load_example_defaults = true;
  // Required: the session makes its server with it when it is constructed.
  SessionServerFactory make_server;
};

}  // namespace tessvark
