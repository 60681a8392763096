#include "platform/tcp_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

namespace tessvark {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollSliceMs = 100;

bool Stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// Milliseconds left before the deadline, truncated; negative once it has passed.
std::int64_t RemainingMs(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

int ClampSlice(std::int64_t remaining_ms) {
  if (remaining_ms < 1) return 1;
  if (remaining_ms > kPollSliceMs) return kPollSliceMs;
  return static_cast<int>(remaining_ms);
}

// Connects to one address; kNoReason when no connection could even be tried.
TcpStatus ConnectOne(const addrinfo& address, Clock::time_point deadline,
                     const std::atomic<bool>* stop, UniqueFd& connected) {
  UniqueFd socket_fd(
      socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol));
  const int fd = socket_fd.get();
  if (fd < 0) return TcpStatus::kNoReason;
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return TcpStatus::kNoReason;
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
    connected = std::move(socket_fd);
    return TcpStatus::kOk;
  }
  if (errno != EINPROGRESS && errno != EWOULDBLOCK) return TcpStatus::kNoReason;
  for (;;) {
    if (Stopped(stop)) return TcpStatus::kStopped;
    const auto remaining = deadline - Clock::now();
    if (remaining < std::chrono::nanoseconds(1)) return TcpStatus::kTimedOut;
    std::int64_t wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(remaining).count();
    if (wait_ms < 0) wait_ms = 0;
    if (stop != nullptr && wait_ms > kPollSliceMs) wait_ms = kPollSliceMs;
    pollfd entry{fd, POLLOUT, 0};
    const int ready = poll(&entry, 1, static_cast<int>(wait_ms));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return TcpStatus::kUnreachable;
    }
    if (ready == 0) {
      if (stop != nullptr) continue;
      return TcpStatus::kTimedOut;
    }
    int socket_error = 0;
    socklen_t length = sizeof socket_error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &socket_error, &length) < 0) socket_error = errno;
    if (socket_error == 0) {
      connected = std::move(socket_fd);
      return TcpStatus::kOk;
    }
    return socket_error == ECONNREFUSED ? TcpStatus::kRefused : TcpStatus::kUnreachable;
  }
}

}  // namespace

TcpStatus TcpConnection::Connect(const std::string& host, std::int32_t port, Deadline deadline,
                                 const std::atomic<bool>* stop) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  in_addr probe{};
  if (inet_pton(AF_INET, host.c_str(), &probe) == 1) {
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  }
  addrinfo* addresses = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0 || addresses == nullptr) {
    if (addresses != nullptr) freeaddrinfo(addresses);
    return TcpStatus::kUnreachable;
  }
  TcpStatus last = TcpStatus::kNoReason;
  for (const addrinfo* entry = addresses; entry != nullptr; entry = entry->ai_next) {
    const TcpStatus status = ConnectOne(*entry, deadline, stop, socket_);
    if (status == TcpStatus::kOk) {
      last = status;
      break;
    }
    if (status != TcpStatus::kNoReason) last = status;
  }
  freeaddrinfo(addresses);
  return last;
}

TcpStatus TcpConnection::SendAll(std::string_view bytes, Deadline deadline,
                                 const std::atomic<bool>* stop) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (Stopped(stop)) return TcpStatus::kStopped;
    const std::int64_t remaining = RemainingMs(deadline);
    if (remaining <= 0 && Clock::now() >= deadline) return TcpStatus::kTimedOut;
    pollfd entry{socket_.get(), POLLOUT, 0};
    if (poll(&entry, 1, ClampSlice(remaining)) <= 0) continue;
    const ssize_t count =
        send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
    } else if (count == 0 || (errno != EWOULDBLOCK && errno != EAGAIN && errno != EINPROGRESS &&
                              errno != EINTR)) {
      return TcpStatus::kRefused;
    }
  }
  return TcpStatus::kOk;
}

TcpConnection::Read TcpConnection::ReadSome(char* into, std::size_t size, int wait_ms,
                                            std::size_t& count) {
  count = 0;
  pollfd entry{socket_.get(), POLLIN | POLLPRI, 0};
  const int ready = poll(&entry, 1, wait_ms);
  if (ready < 0) return Read::kEnd;
  if (ready == 0) return Read::kNothingYet;
  const ssize_t received = recv(socket_.get(), into, size, 0);
  if (received == 0) return Read::kEnd;
  if (received < 0) {
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) {
      return Read::kNothingYet;
    }
    return Read::kEnd;
  }
  count = static_cast<std::size_t>(received);
  return Read::kData;
}

TcpConnection::Read TcpConnection::ReadSome(char* into, std::size_t size, Deadline deadline,
                                            std::size_t& count) {
  return ReadSome(into, size, ClampSlice(RemainingMs(deadline)), count);
}

}  // namespace tessvark
