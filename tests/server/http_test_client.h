#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/wait_until.h"

namespace tessvark::testing {

// One parsed HTTP reply. Header names compare without regard to case.
struct HttpReply {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // chunked bodies decoded as far as they arrived

  std::size_t HeaderCount(const std::string& name) const;
  // The first value, or empty.
  std::string Header(const std::string& name) const;
};

// Parses the first reply in `raw`.
HttpReply ParseReply(const std::string& raw);

// How many replies follow each other in `raw` (each framed by its Content-Length).
std::size_t CountStatusLines(const std::string& raw);

// A raw TCP connection to 127.0.0.1.
class RawConnection {
 public:
  // A receive buffer of `receive_buffer_bytes` (0: the system's) lets a client that stops reading
  // hold up the server's writes early.
  explicit RawConnection(int port, int receive_buffer_bytes = 0);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads until `needle` appears after `from` (true), the peer closes or the timeout passes.
  bool ReadUntil(const std::string& needle, std::chrono::milliseconds timeout,
                 std::size_t from = 0);
  // Reads until `done` holds for what arrived (true), the peer closes or `deadline` passes.
  bool ReadUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::steady_clock::time_point deadline);
  // Reads until the peer closes (true) or the timeout passes.
  bool ReadToEnd(std::chrono::milliseconds timeout);
  void Close();
  const std::string& received() const { return received_; }
  bool closed_by_peer() const { return closed_by_peer_; }

 private:
  // One read with the remaining time; false on close, error or time-out (a signal that cuts the
  // wait short is none of these).
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool closed_by_peer_ = false;
  std::string received_;
};

// Sends `bytes` on a new connection and returns everything the server sent before closing.
std::string Exchange(int port, const std::string& bytes,
                     std::chrono::milliseconds timeout = kPatience);

}  // namespace tessvark::testing
