#include "server/connection_intake.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/thread_name.h"
#include "server/server_state.h"

namespace tessvark {
namespace {

constexpr std::size_t kReceiveChunk = 16384;
// How long an answered connection may go on sending before it is closed: long enough for a
// client still sending its head to read the answer instead of a reset.
constexpr std::chrono::milliseconds kLinger{1000};

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool NameIs(std::string_view name, const char* expected) {
  const std::string_view want(expected);
  return name.size() == want.size() && strncasecmp(name.data(), expected, want.size()) == 0;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Service Unavailable";
  }
}

}  // namespace

void ScanRequestHead(std::string_view received, HeadScan& scan) {
  while (scan.head_bytes == 0 && scan.scanned < received.size()) {
    const std::size_t end = received.find('\n', scan.scanned);
    if (end == std::string_view::npos) {
      scan.scanned = received.size();
      return;
    }
    const std::string_view line = received.substr(scan.line_start, end + 1 - scan.line_start);
    if (scan.lines > 0 && line == "\r\n") scan.head_bytes = end + 1;
    ++scan.lines;
    scan.scanned = end + 1;
    scan.line_start = end + 1;
  }
}

bool HeadTooLarge(const HeadScan& scan, std::size_t received_bytes, const IntakeLimits& limits) {
  const std::size_t bytes = scan.head_bytes != 0 ? scan.head_bytes : received_bytes;
  // Lines after the request line, without the blank line that ends the head.
  const std::size_t header_lines =
      scan.lines == 0 ? 0 : scan.lines - 1 - (scan.head_bytes != 0 ? 1 : 0);
  return bytes > limits.max_head_bytes || header_lines > limits.max_header_lines;
}

BodyPlan PlanBody(std::string_view head, std::size_t max_held) {
  BodyPlan plan;
  bool length_seen = false;
  bool coding_seen = false;
  std::size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    const std::size_t end = head.find('\n', pos + 1);
    const std::string_view line =
        head.substr(pos + 1, (end == std::string_view::npos ? head.size() : end) - pos - 1);
    pos = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (NameIs(name, "Transfer-Encoding")) {
      coding_seen = true;
      plan.streamed = true;
    } else if (NameIs(name, "Content-Length") && !length_seen) {
      // The library reads the first Content-Length; one that is not plain digits is left to it.
      length_seen = true;
      const std::optional<std::uint64_t> length =
          ParseContentLength(std::string(TrimBlanks(line.substr(colon + 1))));
      if (!length || *length > max_held) {
        plan.streamed = true;
      } else {
        plan.held_bytes = *length;
      }
    }
  }
  if (plan.streamed) plan.held_bytes = 0;
  if (!length_seen && !coding_seen) {
    // The library reads a body of these methods until the connection ends when nothing frames
    // it; the methods are matched as the library matches them, case included.
    const std::string_view method = head.substr(0, head.find(' '));
    plan.length_required = method == "POST" || method == "PUT" || method == "PATCH";
  }
  return plan;
}

std::string FormatClosingReply(int status, const std::string& message) {
  httplib::Response res;
  SendJsonError(res, status, message);
  AddSecurityHeaders(res);
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : res.headers) out += name + ": " + value + "\r\n";
  out += "Content-Length: " + std::to_string(res.body.size()) + "\r\nConnection: close\r\n\r\n";
  return out + res.body;
}

ConnectionIntake::ConnectionIntake(UniqueFd listener, IntakeLimits limits, Handoff handoff)
    : limits_(limits),
      handoff_(std::move(handoff)),
      listener_(std::move(listener)),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_.valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
  // Accepting goes on until the queue is empty, which a blocking socket would wait out.
  fcntl(listener_.get(), F_SETFL, fcntl(listener_.get(), F_GETFL) | O_NONBLOCK);
}

void ConnectionIntake::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

ConnectionIntake::~ConnectionIntake() { Stop(std::chrono::milliseconds(0)); }

void ConnectionIntake::Stop(std::chrono::milliseconds grace) {
  if (thread_.joinable()) {
    stop_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof(one));
    thread_.join();
  }
  waiting_.clear();
  listener_.Reset();
  const Clock::time_point end = Clock::now() + grace;
  MutexLock lock(mutex_);
  for (const int fd : serving_) shutdown(fd, SHUT_RD);
  while (!serving_.empty() && served_.WaitUntil(end)) {
  }
  for (const int fd : serving_) shutdown(fd, SHUT_RDWR);
}

void ConnectionIntake::Finish(int fd, bool streams_body) {
  MutexLock lock(mutex_);
  serving_.erase(fd);
  if (streams_body) --body_streams_;
  served_.SignalAll();
}

