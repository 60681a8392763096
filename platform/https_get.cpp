#include "platform/https_get.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/base64.h"
#include "core/mutex.h"
#include "core/text.h"
#include "platform/thread_name.h"
#include "platform/unique_fd.h"

namespace tessvark {
namespace {

constexpr char kUserAgent[] = "Tessvark";

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Whether a declared Content-Length is above `limit`; a malformed one is left to the library,
// which refuses it.
bool DeclaresMoreThan(const httplib::Response& response, std::uint64_t limit) {
  if (!response.has_header("Content-Length")) return false;
  std::uint64_t declared = 0;
  for (char c : response.get_header_value("Content-Length")) {
    if (c < '0' || c > '9') return false;
    if (declared > limit / 10) return true;
    declared = declared * 10 + static_cast<std::uint64_t>(c - '0');
    if (declared > limit) return true;
  }
  return false;
}

bool IsNumericAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

milliseconds Left(Clock::time_point deadline) {
  return std::max(milliseconds(0),
                  std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

// Ends a fetch that runs past its deadline, or that receives less than its floor in a rate
// window, by shutting its connection down: whatever the library waits for then (the connection,
// the handshake, the proxy's answer, the head or the body) fails at once. It watches a copy of
// the connection's descriptor, so that it never touches a number the library has closed and
// the system has handed out again.
class FetchWatchdog {
 public:
  enum class Cut { kNone, kDeadline, kTooSlow };

  FetchWatchdog(Clock::time_point deadline, std::uint64_t min_bytes_per_second,
                milliseconds window)
      : deadline_(deadline),
        floor_(min_bytes_per_second * static_cast<std::uint64_t>(window.count()) / 1000),
        window_(window) {
    thread_ = std::thread([this] {
      NameThisThread("https-watchdog");
      Run();
    });
  }
  ~FetchWatchdog() {
    {
      MutexLock lock(mutex_);
      done_ = true;
    }
    changed_.SignalAll();
    thread_.join();
  }
  FetchWatchdog(const FetchWatchdog&) = delete;
  FetchWatchdog& operator=(const FetchWatchdog&) = delete;

  // The connection the library just made.
  void Watch(int socket) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    socket_.Reset(fcntl(socket, F_DUPFD_CLOEXEC, 0));
    if (cut_ != Cut::kNone && socket_.valid()) shutdown(socket_.get(), SHUT_RDWR);
  }
  void Count(std::size_t bytes) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    received_ += bytes;
  }
  Cut cut() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return cut_;
  }

 private:
  void Run() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    Clock::time_point window_end = Clock::now() + window_;
    std::uint64_t at_window_start = 0;
    while (!done_) {
      const bool rate = floor_ > 0;
      const Clock::time_point wake = rate ? std::min(deadline_, window_end) : deadline_;
      while (!done_ && changed_.WaitUntil(wake)) {
      }
      if (done_) return;
      const Clock::time_point now = Clock::now();
      if (now >= deadline_) {
        CutLocked(Cut::kDeadline);
        return;
      }
      if (rate && now >= window_end) {
        if (received_ - at_window_start < floor_) {
          CutLocked(Cut::kTooSlow);
          return;
        }
        at_window_start = received_;
        window_end = now + window_;
      }
    }
  }
  void CutLocked(Cut why) REQUIRES(mutex_) {
    cut_ = why;
    if (socket_.valid()) shutdown(socket_.get(), SHUT_RDWR);
  }

  const Clock::time_point deadline_;
  const std::uint64_t floor_;  // bytes a window must bring
  const milliseconds window_;
  mutable Mutex mutex_;
  CondVar changed_{mutex_};
  bool done_ GUARDED_BY(mutex_) = false;
  Cut cut_ GUARDED_BY(mutex_) = Cut::kNone;
  UniqueFd socket_ GUARDED_BY(mutex_);
  std::uint64_t received_ GUARDED_BY(mutex_) = 0;
  std::thread thread_;
};

// Makes the handshake check the server's name as OpenSSL does: against the certificate's DNS
// names alone when it has any (the library's own check would also accept the common name), or
// against its IP addresses for a numeric host.
void RequireServerName(httplib::SSLClient& client, const std::string& host) {
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(client.ssl_context());
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (IsNumericAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  }
}

HttpsFailure FailureOf(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection:
    case httplib::Error::ConnectionTimeout:
    case httplib::Error::BindIPAddress:
      return HttpsFailure::kConnect;
    case httplib::Error::SSLConnection:
    case httplib::Error::SSLLoadingCerts:
    case httplib::Error::SSLServerVerification:
      return HttpsFailure::kTls;
    default:
      return HttpsFailure::kTransfer;
  }
}

