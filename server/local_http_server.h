#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/host_services.h"
#include "server/local_http_server_options.h"
#include "session/session_server.h"

namespace tessvark {

// The program's HTTP server on 127.0.0.1: the interface files, the JSON API answered by an
// OcrRuntime, and the scoreboard event stream. Every request is authorized first (loopback peer,
// Host, and for state changes Origin and the CSRF token that only the index page hands out).
//
// Start, Stop, Port, StreamedBodies, SetStateStore, SetHostServices and the destructor are called
// from one thread. SetRuntime, SetStateAvailable, WakeStreams and SetOutputEnabled may be called
// from any thread at any time.
class LocalHttpServer final : public SessionServer {
 public:
  struct Impl;

  // Opens no socket. Throws std::runtime_error when no CSRF token can be made.
  explicit LocalHttpServer(LocalHttpServerOptions options);
  ~LocalHttpServer() override;
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  // Listens on the first free port of the configured range; true when listening (also when it
  // already was). A stopped server may be started again with the same token.
  bool Start() override;
  // Ends listening and every event stream; returns after the listener and every handler ended.
  void Stop() override;
  // The bound port, 0 while not listening.
  std::int32_t Port() const override;
  // Connections whose body a worker reads from the socket now; 0 while not listening. For tests
  // that must know when slow bodies have reached their workers.
  std::size_t StreamedBodies() const;

  // Non-owning; null detaches the runtime and runtime routes answer 503.
  void SetRuntime(OcrRuntime* runtime) override;
  // Non-owning; the store the event stream reads (the server's own store while none is set).
  void SetStateStore(ScoreboardStateStore* store) override;
  // Whether the scoreboard state may be streamed; false ends every open stream. Wakes streams.
  void SetStateAvailable(bool available) override;
  // Makes every open stream look at the state now instead of at its next poll.
  void WakeStreams() override;
  // Only the name "vmix" is known; other names change nothing.
  void SetOutputEnabled(const std::string& name, bool enabled) override;
  // Call before Start.
  void SetHostServices(UpdateServices updates, ResourceServices resources);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessvark
