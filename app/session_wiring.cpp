#include "app/session_wiring.h"

namespace tessvark {

std::unique_ptr<LocalHttpServer> MakeLocalHttpServer(const NativeSessionOptions& options) {
  LocalHttpServerOptions server;
  server.ui_root = options.ui_root;
  server.host = options.host;
  server.port = options.port;
  server.port_attempts = options.port_attempts;
  server.max_body_bytes = options.max_body_bytes;
  server.max_event_streams = options.max_event_streams;
  server.event_heartbeat_seconds = options.event_heartbeat_seconds;
  server.event_wait_seconds = options.event_wait_seconds;
  server.timestamp_clock = options.timestamp_clock;
  return std::make_unique<LocalHttpServer>(std::move(server));
}

}  // namespace tessvark
