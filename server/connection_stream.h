#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace tessvark {

// One accepted connection as the HTTP library reads and writes it: first the bytes the intake
// already received (the request head, perhaps the start of the body), then the socket, unless
// those bytes are the whole request. Reading ends for good at the request's deadline, whatever the
// client sends; writing has only the per-write time-out, so a reply (an event stream among them)
// may last.
class ConnectionStream final : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  // `fd` stays owned by the caller and must outlive the stream. When `received_is_whole`, the
  // input ends after `received`: the socket is never read.
  ConnectionStream(int fd, std::string received, bool received_is_whole,
                   Clock::time_point deadline, std::chrono::milliseconds read_timeout,
                   std::chrono::milliseconds write_timeout);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, std::size_t size) override;
  ssize_t write(const char* ptr, std::size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

  // Whether a read was cut off by the deadline: the request never fully arrived.
  bool deadline_passed() const { return deadline_passed_; }
  // Sends `bytes` whole within the write time-out, even once the deadline passed.
  bool SendAll(const std::string& bytes);

 private:
  // Waits for the socket to become readable within the read time-out and the deadline.
  bool WaitReadable() const;
  // One send within the write time-out: the bytes sent, or -1.
  ssize_t SendSome(const char* ptr, std::size_t size);

  const int fd_;
  std::string buffer_;  // received but not yet read
  std::size_t buffer_pos_ = 0;
  const bool received_is_whole_;
  const Clock::time_point deadline_;
  const std::chrono::milliseconds read_timeout_;
  const std::chrono::milliseconds write_timeout_;
  mutable bool deadline_passed_ = false;
};

// Waits until `fd` reports one of `events` (poll), at most `timeout`; retries when a signal
// interrupts the wait. True when an event arrived.
bool WaitForSocket(int fd, short events, std::chrono::milliseconds timeout);

}  // namespace tessvark
