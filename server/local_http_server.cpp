#include "server/local_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>
#include <utility>

#include "platform/unique_fd.h"
#include "server/growing_thread_pool.h"
#include "server/server_state.h"

namespace tessvark {
namespace {

constexpr std::size_t kBaseWorkers = 16;
constexpr std::size_t kMaxWorkers = 64;
constexpr std::chrono::milliseconds kWorkerIdleTime{3000};

httplib::TaskQueue* MakeTaskQueue() {
  return new GrowingThreadPool(kBaseWorkers, kMaxWorkers, kWorkerIdleTime);
}

// The library's default options would also set SO_REUSEPORT, which lets another process bind the
// same port beside us.
void SetReuseAddress(socket_t sock) {
  const int one = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
}

// The first port from `first` upward (at most `attempts` ports, never past 65535) that 127.0.0.1
// can bind; 0 when none is free, -1 when no probe socket can be opened.
int ProbeFreePort(int first, int attempts) {
  for (long port = first; port <= 65535 && port - first < attempts; ++port) {
    const UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return -1;
    SetReuseAddress(probe.get());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      return static_cast<int>(port);
    }
  }
  return 0;
}

void RunHttpListener(LocalHttpServer::Impl* impl, httplib::Server* server) {
  try {
    server->listen_after_bind();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "http-thread=%s\n", error.what());
    std::fflush(stderr);
  } catch (...) {
    std::fprintf(stderr, "http-thread=unknown\n");
    std::fflush(stderr);
  }
  impl->listener_exited.store(true);
}

}  // namespace

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
  impl.server = std::make_unique<httplib::Server>();
  httplib::Server& server = *impl.server;
  server.new_task_queue = MakeTaskQueue;
  server.set_payload_max_length(static_cast<std::size_t>(options.max_body_bytes));
  server.set_read_timeout(5, 0);
  server.set_write_timeout(30, 0);
  server.set_socket_options(SetReuseAddress);
  // One request per connection: a body that a refusal leaves unread must never be parsed as a
  // request of its own.
  server.set_keep_alive_max_count(1);
  RegisterRoutes(impl, server);
  if (!server.bind_to_port(options.host, port)) {
    impl.server.reset();
    return false;
  }
  impl.bound_port.store(port);
  impl.listener_exited.store(false);
  try {
    impl.listener = std::thread(RunHttpListener, &impl, &server);
  } catch (...) {
    impl.server.reset();
    impl.bound_port.store(0);
    throw;
  }
  // The listener either reports running or gives up; both end the wait.
  while (!server.is_running() && !impl.listener_exited.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (server.is_running() && !impl.listener_exited.load()) {
    impl.running.store(true);
    return true;
  }
  impl.listener.join();
  impl.server.reset();
  impl.bound_port.store(0);
  return false;
}

void LocalHttpServer::Stop() {
  Impl& impl = *impl_;
  impl.stopping.store(true);
  WakeAllStreams(impl);
  if (impl.server) impl.server->stop();
  if (impl.listener.joinable()) impl.listener.join();
  impl.server.reset();
  impl.running.store(false);
  impl.bound_port.store(0);
}

std::int32_t LocalHttpServer::Port() const { return impl_->bound_port.load(); }

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
