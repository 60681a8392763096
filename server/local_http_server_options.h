#pragma once

#include <cstdint>
#include <string>

#include "core/scoreboard_state_store.h"

namespace tessvark {

// The local HTTP server's start-up settings.
struct LocalHttpServerOptions {
  std::string ui_root;              // folder of the interface files, joined with "/" + name
  std::string host = "127.0.0.1";   // the server starts only when this is exactly "127.0.0.1"
  std::int32_t port = 8080;         // first port tried
  std::int32_t port_attempts = 20;  // ports tried upward from `port`
  std::uint64_t max_body_bytes = 1048576;
  std::int32_t max_event_streams = 8;
  double event_heartbeat_seconds = 15.0;
  double event_wait_seconds = 0.2;  // longest sleep of a state stream between two checks
  TimestampClock timestamp_clock;   // clock of the server's own store; empty: UtcTimestampNow
  // From accept to the whole request, head and body; a later request gets 408 and is closed.
  double request_deadline_seconds = 10.0;
  // How long Stop lets the replies being written go out before it cuts their connections.
  double stop_grace_seconds = 1.0;
};

}  // namespace tessvark