// Waits for `events` on `fd` until `deadline`; a signal only shortens the wait.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const milliseconds left = Left(deadline);
    if (left.count() == 0) return false;
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// A TCP connection to `address` on `port` within `deadline`, blocking once made; invalid when
// none came.
UniqueFd ConnectTo(const std::string& address, std::int32_t port, Clock::time_point deadline) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    return UniqueFd();
  }
  UniqueFd fd(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return UniqueFd();
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return UniqueFd();
    int error = 0;
    socklen_t error_length = sizeof(error);
    if (!WaitFor(fd.get(), POLLOUT, deadline) ||
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &error_length) != 0 || error != 0) {
      return UniqueFd();
    }
  }
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool SendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    const ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Asks the proxy on `fd` for a tunnel to the request's server; its answer's status, 0 when none
// came whole by `deadline`. Only the answer's head is read, never a byte beyond it.
int OpenTunnel(int fd, const HttpsRequest& request, Clock::time_point deadline) {
  constexpr std::size_t kMaxHead = 16384;
  const std::string target = (request.host.find(':') != std::string::npos
                                  ? "[" + request.host + "]"
                                  : request.host) +
                             ":" + std::to_string(request.port);
  std::string ask = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (!request.proxy->user.empty()) {
    const std::string credentials = request.proxy->user + ":" + request.proxy->password;
    ask += "Proxy-Authorization: Basic " +
           EncodeBase64(reinterpret_cast<const std::uint8_t*>(credentials.data()),
                        credentials.size()) +
           "\r\n";
  }
  if (!SendAll(fd, ask + "\r\n", deadline)) return 0;
  std::string head;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (head.size() >= kMaxHead || !WaitFor(fd, POLLIN, deadline)) return 0;
    char byte = 0;
    const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return 0;
    head += byte;
  }
  // "HTTP/1.x NNN ..."
  if (head.size() < 12 || head.compare(0, 7, "HTTP/1.") != 0 || head[8] != ' ') return 0;
  const std::string code = head.substr(9, 3);
  if (code.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoi(code);
}

// The client of one fetch: the library's TLS and HTTP over a connection made here, so that the
// name lookup, the connection and a proxy's tunnel keep this fetch's time-outs (the library's own
// tunnel request would also lock itself up on some proxy answers).
class ConnectedClient final : public httplib::SSLClient {
 public:
  using Connect = std::function<UniqueFd()>;
  ConnectedClient(const std::string& host, std::int32_t port, Connect connect)
      : httplib::SSLClient(host, port), connect_(std::move(connect)) {}

 private:
  bool create_and_connect_socket(Socket& socket, httplib::Error& error) override {
    UniqueFd fd = is_valid() ? connect_() : UniqueFd();
    if (!fd.valid()) {
      error = httplib::Error::Connection;
      return false;
    }
    socket.sock = fd.Release();
    return true;
  }

  const Connect connect_;
};

// Makes the connection of one fetch: to the server, or to the proxy with a tunnel through it.
// Sets `failure` (and `status` for a proxy's refusal) when it cannot.
UniqueFd OpenConnection(const HttpsRequest& request, Clock::time_point deadline,
                        FetchWatchdog& watchdog, HttpsFailure& failure, int& status) {
  const HostResolver resolver =
      request.resolver ? request.resolver : HostResolver(ResolveWithSystem);
  // Through a proxy only the proxy's name is looked up here.
  const std::string& name = request.proxy ? request.proxy->host : request.host;
  const std::int32_t port = request.proxy ? request.proxy->port : request.port;
  std::vector<std::string> addresses;
  if (!request.proxy && !request.connect_address.empty()) {
    addresses.push_back(request.connect_address);
  } else {
    addresses =
        ResolveWithin(resolver, name, port, std::min(request.resolve_timeout, Left(deadline)));
  }
  if (addresses.empty()) {
    failure = Left(deadline).count() == 0 ? HttpsFailure::kTimedOut : HttpsFailure::kResolve;
    return UniqueFd();
  }
  UniqueFd fd;
  // Each address in turn, until one takes the connection.
  for (const std::string& address : addresses) {
    fd = ConnectTo(address, port, std::min(Clock::now() + request.connect_timeout, deadline));
    if (fd.valid() || Left(deadline).count() == 0) break;
  }
  if (!fd.valid()) {
    failure = Left(deadline).count() == 0 ? HttpsFailure::kTimedOut : HttpsFailure::kConnect;
    return UniqueFd();
  }
  watchdog.Watch(fd.get());
  if (request.proxy) {
    status = OpenTunnel(fd.get(), request,
                        std::min(Clock::now() + request.receive_timeout, deadline));
    if (status != 200) {
      failure = Left(deadline).count() == 0 ? HttpsFailure::kTimedOut : HttpsFailure::kProxy;
      return UniqueFd();
    }
    status = 0;
  }
  return fd;
}