std::size_t ConnectionIntake::BodyStreams() {
  MutexLock lock(mutex_);
  return body_streams_;
}

void ConnectionIntake::Run() {
  NameThisThread("intake");
  try {
    RunLoop();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "http-thread=%s\n", error.what());
    std::fflush(stderr);
  } catch (...) {
    std::fprintf(stderr, "http-thread=unknown\n");
    std::fflush(stderr);
  }
}

void ConnectionIntake::RunLoop() {
  std::vector<pollfd> polled;
  std::vector<WaitingList::iterator> owners;
  while (!stop_.load()) {
    polled.assign({{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
    owners.clear();
    Clock::time_point next = Clock::time_point::max();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      polled.push_back({it->fd.get(), POLLIN, 0});
      owners.push_back(it);
      next = std::min(next, it->deadline);
    }
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
      timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
    }
    const int ready = poll(polled.data(), polled.size(), timeout);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
    if (stop_.load()) return;
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < owners.size(); ++i) {
      const auto it = owners[i];
      bool keep = true;
      if (ready > 0 && polled[i + 2].revents != 0) keep = Receive(*it) && Advance(*it);
      if (keep && now >= it->deadline) {
        // A request past its deadline is answered; an answered one has lingered long enough.
        keep = !it->answered;
        if (keep) Answer(*it, 408, kLateRequestMessage);
      }
      if (!keep) waiting_.erase(it);
    }
    if (ready > 0 && polled[1].revents != 0) AcceptAll();
  }
}

void ConnectionIntake::AcceptAll() {
  for (;;) {
    const int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors: the oldest held connection makes room for the next round.
      if ((errno == EMFILE || errno == ENFILE) && !waiting_.empty()) waiting_.pop_front();
      return;
    }
    if (waiting_.size() >= limits_.max_waiting) waiting_.pop_front();
    Waiting& waiting = waiting_.emplace_back();
    waiting.fd.Reset(fd);
    waiting.deadline = Clock::now() + limits_.deadline;
  }
}

bool ConnectionIntake::Receive(Waiting& waiting) {
  char chunk[kReceiveChunk];
  ssize_t n = 0;
  do {
    n = recv(waiting.fd.get(), chunk, sizeof(chunk), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  if (n == 0) return false;
  if (waiting.answered) return Clock::now() < waiting.deadline;
  waiting.received.append(chunk, static_cast<std::size_t>(n));
  return true;
}

bool ConnectionIntake::Advance(Waiting& waiting) {
  if (waiting.answered) return true;
  ScanRequestHead(waiting.received, waiting.scan);
  if (HeadTooLarge(waiting.scan, waiting.received.size(), limits_)) {
    Answer(waiting, 431, "Request header fields are too large.");
    return true;
  }
  if (waiting.scan.head_bytes == 0) return true;
  const BodyPlan plan = PlanBody(
      std::string_view(waiting.received).substr(0, waiting.scan.head_bytes),
      limits_.max_held_body_bytes);
  if (plan.length_required) {
    Answer(waiting, 411, kLengthRequiredMessage);
    return true;
  }
  if (waiting.received.size() - waiting.scan.head_bytes < plan.held_bytes) return true;
  // Whatever follows a whole request is no part of it: one request is served per connection.
  if (!plan.streamed) waiting.received.resize(waiting.scan.head_bytes + plan.held_bytes);
  {
    MutexLock lock(mutex_);
    if (plan.streamed && body_streams_ >= limits_.max_body_streams) {
      lock.Unlock();
      Answer(waiting, 503, "The local server is busy.");
      return true;
    }
    if (plan.streamed) ++body_streams_;
    serving_.insert(waiting.fd.get());
  }
  const int fd = waiting.fd.get();
  try {
    handoff_(ReadyConnection{std::move(waiting.fd), std::move(waiting.received), waiting.deadline,
                             plan.streamed});
  } catch (...) {
    // The connection went with the failed hand-off.
    Finish(fd, plan.streamed);
  }
  return false;
}

void ConnectionIntake::Answer(Waiting& waiting, int status, const char* message) {
  const std::string reply = FormatClosingReply(status, message);
  // One attempt: a client that does not take a small reply at once gets none.
  [[maybe_unused]] const ssize_t sent =
      send(waiting.fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(waiting.fd.get(), SHUT_WR);
  std::string().swap(waiting.received);
  waiting.answered = true;
  waiting.deadline = Clock::now() + kLinger;
}

}  // namespace tessvark
