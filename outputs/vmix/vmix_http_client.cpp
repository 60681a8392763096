#include "outputs/vmix/vmix_http_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "core/text.h"
#include "platform/tcp_connection.h"

namespace tessvark {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxAnswerBytes = 1048576;
constexpr std::size_t kReceiveChunk = 4096;

// Leading white space, an optional sign, then digits up to the first other byte.
bool ReadLeadingInt(std::string_view text, std::int32_t& out) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= 0x09 && text[i] <= 0x0D))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digits_start = i;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return false;
  }
  if (i == digits_start) return false;
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max() || value < std::numeric_limits<std::int32_t>::min()) {
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool Stopped(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load();
}

struct Exchange {
  std::string buffer;
  bool too_large = false;
};

// Reads until the peer closes, the declared length has arrived, or the cap is reached.
// Returns an error text for a stop or the deadline; empty otherwise.
std::string ReceiveAnswer(TcpConnection& connection, Clock::time_point deadline,
                          const std::atomic<bool>* stop, Exchange& exchange) {
  std::string& buffer = exchange.buffer;
  char chunk[kReceiveChunk];
  while (buffer.size() < kMaxAnswerBytes) {
    if (Stopped(stop)) return "stopped";
    if (Clock::now() >= deadline) return "timed out";
    std::size_t received = 0;
    const TcpConnection::Read read = connection.ReadSome(chunk, sizeof chunk, deadline, received);
    if (read == TcpConnection::Read::kEnd) break;
    if (read == TcpConnection::Read::kNothingYet) continue;
    if (buffer.size() + received > kMaxAnswerBytes) {
      exchange.too_large = true;
      return std::string();
    }
    buffer.append(chunk, received);
    const std::size_t header_end = buffer.size() >= 4 ? buffer.find("\r\n\r\n") : std::string::npos;
    if (header_end == std::string::npos) continue;
    const std::string_view header(buffer.data(), header_end);
    if (header.size() < 15) continue;
    std::size_t at = header.find("Content-Length:");
    if (at == std::string_view::npos) at = header.find("content-length:");
    if (at == std::string_view::npos) continue;
    std::size_t line_end = header.find("\r\n", at);
    if (line_end == std::string_view::npos) line_end = header.size();
    const std::string value = TrimAsciiWhitespace(header.substr(at + 15, line_end - at - 15));
    if (value.empty() || value.size() > 10) continue;
    std::uint64_t length = 0;
    bool digits = true;
    for (const char c : value) {
      if (c < '0' || c > '9') digits = false;
      else length = length * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!digits || length > 0xFFFFFFFFull) continue;
    if (length > kMaxAnswerBytes) {
      exchange.too_large = true;
      return std::string();
    }
    if (buffer.size() >= header_end + 4 + length) break;
  }
  if (!exchange.too_large && buffer.size() == kMaxAnswerBytes) {
    char extra = 0;
    std::size_t count = 0;
    if (connection.ReadSome(&extra, 1, 0, count) == TcpConnection::Read::kData) {
      exchange.too_large = true;
    }
  }
  return std::string();
}

void ParseAnswer(const std::string& buffer, VmixHttpResult& result) {
  const std::size_t header_end = buffer.find("\r\n\r\n");
  if (header_end == std::string::npos) {
    result.error = "timed out";
    return;
  }
  const std::string_view status_line = std::string_view(buffer).substr(0, buffer.find("\r\n"));
  const std::size_t space = status_line.find(' ');
  std::int32_t status = 0;
  if (space == std::string_view::npos || !ReadLeadingInt(status_line.substr(space + 1), status)) {
    result.error = "not well-formed";
    return;
  }
  result.status = status;
  result.body = buffer.substr(header_end + 4);
  if (status < 200 || status > 299) {
    result.error = "HTTP Error " + std::to_string(status);
    const std::size_t second = status_line.find(' ', space + 1);
    if (second != std::string_view::npos && second + 1 < status_line.size()) {
      result.error += ": ";
      result.error += status_line.substr(second + 1);
    }
  }
}

// The error text of a connection step that did not succeed.
const char* ConnectionError(TcpStatus status) {
  switch (status) {
    case TcpStatus::kStopped: return "stopped";
    case TcpStatus::kTimedOut: return "timed out";
    case TcpStatus::kUnreachable: return "vMix host was not found";
    default: return "Connection refused";
  }
}

// Everything after normalising the host; `result` carries the outcome.
void RunExchange(const VmixHostAddress& address, std::string_view path, Clock::time_point t0,
                 double timeout_seconds, const std::atomic<bool>* stop, VmixHttpResult& result) {
  const auto deadline = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
  TcpConnection connection;
  const TcpStatus connected = connection.Connect(address.host, address.port, deadline, stop);
  if (connected != TcpStatus::kOk) {
    result.error = ConnectionError(connected);
    return;
  }

  std::string request = "GET ";
  request.append(path);
  request += " HTTP/1.1\r\nHost: ";
  request += address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  request += ":" + std::to_string(address.port);
  request += "\r\nAccept: application/xml,text/xml,*/*\r\nConnection: close\r\n\r\n";
  const TcpStatus sent = connection.SendAll(request, deadline, stop);
  if (sent != TcpStatus::kOk) {
    result.error = ConnectionError(sent);
    return;
  }

  Exchange exchange;
  const std::string receive_error = ReceiveAnswer(connection, deadline, stop, exchange);
  if (!receive_error.empty()) {
    result.error = receive_error;
    return;
  }
  if (exchange.too_large) {
    result.error = "response too large";
    return;
  }
  ParseAnswer(exchange.buffer, result);
}

}  // namespace

VmixHostAddress NormalizeVmixHost(std::string_view raw, std::int32_t default_port) {
  VmixHostAddress address;
  std::string text = TrimAsciiWhitespace(raw);
  if (text.size() > 6 && text.compare(0, 7, "http://") == 0) {
    text.erase(0, 7);
  } else if (text.size() > 7 && text.compare(0, 8, "https://") == 0) {
    text.erase(0, 8);
  }
  while (!text.empty() && text.back() == '/') text.pop_back();
  if (text.empty()) {
    address.error = "vMix host is required";
    return address;
  }
  std::int32_t port = default_port;
  bool port_ok = true;
  if (text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      address.error = "Invalid vMix host";
      return address;
    }
    address.host = text.substr(1, close - 1);
    if (close + 1 < text.size() && text[close + 1] == ':') {
      port_ok = ReadLeadingInt(std::string_view(text).substr(close + 2), port);
    }
  } else {
    const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons >= 2) {
      address.error = "Invalid vMix host";
      return address;
    }
    if (colons == 1) {
      const std::size_t colon = text.find(':');
      address.host = text.substr(0, colon);
      port_ok = ReadLeadingInt(std::string_view(text).substr(colon + 1), port);
    } else {
      address.host = text;
    }
  }
  if (!port_ok || port < 1 || port > 65535 || address.host.empty()) {
    address.host.clear();
    address.error = "Invalid vMix host";
    return address;
  }
  address.port = port;
  address.ok = true;
  return address;
}

VmixHttpResult VmixHttpGet(std::string_view host, std::int32_t port, std::string_view path,
                           double timeout_seconds, const std::atomic<bool>* stop) {
  const auto t0 = Clock::now();
  VmixHttpResult result;
  const VmixHostAddress address = NormalizeVmixHost(host, port);
  if (!address.ok) {
    result.error = address.error;
  } else {
    RunExchange(address, path, t0, timeout_seconds, stop, result);
  }
  result.elapsed_ms = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) / 1e6;
  return result;
}

}  // namespace tessvark