std::string Lowered(std::string text) { return ToLowerAscii(std::move(text)); }

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto hex = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The first of the variables that is set and not empty.
std::string FirstSetting(const EnvironmentLookup& lookup, const char* lower, const char* upper) {
  for (const char* name : {lower, upper}) {
    const char* value = lookup(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return std::string();
}

// Fetches may run on detached threads (update checks and downloads), so one may still be inside
// OpenSSL when the program ends, while OpenSSL frees its locks in an exit handler of its own. The
// handler set up here runs before OpenSSL's (exit handlers run in reverse order, and OpenSSL is
// initialised first): it refuses new fetches, cuts the running ones off at their next bytes and
// waits a short while for them to end.
constexpr std::chrono::seconds kExitGrace{5};

struct RunningFetches {
  Mutex mutex;
  CondVar ended{mutex};
  int count GUARDED_BY(mutex) = 0;
  bool exiting GUARDED_BY(mutex) = false;
  std::atomic<bool> cut_off{false};
};

// Never destroyed: the exit handler and fetches still running at exit use it.
RunningFetches& Fetches() {
  static RunningFetches* const fetches = new RunningFetches;
  return *fetches;
}

void EndFetchesAtExit() {
  RunningFetches& fetches = Fetches();
  fetches.cut_off = true;
  const Clock::time_point deadline = Clock::now() + kExitGrace;
  MutexLock lock(fetches.mutex);
  fetches.exiting = true;
  while (fetches.count > 0 && fetches.ended.WaitUntil(deadline)) {
  }
}

// Counts one fetch from its start to its end; not counted once the program is ending.
class FetchMark {
 public:
  FetchMark() {
    static std::once_flag registered;
    std::call_once(registered, [] {
      OPENSSL_init_ssl(0, nullptr);
      std::atexit(EndFetchesAtExit);
    });
    RunningFetches& fetches = Fetches();
    MutexLock lock(fetches.mutex);
    counted_ = !fetches.exiting;
    if (counted_) ++fetches.count;
  }
  ~FetchMark() {
    if (!counted_) return;
    // This thread's OpenSSL state goes now, not when the thread ends, which may be after the
    // exit handler has let OpenSSL clean up.
    OPENSSL_thread_stop();
    RunningFetches& fetches = Fetches();
    {
      MutexLock lock(fetches.mutex);
      --fetches.count;
    }
    fetches.ended.SignalAll();
  }
  FetchMark(const FetchMark&) = delete;
  FetchMark& operator=(const FetchMark&) = delete;

  bool counted() const { return counted_; }

 private:
  bool counted_ = false;
};

}  // namespace

std::vector<std::string> ResolveWithSystem(const std::string& host, std::int32_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  std::vector<std::string> addresses;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return addresses;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = nullptr;
    if (entry->ai_family == AF_INET) {
      raw = &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
    } else if (entry->ai_family == AF_INET6) {
      raw = &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr;
    }
    if (raw != nullptr && inet_ntop(entry->ai_family, raw, text, sizeof(text)) != nullptr &&
        std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
      addresses.emplace_back(text);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

std::vector<std::string> ResolveWithin(const HostResolver& resolver, const std::string& host,
                                       std::int32_t port, std::chrono::milliseconds timeout) {
  if (IsNumericAddress(host)) return {host};
  // Shared with the lookup's thread, which may outlive this call.
  struct Lookup {
    Mutex mutex;
    CondVar done_cv{mutex};
    bool done GUARDED_BY(mutex) = false;
    std::vector<std::string> addresses GUARDED_BY(mutex);
  };
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, resolver, host, port] {
      NameThisThread("https-resolve");
      std::vector<std::string> addresses = resolver(host, port);
      {
        MutexLock lock(lookup->mutex);
        lookup->addresses = std::move(addresses);
        lookup->done = true;
      }
      lookup->done_cv.SignalAll();
    }).detach();
  } catch (const std::system_error&) {
    return {};
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(lookup->mutex);
  while (!lookup->done && lookup->done_cv.WaitUntil(deadline)) {
  }
  if (!lookup->done) return {};
  return lookup->addresses;
}

HttpsResult HttpsGetInto(const HttpsRequest& request, std::uint64_t limit,
                         const std::function<bool(const char*, std::size_t)>& sink) {
  if (request.host.empty() || request.path.empty() || request.path[0] != '/') {
    return {HttpsFailure::kRequest, 0};
  }
  const FetchMark mark;
  if (!mark.counted()) return {HttpsFailure::kConnect, 0};
  const Clock::time_point deadline = Clock::now() + request.total_timeout;
  FetchWatchdog watchdog(deadline, request.min_bytes_per_second, request.rate_window);
  HttpsResult outcome;
  ConnectedClient client(request.host, request.port, [&] {
    return OpenConnection(request, deadline, watchdog, outcome.failure, outcome.status);
  });
  client.enable_server_certificate_verification(true);
  if (!request.ca_file.empty()) client.set_ca_cert_path(request.ca_file);
  RequireServerName(client, request.host);
  // The program names itself, not the library it is built with.
  client.set_default_headers({{"User-Agent", kUserAgent}});
  client.set_follow_location(false);
  client.set_decompress(false);
  client.set_keep_alive(false);
  client.set_connection_timeout(request.connect_timeout);
  client.set_write_timeout(request.send_timeout);
  client.set_read_timeout(request.receive_timeout);

  std::uint64_t received = 0;
  const httplib::Result result = client.Get(
      request.path,
      [&](const httplib::Response& response) {
        outcome.status = response.status;
        if (response.status != 200) {
          outcome.failure = HttpsFailure::kStatus;
        } else if (DeclaresMoreThan(response, limit)) {
          // A body declared longer than the limit is not waited for.
          outcome.failure = HttpsFailure::kTooLarge;
        }
        return outcome.failure == HttpsFailure::kNone;
      },
      [&](const char* data, std::size_t length) {
        if (Fetches().cut_off) {
          outcome.failure = HttpsFailure::kTransfer;
          return false;
        }
        watchdog.Count(length);
        if (length > limit - received) {
          outcome.failure = HttpsFailure::kTooLarge;
          return false;
        }
        received += length;
        if (!sink(data, length)) {
          outcome.failure = HttpsFailure::kRefused;
          return false;
        }
        return true;
      });
  switch (watchdog.cut()) {
    case FetchWatchdog::Cut::kDeadline:
      return {HttpsFailure::kTimedOut, outcome.status};
    case FetchWatchdog::Cut::kTooSlow:
      return {HttpsFailure::kTooSlow, outcome.status};
    case FetchWatchdog::Cut::kNone:
      break;
  }
  if (outcome.failure != HttpsFailure::kNone) return outcome;
  if (!result) return {FailureOf(result.error()), outcome.status};
  if (result->status != 200) return {HttpsFailure::kStatus, result->status};
  return {HttpsFailure::kNone, 200};
}

bool HttpsGet(const HttpsRequest& request, std::uint64_t limit, std::string& out) {
  out.clear();
  return HttpsGetInto(request, limit, [&out](const char* data, std::size_t length) {
           out.append(data, length);
           return true;
         }).ok();
}

std::optional<HttpsProxy> ParseProxyAddress(const std::string& text) {
  std::string rest = text;
  const std::size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    if (Lowered(rest.substr(0, scheme_end)) != "http") return std::nullopt;
    rest = rest.substr(scheme_end + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  HttpsProxy proxy;
  const std::size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    const std::size_t colon = credentials.find(':');
    proxy.user = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string::npos) proxy.password = PercentDecoded(credentials.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return std::nullopt;
    proxy.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return std::nullopt;
      port = rest.substr(close + 2);
    }
  } else {
    const std::size_t colon = rest.find(':');
    proxy.host = rest.substr(0, colon);
    if (colon != std::string::npos) port = rest.substr(colon + 1);
  }
  if (proxy.host.empty()) return std::nullopt;
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    proxy.port = std::stoi(port);
    if (proxy.port < 1 || proxy.port > 65535) return std::nullopt;
  }
  return proxy;
}

