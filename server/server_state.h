#pragma once

// The state every handler of the local HTTP server shares, and the handler functions the route
// table binds. Internal to the server library.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "core/scoreboard_state_store.h"
#include "server/connection_intake.h"
#include "server/growing_thread_pool.h"
#include "server/host_services.h"
#include "server/local_http_server.h"
#include "server/local_http_server_options.h"
#include "session/ocr_runtime.h"

namespace tessvark {

// The HTTP library's request parsing, routing and reply writing, fed one connection at a time by
// the server's own intake instead of the library's accept loop.
class HttpEngine final : public httplib::Server {
 public:
  // Reads one request from `stream` and writes its reply, marked as the connection's last.
  void Serve(httplib::Stream& stream) {
    bool connection_closed = false;
    process_request(stream, true, connection_closed, nullptr);
  }
  // The library ends chunked replies once it takes the server for shut down, which it tells by
  // its listening socket: the intake's socket while it accepts, none after.
  void SetListeningSocket(socket_t sock) { svr_sock_ = sock; }
};

// Lock order: streams_mutex is released before any SseSlot::mutex is taken; the state store's own
// mutex is never taken under a server lock. output_mutex is a leaf.
struct LocalHttpServer::Impl {
  // One open event stream, shared by the stream list, its provider and its releaser.
  struct SseSlot {
    Mutex mutex;
    CondVar wake_cv{mutex};
    bool wake GUARDED_BY(mutex) = false;
    // The stream's connection; open while the slot is in the stream list, since the library
    // releases the reply (and so the slot) before the connection is closed.
    int socket = -1;
    std::atomic<bool> given_way{false};  // a newer stream took its place: it ends
  };

  explicit Impl(LocalHttpServerOptions settings);

  // The store the event stream reads: the attached one, else the server's own.
  const ScoreboardStateStore& StreamStore() const;

  const LocalHttpServerOptions options;
  ScoreboardStateStore own_store;
  std::atomic<ScoreboardStateStore*> state_store{nullptr};
  std::atomic<OcrRuntime*> runtime{nullptr};
  const std::string csrf_token;
  UpdateServices updates;      // set before Start, read-only while listening
  ResourceServices resources;  // set before Start, read-only while listening
  // Destroyed in reverse: the intake's stop ends every connection, the pool's shutdown waits for
  // its workers, and only then does the engine go.
  std::unique_ptr<HttpEngine> server;
  std::unique_ptr<GrowingThreadPool> workers;
  std::unique_ptr<ConnectionIntake> intake;
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  std::atomic<bool> state_available{false};
  std::atomic<std::int32_t> bound_port{0};
  Mutex output_mutex;
  bool vmix_output_enabled GUARDED_BY(output_mutex) = true;
  Mutex streams_mutex;
  std::vector<std::shared_ptr<SseSlot>> streams GUARDED_BY(streams_mutex);
};

using HandlerResult = httplib::Server::HandlerResponse;

inline constexpr char kUnavailableMessage[] =
    "This local function is not available in the native prototype.";
using RuntimeCall = std::function<RuntimeResponse(OcrRuntime&)>;

// Registers the four server-wide handlers and every route on a fresh server.
void RegisterRoutes(LocalHttpServer::Impl& impl, httplib::Server& server);

// Copies the reply of one runtime operation into the response; 503 while no runtime is attached.
void CallRuntime(LocalHttpServer::Impl& impl, httplib::Response& res, const RuntimeCall& call);

// Request authorization (the pre-routing handler and its parts).
HandlerResult PreRoute(const LocalHttpServer::Impl& impl, const httplib::Request& req,
                       httplib::Response& res);
bool AuthorizeLocalRequest(const LocalHttpServer::Impl& impl, const httplib::Request& req,
                           httplib::Response& res);
void RejectLocalRequest(httplib::Response& res);
bool IsSuspiciousPath(const std::string& text);
bool IsLoopbackAddress(const std::string& address);
bool SplitHostPort(const std::string& text, std::string& host, std::int32_t& port);
// A Content-Length value of digits only, saturated at the largest 64-bit value; empty when the
// text is empty or holds anything else.
std::optional<std::uint64_t> ParseContentLength(const std::string& text);
// The first Content-Length as digits only: 0 when absent or not all digits.
std::uint64_t DeclaredContentLength(const httplib::Request& req);
// 43 characters of base64url over 32 random bytes. Throws std::runtime_error on failure.
std::string MakeCsrfToken();

// Error replies and security headers.
std::string DetailJson(const std::string& message);
void SendJsonError(httplib::Response& res, int status, const std::string& message);
HandlerResult ErrorReply(const httplib::Request& req, httplib::Response& res);
void ExceptionReply(httplib::Response& res);
void AddSecurityHeaders(httplib::Response& res);
bool KnownRouteMethodMismatch(const std::string& path);
bool IsLegacyZoneRoute(const std::string& method, const std::string& path);
bool IsExampleImagePath(const std::string& path);
bool IsPathSegment(const std::string& text);

// The socket of the connection the calling worker serves; -1 on any other thread.
int ServedSocket();
// A setting in seconds as whole milliseconds: 0 for anything not above 0, at most 10^12.
std::chrono::milliseconds WholeMilliseconds(double seconds);

// The state event stream.
void OpenStateStream(LocalHttpServer::Impl& impl, httplib::Response& res);
std::string FormatStateEvent(const StateValue& document);
std::int64_t StateSequence(const StateValue& document);
void WakeAllStreams(LocalHttpServer::Impl& impl);

// Interface files.
inline constexpr std::uint64_t kUiFileLimit = 8388608;
// As httplib's set_content (replacing body and Content-Type) without copying the body.
void SetMovedContent(httplib::Response& res, std::string&& body, const std::string& content_type);
void SendBody(httplib::Response& res, std::string&& body, const std::string& content_type,
              const char* cache_control);
std::string ReadFileLimited(const std::string& path, std::uint64_t limit);
void ServeUiFile(httplib::Response& res, const std::string& path, const std::string& content_type,
                 const char* cache_control);
void ServeIndexPage(const LocalHttpServer::Impl& impl, httplib::Response& res);

// Preview pages and images.
void ServeSourcePreview(LocalHttpServer::Impl& impl, httplib::Response& res, bool working);
void ServeZonePreview(LocalHttpServer::Impl& impl, const httplib::Request& req,
                      httplib::Response& res, const std::string& kind, std::int32_t slot_index);
void ServeSlotPreview(LocalHttpServer::Impl& impl, const httplib::Request& req,
                      httplib::Response& res);
void ServeExampleImage(const LocalHttpServer::Impl& impl, const httplib::Request& req,
                       httplib::Response& res);
ZonePreviewOptions ReadZonePreviewOptions(const httplib::Request& req);

}  // namespace tessvark
