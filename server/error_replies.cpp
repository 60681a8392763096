#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "core/json_writer.h"
#include "core/version.h"
#include "server/server_state.h"

namespace tessvark {
namespace {

constexpr const char* kTrustRejectionMarker = "x-tessvark-trust-rejection";

using MethodPath = std::pair<std::string_view, std::string_view>;

// Functions of the browser interface that this build does not serve: a request for one of them
// is told so instead of getting a bare 404.
constexpr std::array<MethodPath, 30> kUnavailableRoutes{{
    {"GET", "/docs"},
    {"GET", "/openapi.json"},
    {"HEAD", "/openapi.json"},
    {"GET", "/redoc"},
    {"HEAD", "/redoc"},
    {"GET", "/api/sources"},
    {"POST", "/api/sources/refresh"},
    {"PUT", "/api/source"},
    {"DELETE", "/api/source"},
    {"GET", "/api/status"},
    {"POST", "/api/updates/download"},
    {"POST", "/api/updates/cancel"},
    {"POST", "/api/updates/install"},
    {"PUT", "/api/v1/outputs"},
    {"GET", "/api/v1/outputs/vmix"},
    {"PUT", "/api/v1/outputs/vmix"},
    {"POST", "/api/v1/outputs/vmix/test"},
    {"POST", "/api/v1/outputs/vmix/discover"},
    {"POST", "/api/v1/outputs/vmix/discover-lan"},
    {"GET", "/api/v1/outputs/vmix/discover-lan"},
    {"POST", "/api/v1/outputs/vmix/discover-lan/cancel"},
    {"GET", "/api/source/geometry"},
    {"PUT", "/api/source/geometry"},
    {"GET", "/api/zones"},
    {"POST", "/api/zones"},
    {"PUT", "/api/zones/order"},
    {"GET", "/api/zones/hide-empty"},
    {"PUT", "/api/zones/hide-empty"},
    {"GET", "/api/clock/read"},
    {"GET", "/api/period/read"},
}};

// Routes this server serves; only their paths are consulted, to tell a wrong method from a
// missing route.
constexpr std::array<MethodPath, 17> kKnownRoutePaths{{
    {"GET", "/"},
    {"GET", "/favicon.png"},
    {"GET", "/favicon.ico"},
    {"GET", "/assets/tessvark-wordmark.png"},
    {"GET", "/health"},
    {"GET", "/api/health"},
    {"GET", "/api/version"},
    {"POST", "/api/updates/check"},
    {"GET", "/api/v1/outputs"},
    {"GET", "/api/ui/state/stream"},
    {"GET", "/preview"},
    {"GET", "/preview/working"},
    {"GET", "/api/sports/roles"},
    {"GET", "/api/sports/catalog"},
    {"POST", "/api/sports/catalog/apply"},
    {"GET", "/api/sports/selection"},
    {"PUT", "/api/sports/selection"},
}};

constexpr std::array<const char*, 7> kCorsHeaders{
    "Access-Control-Allow-Origin",   "Access-Control-Allow-Credentials",
    "Access-Control-Allow-Methods",  "Access-Control-Allow-Headers",
    "Access-Control-Expose-Headers", "Access-Control-Allow-Private-Network",
    "Access-Control-Max-Age",
};

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; img-src 'self' blob: data:; style-src 'self' 'unsafe-inline'; "
    "script-src 'self' 'unsafe-inline'; connect-src 'self'; font-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'self'; object-src 'none'";

bool IsUnavailableRoute(const std::string& method, const std::string& path) {
  for (const auto& [m, p] : kUnavailableRoutes) {
    if (m == method && p == path) return true;
  }
  return false;
}

bool IsUnavailablePath(const std::string& path) {
  for (const auto& route : kUnavailableRoutes) {
    if (route.second == path) return true;
  }
  return false;
}

bool IsKnownRoutePath(const std::string& path) {
  for (const auto& route : kKnownRoutePaths) {
    if (route.second == path) return true;
  }
  return false;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

int NotFoundStatus(const std::string& method, const std::string& path, const char*& message) {
  if (IsUnavailableRoute(method, path) || IsLegacyZoneRoute(method, path)) {
    message = kUnavailableMessage;
    return 503;
  }
  if (KnownRouteMethodMismatch(path) || IsKnownRoutePath(path) || IsExampleImagePath(path)) {
    message = "Method Not Allowed";
    return 405;
  }
  message = "Not Found";
  return 404;
}

}  // namespace

std::string DetailJson(const std::string& message) {
  return JsonWriter(kApiJson).BeginObject().Key("detail").String(message).EndObject().Take();
}

void SendJsonError(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(DetailJson(message), "application/json");
}

HandlerResult ErrorReply(const httplib::Request& req, httplib::Response& res) {
  // The library lets an exception out of this handler end the process.
  try {
    if (!res.body.empty() || res.status == 403) return HandlerResult::Handled;
    if (res.status == 400) {
      if (!req.method.empty() && !req.has_header("Host")) {
        RejectLocalRequest(res);
      } else {
        SendJsonError(res, 400, "Bad Request");
      }
    } else if (res.status == 404) {
      const char* message = nullptr;
      const int status = NotFoundStatus(req.method, req.path, message);
      SendJsonError(res, status, message);
    } else if (res.status == 413) {
      SendJsonError(res, 413, "Request body is too large.");
    }
  } catch (...) {
    res.body.clear();
  }
  return HandlerResult::Handled;
}

void ExceptionReply(httplib::Response& res) {
  try {
    SendJsonError(res, 500, "Internal Server Error");
  } catch (...) {
    res.status = 500;
  }
}

void AddSecurityHeaders(httplib::Response& res) {
  // The library lets an exception out of this handler end the process.
  try {
    for (const char* name : kCorsHeaders) res.headers.erase(name);
    if (res.has_header(kTrustRejectionMarker)) {
      res.headers.erase(kTrustRejectionMarker);
    } else {
      res.set_header("Cross-Origin-Resource-Policy", "same-origin");
    }
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy", kContentSecurityPolicy);
    res.set_header("X-Tessvark-Instance", kInstanceId);
  } catch (...) {
  }
}

bool KnownRouteMethodMismatch(const std::string& path) {
  if (IsUnavailablePath(path)) return true;
  for (const char* method : {"GET", "PUT", "DELETE", "POST"}) {
    if (IsLegacyZoneRoute(method, path)) return true;
  }
  return false;
}

bool IsLegacyZoneRoute(const std::string& method, const std::string& path) {
  constexpr std::string_view kValue = "/value/";
  constexpr std::string_view kZones = "/api/zones/";
  if (method == "GET" && StartsWith(path, kValue) && IsPathSegment(path.substr(kValue.size()))) {
    return true;
  }
  if (!StartsWith(path, kZones)) return false;
  const std::string rest = path.substr(kZones.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos) {
    return IsPathSegment(rest) && (method == "PUT" || method == "DELETE");
  }
  if (!IsPathSegment(rest.substr(0, slash)) || method != "GET") return false;
  const std::string tail = rest.substr(slash + 1);
  if (tail == "clock-read" || tail == "crop" || tail == "processed" ||
      tail == "processed-preview" || tail == "read") {
    return true;
  }
  constexpr std::string_view kSlot = "slot-preview/";
  return StartsWith(tail, kSlot) && IsPathSegment(tail.substr(kSlot.size()));
}

bool IsExampleImagePath(const std::string& path) {
  constexpr std::string_view kPrefix = "/api/sources/example/";
  constexpr std::string_view kSuffix = "/image";
  if (!StartsWith(path, kPrefix) || path.size() < kPrefix.size() + kSuffix.size()) return false;
  if (path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
  return IsPathSegment(path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size()));
}

bool IsPathSegment(const std::string& text) {
  return !text.empty() && text.find('/') == std::string::npos && text != "." && text != "..";
}

}  // namespace tessvark