bool NoProxyNames(const std::string& list, const std::string& host) {
  std::string name = Lowered(host);
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = Lowered(TrimAsciiWhitespace(list.substr(start, end - start)));
    start = end + 1;
    if (entry == "*") return true;
    // "host:port" names the host; a bare IPv6 address keeps its colons.
    const std::size_t colon = entry.rfind(':');
    if (colon != std::string::npos && entry.find(':') == colon) entry.resize(colon);
    if (entry.rfind("*.", 0) == 0) entry.erase(0, 1);
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) continue;
    if (name == entry) return true;
    const std::size_t cut = name.size() - entry.size();
    if (name.size() > entry.size() && name.compare(cut, entry.size(), entry) == 0 &&
        name[cut - 1] == '.') {
      return true;
    }
  }
  return false;
}

ProxyChoice ProxyFromEnvironment(const std::string& host, const EnvironmentLookup& lookup) {
  ProxyChoice choice;
  const std::string setting = FirstSetting(lookup, "https_proxy", "HTTPS_PROXY");
  if (setting.empty() || NoProxyNames(FirstSetting(lookup, "no_proxy", "NO_PROXY"), host)) {
    return choice;
  }
  choice.proxy = ParseProxyAddress(setting);
  choice.usable = choice.proxy.has_value();
  return choice;
}

}  // namespace tessvark
