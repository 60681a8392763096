#include "http_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tessvark::testing {

std::size_t HttpReply::HeaderCount(const std::string& name) const {
  std::size_t count = 0;
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) ++count;
  }
  return count;
}

std::string HttpReply::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
  }
  return {};
}

namespace {

std::string DecodeChunked(const std::string& data) {
  std::string out;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::size_t line_end = data.find("\r\n", pos);
    if (line_end == std::string::npos) break;
    const std::size_t size = std::strtoul(data.substr(pos, line_end - pos).c_str(), nullptr, 16);
    if (size == 0) break;
    const std::size_t start = line_end + 2;
    out += data.substr(start, size);
    pos = start + size + 2;
  }
  return out;
}

}  // namespace

HttpReply ParseReply(const std::string& raw) {
  HttpReply reply;
  const std::size_t head_end = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, head_end);
  const std::size_t first_line_end = head.find("\r\n");
  const std::string status_line = head.substr(0, first_line_end);
  if (status_line.rfind("HTTP/1.1 ", 0) == 0) reply.status = std::atoi(status_line.c_str() + 9);
  std::size_t pos = first_line_end == std::string::npos ? head.size() : first_line_end + 2;
  while (pos < head.size()) {
    std::size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(pos, end - pos);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::size_t value_start = colon + 1;
      while (value_start < line.size() && line[value_start] == ' ') ++value_start;
      reply.headers.emplace_back(line.substr(0, colon), line.substr(value_start));
    }
    pos = end + 2;
  }
  if (head_end == std::string::npos) return reply;
  std::string rest = raw.substr(head_end + 4);
  if (reply.Header("Transfer-Encoding") == "chunked") {
    reply.body = DecodeChunked(rest);
  } else if (reply.HeaderCount("Content-Length") > 0) {
    reply.body = rest.substr(0, std::strtoul(reply.Header("Content-Length").c_str(), nullptr, 10));
  } else {
    reply.body = rest;
  }
  return reply;
}

std::size_t CountStatusLines(const std::string& raw) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (raw.compare(pos, 7, "HTTP/1.") == 0) {
    ++count;
    const std::size_t head_end = raw.find("\r\n\r\n", pos);
    if (head_end == std::string::npos) break;
    const HttpReply reply = ParseReply(raw.substr(pos));
    pos = head_end + 4 + std::strtoul(reply.Header("Content-Length").c_str(), nullptr, 10);
  }
  return count;
}

RawConnection::RawConnection(int port, int receive_buffer_bytes) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (receive_buffer_bytes > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof(receive_buffer_bytes));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return;
  // A signal may cut the connect short while the kernel goes on with it: wait for the outcome.
  int error = errno;
  if (error == EINTR || error == EINPROGRESS) {
    pollfd entry{fd_, POLLOUT, 0};
    int ready = 0;
    do {
      ready = poll(&entry, 1, 20000);
    } while (ready < 0 && errno == EINTR);
    socklen_t length = sizeof(error);
    if (ready <= 0 || getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = ETIMEDOUT;
  }
  if (error != 0) Close();
}

RawConnection::~RawConnection() { Close(); }

bool RawConnection::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawConnection::ReadSome(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || closed_by_peer_) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd entry{fd_, POLLIN, 0};
  const int ready = poll(&entry, 1, static_cast<int>(left.count()));
  // A signal only shortens the wait; the caller's loop waits again for the time left.
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  char buffer[65536];
  ssize_t n = 0;
  do {
    n = recv(fd_, buffer, sizeof(buffer), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    closed_by_peer_ = true;
    return false;
  }
  received_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool RawConnection::ReadUntil(const std::string& needle, std::chrono::milliseconds timeout,
                              std::size_t from) {
  return ReadUntil([&](const std::string& received) { return received.find(needle, from) != std::string::npos; },
                   std::chrono::steady_clock::now() + timeout);
}

bool RawConnection::ReadUntil(const std::function<bool(const std::string&)>& done,
                              std::chrono::steady_clock::time_point deadline) {
  while (!done(received_)) {
    if (!ReadSome(deadline)) return done(received_);
  }
  return true;
}

bool RawConnection::ReadToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ReadSome(deadline)) {
  }
  return closed_by_peer_;
}

void RawConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string Exchange(int port, const std::string& bytes, std::chrono::milliseconds timeout) {
  RawConnection connection(port);
  if (!connection.connected()) return {};
  connection.Send(bytes);
  connection.ReadToEnd(timeout);
  return connection.received();
}

}  // namespace tessvark::testing
