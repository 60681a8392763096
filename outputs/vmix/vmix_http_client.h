#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessvark {

struct VmixHostAddress {
  std::string host;
  std::int32_t port = 0;
  bool ok = false;
  std::string error;
};

struct VmixHttpResult {
  std::int32_t status = 0;
  std::string body;
  // Empty on success, which implies a status from 200 to 299.
  std::string error;
  double elapsed_ms = 0.0;
};

// Turns what a user typed ("http://host:port/", "[v6]:port", " host ") into host and port.
VmixHostAddress NormalizeVmixHost(std::string_view text, std::int32_t default_port);

// One HTTP/1.1 GET on a fresh connection, answer capped at 1 MiB, all within `timeout_seconds`.
// A stop flag that becomes true ends the call with "stopped" within one 100 ms poll slice.
// Never throws; every failure is an error text. Safe to call from any number of threads.
VmixHttpResult VmixHttpGet(std::string_view host, std::int32_t port, std::string_view path,
                           double timeout_seconds, const std::atomic<bool>* stop);

}  // namespace tessvark
