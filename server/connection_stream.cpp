#include "server/connection_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tessvark {
namespace {

constexpr std::size_t kReadChunk = 4096;

void AddressText(const sockaddr_storage& address, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof(text));
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof(text));
    port = ntohs(v6.sin6_port);
  }
  ip = text;
}

}  // namespace

bool WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

ConnectionStream::ConnectionStream(int fd, std::string received, bool received_is_whole,
                                   Clock::time_point deadline,
                                   std::chrono::milliseconds read_timeout,
                                   std::chrono::milliseconds write_timeout)
    : fd_(fd),
      buffer_(std::move(received)),
      received_is_whole_(received_is_whole),
      deadline_(deadline),
      read_timeout_(read_timeout),
      write_timeout_(write_timeout) {}

bool ConnectionStream::WaitReadable() const {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
  if (left.count() > 0 && WaitForSocket(fd_, POLLIN, std::min(left, read_timeout_))) return true;
  if (Clock::now() >= deadline_) deadline_passed_ = true;
  return false;
}

bool ConnectionStream::is_readable() const {
  return buffer_pos_ < buffer_.size() || (!received_is_whole_ && WaitReadable());
}

bool ConnectionStream::is_writable() const {
  return WaitForSocket(fd_, POLLOUT, write_timeout_);
}

ssize_t ConnectionStream::read(char* ptr, std::size_t size) {
  if (buffer_pos_ == buffer_.size()) {
    if (received_is_whole_) return 0;
    if (!WaitReadable()) return -1;
    buffer_.resize(kReadChunk);
    buffer_pos_ = 0;
    ssize_t n = 0;
    do {
      n = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    buffer_.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n <= 0) return n < 0 ? -1 : 0;
  }
  const std::size_t count = std::min(size, buffer_.size() - buffer_pos_);
  std::memcpy(ptr, buffer_.data() + buffer_pos_, count);
  buffer_pos_ += count;
  return static_cast<ssize_t>(count);
}

ssize_t ConnectionStream::SendSome(const char* ptr, std::size_t size) {
  for (;;) {
    if (!is_writable()) return -1;
    const ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return n;
  }
}

ssize_t ConnectionStream::write(const char* ptr, std::size_t size) {
  // Once the request is given up, the library's own reply to the broken read is not sent; the
  // server answers for the deadline instead.
  if (deadline_passed_) return -1;
  return SendSome(ptr, size);
}

bool ConnectionStream::SendAll(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = SendSome(bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    AddressText(address, ip, port);
  }
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    AddressText(address, ip, port);
  }
}

}  // namespace tessvark
