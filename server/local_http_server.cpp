#include "server/local_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>
#include <utility>

#include "platform/unique_fd.h"
#include "server/connection_intake.h"
#include "server/connection_stream.h"
#include "server/growing_thread_pool.h"
#include "server/server_state.h"

namespace tessvark {
namespace {

constexpr std::size_t kBaseWorkers = 16;
constexpr std::size_t kMaxWorkers = 64;
constexpr std::chrono::milliseconds kWorkerIdleTime{3000};
constexpr std::chrono::milliseconds kReadTimeout{5000};
constexpr std::chrono::milliseconds kWriteTimeout{30000};
// Connections the kernel queues before the intake takes them.
constexpr int kListenBacklog = 512;

// SO_REUSEADDR only: the library's default options would also set SO_REUSEPORT, which lets
// another process bind the same port beside us.
UniqueFd OpenLoopbackSocket() {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  if (sock.valid()) setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  return sock;
}

bool BindLoopback(const UniqueFd& sock, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

// The first port from `first` upward (at most `attempts` ports, never past 65535) that 127.0.0.1
// can bind; 0 when none is free, -1 when no probe socket can be opened.
int ProbeFreePort(int first, int attempts) {
  for (long port = first; port <= 65535 && port - first < attempts; ++port) {
    const UniqueFd probe = OpenLoopbackSocket();
    if (!probe.valid()) return -1;
    if (BindLoopback(probe, static_cast<int>(port))) return static_cast<int>(port);
  }
  return 0;
}

IntakeLimits MakeIntakeLimits(const LocalHttpServerOptions& options) {
  IntakeLimits limits;
  limits.deadline = WholeMilliseconds(options.request_deadline_seconds);
  return limits;
}

thread_local int served_socket = -1;

// Runs on a worker: answers the connection's one request, then lets it go.
void ServeConnection(LocalHttpServer::Impl& impl, ReadyConnection& connection) {
  const int fd = connection.fd.get();
  served_socket = fd;
  if (!impl.stopping.load()) {
    try {
      ConnectionStream stream(fd, std::move(connection.received), !connection.streams_body,
                              connection.deadline, kReadTimeout, kWriteTimeout);
      impl.server->Serve(stream);
      if (stream.deadline_passed()) stream.SendAll(FormatClosingReply(408, kLateRequestMessage));
    } catch (...) {
      // Handler exceptions become 500 inside the library; anything else only ends this request.
    }
  }
  served_socket = -1;
  impl.intake->Finish(fd, connection.streams_body);
  shutdown(fd, SHUT_RDWR);
}

}  // namespace

int ServedSocket() { return served_socket; }

std::chrono::milliseconds WholeMilliseconds(double seconds) {
  const double millis = seconds * 1000.0;
  // Clamped so that a huge setting cannot overflow the conversion.
  constexpr double kLimit = 1e12;
  if (!(millis > 0.0)) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::min(millis, kLimit)));
}

LocalHttpServer::Impl::Impl(LocalHttpServerOptions settings)
    : options(std::move(settings)),
      own_store(std::string(), options.timestamp_clock),
      csrf_token(MakeCsrfToken()) {}

const ScoreboardStateStore& LocalHttpServer::Impl::StreamStore() const {
  const ScoreboardStateStore* attached = state_store.load();
  return attached != nullptr ? *attached : own_store;
}

LocalHttpServer::LocalHttpServer(LocalHttpServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

LocalHttpServer::~LocalHttpServer() { Stop(); }

bool LocalHttpServer::Start() {
  Impl& impl = *impl_;
  if (impl.running.load()) return true;
  const LocalHttpServerOptions& options = impl.options;
  if (options.host != "127.0.0.1" || options.port < 1 || options.port_attempts < 1) return false;
  const int port = ProbeFreePort(options.port, options.port_attempts);
  if (port <= 0) return false;

  impl.stopping.store(false);
  UniqueFd listener = OpenLoopbackSocket();
  if (!listener.valid() || !BindLoopback(listener, port) ||
      listen(listener.get(), kListenBacklog) != 0) {
    return false;
  }
  impl.server = std::make_unique<HttpEngine>();
  impl.server->set_payload_max_length(static_cast<std::size_t>(options.max_body_bytes));
  RegisterRoutes(impl, *impl.server);
  impl.server->SetListeningSocket(listener.get());
  try {
    impl.workers = std::make_unique<GrowingThreadPool>(kBaseWorkers, kMaxWorkers, kWorkerIdleTime);
    Impl* state = &impl;
    impl.intake = std::make_unique<ConnectionIntake>(
        std::move(listener), MakeIntakeLimits(options), [state](ReadyConnection ready) {
          // The pool's tasks must be copyable; the connection is not.
          auto shared = std::make_shared<ReadyConnection>(std::move(ready));
          state->workers->enqueue([state, shared] { ServeConnection(*state, *shared); });
        });
    // Only now: the workers that serve a handed-off connection reach the intake through `impl`.
    impl.intake->Start();
  } catch (...) {
    Stop();
    throw;
  }
  impl.bound_port.store(port);
  impl.running.store(true);
  return true;
}

void LocalHttpServer::Stop() {
  Impl& impl = *impl_;
  impl.stopping.store(true);
  WakeAllStreams(impl);
  if (impl.server) impl.server->SetListeningSocket(INVALID_SOCKET);
  // No new connection after this; replies being written get a moment to go out, the rest end.
  if (impl.intake) impl.intake->Stop(WholeMilliseconds(impl.options.stop_grace_seconds));
  if (impl.workers) impl.workers->shutdown();
  impl.workers.reset();
  impl.intake.reset();
  impl.server.reset();
  impl.running.store(false);
  impl.bound_port.store(0);
}

std::int32_t LocalHttpServer::Port() const { return impl_->bound_port.load(); }

std::size_t LocalHttpServer::StreamedBodies() const {
  return impl_->intake ? impl_->intake->BodyStreams() : 0;
}

void LocalHttpServer::SetRuntime(OcrRuntime* runtime) { impl_->runtime.store(runtime); }

void LocalHttpServer::SetStateStore(ScoreboardStateStore* store) {
  impl_->state_store.store(store);
}

void LocalHttpServer::SetStateAvailable(bool available) {
  impl_->state_available.store(available);
  WakeAllStreams(*impl_);
}

void LocalHttpServer::WakeStreams() { WakeAllStreams(*impl_); }

void LocalHttpServer::SetOutputEnabled(const std::string& name, bool enabled) {
  if (name != "vmix") return;
  MutexLock lock(impl_->output_mutex);
  impl_->vmix_output_enabled = enabled;
}

void LocalHttpServer::SetHostServices(UpdateServices updates, ResourceServices resources) {
  impl_->updates = std::move(updates);
  impl_->resources = std::move(resources);
}

}  // namespace tessvark
