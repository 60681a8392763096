#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tessvark {

// How a step of a TCP connection ended; the caller words it for its user.
enum class TcpStatus : std::int32_t {
  kOk = 0,
  kStopped = 1,      // the stop flag became true
  kTimedOut = 2,     // the deadline passed
  kRefused = 3,      // the peer refused the connection, or a send failed
  kUnreachable = 4,  // the host has no usable address, or the connection failed another way
  kNoReason = 5,     // every address failed before a connection was tried
};

// One client connection over TCP with non-blocking sockets: every wait polls in slices of at
// most 100 ms while a stop flag is given, so a flag that becomes true ends it within one slice.
// Closed when it goes. Used from one thread at a time.
class TcpConnection {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // How a read ended.
  enum class Read { kData, kNothingYet, kEnd };

  // Connects to `host` (a numeric IPv4 address is used as it is, anything else goes through the
  // resolver) on `port`, trying its addresses in turn. On failure the status of the last
  // address that failed with a reason.
  TcpStatus Connect(const std::string& host, std::int32_t port, Deadline deadline,
                    const std::atomic<bool>* stop);
  // Sends every byte before the deadline.
  TcpStatus SendAll(std::string_view bytes, Deadline deadline, const std::atomic<bool>* stop);
  // Waits at most `wait_ms` for bytes and reads up to `size` of them into `into`: kData with
  // `count` set, kNothingYet when none came or the read was interrupted, kEnd when the peer closed
  // or the connection failed.
  Read ReadSome(char* into, std::size_t size, int wait_ms, std::size_t& count);
  // The same, waiting one poll slice at most and never past the deadline (at least 1 ms).
  Read ReadSome(char* into, std::size_t size, Deadline deadline, std::size_t& count);

 private:
  UniqueFd socket_;
};

}  // namespace tessvark
