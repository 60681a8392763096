#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/text.h"
#include "platform/random.h"
#include "server/server_state.h"

namespace tessvark {
namespace {

constexpr const char* kNotAuthorized = "This local request is not authorized.";

bool IsStateChangingMethod(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

// Compares the whole length whatever differs, so the time taken does not tell how much of a
// guessed token was right.
bool EqualsWithoutEarlyExit(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return difference == 0;
}

bool IsAllowedAuthority(const std::string& authority, const std::string& a1,
                        const std::string& a2) {
  return authority == a1 || authority == a2;
}

bool HostHeadersAllowed(const httplib::Request& req, const std::string& a1, const std::string& a2) {
  const auto range = req.headers.equal_range("Host");
  if (range.first == range.second) return false;
  for (auto it = range.first; it != range.second; ++it) {
    std::string host;
    std::int32_t port = 0;
    if (!SplitHostPort(it->second, host, port)) return false;
    if (!IsAllowedAuthority(host + ":" + std::to_string(port), a1, a2)) return false;
  }
  return true;
}

// Parses like std::stoi in base 10: leading white space and a sign, then at least one digit;
// reading stops at the first other character. Fails outside the int32 range.
bool ParseLeadingInt32(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digits_start = i;
  std::int64_t magnitude = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) {
      return false;
    }
    ++i;
  }
  if (i == digits_start) return false;
  const std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(signed_value);
  return true;
}

}  // namespace

HandlerResult PreRoute(const LocalHttpServer::Impl& impl, const httplib::Request& req,
                       httplib::Response& res) {
  if (IsSuspiciousPath(req.target) || IsSuspiciousPath(req.path)) {
    if (AuthorizeLocalRequest(impl, req, res)) SendJsonError(res, 404, "Not Found");
    return HandlerResult::Handled;
  }
  if (!AuthorizeLocalRequest(impl, req, res)) return HandlerResult::Handled;
  if (DeclaredContentLength(req) > impl.options.max_body_bytes) {
    SendJsonError(res, 413, "Request body is too large.");
    return HandlerResult::Handled;
  }
  // The library reads the body of a PRI request into memory without any limit before it would
  // answer 400; answer it before that.
  if (req.method == "PRI") {
    SendJsonError(res, 400, "Bad Request");
    return HandlerResult::Handled;
  }
  return HandlerResult::Unhandled;
}

bool AuthorizeLocalRequest(const LocalHttpServer::Impl& impl, const httplib::Request& req,
                           httplib::Response& res) {
  const bool admitted = [&] {
    if (req.method == "OPTIONS") return false;
    if (!IsLoopbackAddress(req.remote_addr)) return false;
    if (req.local_port < 1 || req.local_port > 65535) return false;
    if (req.local_addr != "127.0.0.1" && req.local_addr != "localhost") return false;
    const std::string port = std::to_string(req.local_port);
    const std::string a1 = "127.0.0.1:" + port;
    const std::string a2 = "localhost:" + port;
    if (!HostHeadersAllowed(req, a1, a2)) return false;
    if (!IsStateChangingMethod(req.method)) return true;
    if (req.get_header_value_count("Origin") != 1) return false;
    const std::string origin = req.get_header_value("Origin");
    if (origin != "http://" + a1 && origin != "http://" + a2) return false;
    if (req.get_header_value_count("X-Tessvark-CSRF") != 1) return false;
    return EqualsWithoutEarlyExit(req.get_header_value("X-Tessvark-CSRF"), impl.csrf_token);
  }();
  if (!admitted) RejectLocalRequest(res);
  return admitted;
}

void RejectLocalRequest(httplib::Response& res) {
  res.status = 403;
  res.set_content(DetailJson(kNotAuthorized), "application/json");
  res.set_header("Cache-Control", "no-store");
  res.set_header("x-tessvark-trust-rejection", "1");
}

bool IsSuspiciousPath(const std::string& text) {
  const std::string lower = ToLowerAscii(text);
  return lower.find("..") != std::string::npos || lower.find("%2e") != std::string::npos ||
         lower.find("%5c") != std::string::npos || lower.find("%00") != std::string::npos ||
         lower.find('\\') != std::string::npos;
}

bool IsLoopbackAddress(const std::string& address) {
  if (ToLowerAscii(address) == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    return reinterpret_cast<const unsigned char*>(&v4.s_addr)[0] == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    static constexpr std::array<unsigned char, 16> kLoopback6{0, 0, 0, 0, 0, 0, 0, 0,
                                                              0, 0, 0, 0, 0, 0, 0, 1};
    for (std::size_t i = 0; i < kLoopback6.size(); ++i) {
      if (v6.s6_addr[i] != kLoopback6[i]) return false;
    }
    return true;
  }
  return false;
}

bool SplitHostPort(const std::string& text, std::string& host, std::int32_t& port) {
  if (text.empty()) return false;
  std::string port_text;
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    host = text.substr(0, close + 1);
    port_text = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }
  std::int32_t value = 0;
  if (!ParseLeadingInt32(port_text, value) || value < 0 || value > 65535) return false;
  port = value;
  return true;
}

std::optional<std::uint64_t> ParseContentLength(const std::string& text) {
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

std::uint64_t DeclaredContentLength(const httplib::Request& req) {
  const auto it = req.headers.find("Content-Length");
  if (it == req.headers.end()) return 0;
  return ParseContentLength(it->second).value_or(0);
}

std::string MakeCsrfToken() {
  std::array<unsigned char, 32> bytes{};
  if (!FillRandomBytes(bytes.data(), bytes.size())) {
    throw std::runtime_error("the local CSRF token could not be generated");
  }
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string token;
  token.reserve(43);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    token += kAlphabet[(group >> 18) & 63];
    token += kAlphabet[(group >> 12) & 63];
    token += kAlphabet[(group >> 6) & 63];
    token += kAlphabet[group & 63];
  }
  // 32 bytes leave two: three characters, no padding.
  const std::uint32_t tail = (bytes[i] << 16) | (bytes[i + 1] << 8);
  token += kAlphabet[(tail >> 18) & 63];
  token += kAlphabet[(tail >> 12) & 63];
  token += kAlphabet[(tail >> 6) & 63];
  return token;
}

}  // namespace tessvark
