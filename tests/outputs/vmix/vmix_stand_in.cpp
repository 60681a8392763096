#include "vmix_stand_in.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessvark::test {
namespace {

constexpr int kSliceMs = 20;
constexpr std::size_t kMaxRequestBytes = 65536;

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string DecodeQueryPart(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> DecodeQuery(const std::string& query) {
  std::map<std::string, std::string> parameters;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos) {
      parameters.emplace(DecodeQueryPart(pair.substr(0, equals)), DecodeQueryPart(pair.substr(equals + 1)));
    }
    start = end + 1;
  }
  return parameters;
}

void SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      if (count < 0 && errno == EINTR) continue;
      return;
    }
    sent += static_cast<std::size_t>(count);
  }
}

std::string StatusLine(const StandInBehaviour& behaviour) {
  std::string line = "HTTP/1.1 " + std::to_string(behaviour.status);
  if (!behaviour.reason.empty()) line += " " + behaviour.reason;
  return line + "\r\n";
}

}  // namespace

std::string MakeVmixApiDocument(const std::string& version, const std::string& edition,
                                const std::string& computer_name, const std::vector<StandInInput>& inputs) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<vmix><version>" + XmlEscape(version) +
                    "</version><edition>" + XmlEscape(edition) + "</edition>";
  if (!computer_name.empty()) xml += "<computerName>" + XmlEscape(computer_name) + "</computerName>";
  xml += "<inputs>";
  for (const StandInInput& input : inputs) {
    xml += "<input key=\"" + XmlEscape(input.key) + "\" number=\"" + XmlEscape(input.number) + "\" type=\"" +
           XmlEscape(input.type) + "\" title=\"" + XmlEscape(input.title) + "\">" + XmlEscape(input.title);
    for (const std::string& field : input.text_fields) {
      xml += "<text index=\"0\" name=\"" + XmlEscape(field) + "\"></text>";
    }
    xml += "</input>";
  }
  xml += "</inputs></vmix>";
  return xml;
}

VmixStandIn::VmixStandIn(std::string address, int port)
    : address_(std::move(address)), port_(port),
      api_document_(MakeVmixApiDocument("27.0.0.49", "4K", "", {})) {}

VmixStandIn::~VmixStandIn() {
  Stop();
}

bool VmixStandIn::Start(std::string& error) {
  sockaddr_storage bound{};
  socklen_t bound_length = 0;
  in_addr v4{};
  if (address_ == "::1") {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&bound);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port_));
    v6->sin6_addr = in6addr_loopback;
    bound_length = sizeof(sockaddr_in6);
  } else if (inet_pton(AF_INET, address_.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) {
    auto* v4_bound = reinterpret_cast<sockaddr_in*>(&bound);
    v4_bound->sin_family = AF_INET;
    v4_bound->sin_port = htons(static_cast<std::uint16_t>(port_));
    v4_bound->sin_addr = v4;
    bound_length = sizeof(sockaddr_in);
  } else {
    error = "the stand-in only listens on a loopback address (127.0.0.0/8 or ::1)";
    return false;
  }
  listen_fd_ = socket(bound.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    error = std::strerror(errno);
    return false;
  }
  const int yes = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(listen_fd_, reinterpret_cast<const sockaddr*>(&bound), bound_length) != 0 ||
      listen(listen_fd_, 128) != 0) {
    error = std::strerror(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  stop_ = false;
  accept_thread_ = std::thread(&VmixStandIn::AcceptLoop, this);
  return true;
}

void VmixStandIn::Stop() {
  {
    // Under the lock, so that a held answer cannot miss the wake-up between its check and its wait.
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
}

void VmixStandIn::SetApiDocument(std::string xml) {
  std::lock_guard<std::mutex> lock(mutex_);
  api_document_ = std::move(xml);
}

void VmixStandIn::SetDefaultBehaviour(StandInBehaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_behaviour_ = std::move(behaviour);
}

void VmixStandIn::ReleaseHeldAnswers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_released_ = true;
  }
  changed_.notify_all();
}

void VmixStandIn::PushBehaviour(StandInBehaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back(std::move(behaviour));
}

std::optional<std::string> VmixStandIn::Field(const std::string& input, const std::string& field) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = fields_.find({input, field});
  if (found == fields_.end()) return std::nullopt;
  return found->second;
}

std::vector<SetTextCall> VmixStandIn::SetTextCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> VmixStandIn::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t VmixStandIn::RequestCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

int VmixStandIn::MaxConcurrentConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return max_connections_;
}

std::size_t VmixStandIn::AnsweredSetTextCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return answered_set_texts_;
}

bool VmixStandIn::WaitForAnsweredSetTexts(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return answered_set_texts_ >= count; });
}

bool VmixStandIn::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

StandInBehaviour VmixStandIn::NextBehaviour() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queued_.empty()) return default_behaviour_;
  StandInBehaviour behaviour = std::move(queued_.front());
  queued_.pop_front();
  return behaviour;
}

void VmixStandIn::AcceptLoop() {
  while (!stop_) {
    pollfd entry{listen_fd_, POLLIN, 0};
    if (poll(&entry, 1, kSliceMs) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    ++active_connections_;
    if (active_connections_ > max_connections_) max_connections_ = active_connections_;
    connections_.emplace_back(&VmixStandIn::ServeConnection, this, fd);
  }
}

// True when the client closed its side; false when the stand-in stops first.
bool VmixStandIn::WaitUntilClientGoes(int fd) {
  char scratch[512];
  while (!stop_) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, kSliceMs) <= 0) continue;
    const ssize_t count = recv(fd, scratch, sizeof scratch, 0);
    if (count <= 0) return true;
  }
  return false;
}

void VmixStandIn::ServeConnection(int fd) {
  // A connection stops counting as open just before its answer goes out, so a client that
  // waits for each answer before it connects again is never counted twice.
  bool counted = true;
  const auto release = [this, &counted] {
    if (!counted) return;
    counted = false;
    std::lock_guard<std::mutex> lock(mutex_);
    --active_connections_;
  };
  std::string request;
  char chunk[4096];
  while (!stop_ && request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, kSliceMs) <= 0) continue;
    const ssize_t count = recv(fd, chunk, sizeof chunk, 0);
    if (count <= 0) break;
    request.append(chunk, static_cast<std::size_t>(count));
  }
  const std::size_t head_end = request.find("\r\n\r\n");
  if (head_end != std::string::npos && !stop_) {
    const std::string head = request.substr(0, head_end);
    const std::size_t first_space = head.find(' ');
    const std::size_t second_space = head.find(' ', first_space + 1);
    const std::string target = first_space == std::string::npos
                                   ? std::string()
                                   : head.substr(first_space + 1, second_space - first_space - 1);
    const std::size_t question = target.find('?');
    const std::map<std::string, std::string> query =
        question == std::string::npos ? std::map<std::string, std::string>() : DecodeQuery(target.substr(question + 1));
    const auto function = query.find("Function");
    const bool set_text = function != query.end() && function->second == "SetText";
    SetTextCall call;
    if (set_text) {
      call.input = query.count("Input") ? query.at("Input") : "";
      call.field = query.count("SelectedName") ? query.at("SelectedName") : "";
      call.value = query.count("Value") ? query.at("Value") : "";
    }
    const StandInBehaviour behaviour = NextBehaviour();
    std::string document;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
      if (set_text) calls_.push_back(call);
      document = api_document_;
    }
    changed_.notify_all();

    for (int waited = 0; waited < behaviour.delay_ms && !stop_; waited += kSliceMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
    if (behaviour.held) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return held_released_ || stop_; });
    }
    const std::string body = behaviour.body ? *behaviour.body
                             : set_text      ? std::string("Function completed successfully.")
                                             : document;
    const std::string headers = "Content-Type: text/xml; charset=utf-8\r\n";
    if (behaviour.mode != StandInMode::kNeverAnswer) release();
    switch (behaviour.mode) {
      case StandInMode::kAnswer: {
        // The field changes before the answer leaves, so a client that has its answer sees it.
        if (set_text && behaviour.status >= 200 && behaviour.status <= 299) {
          std::lock_guard<std::mutex> lock(mutex_);
          fields_[{call.input, call.field}] = call.value;
          ++answered_set_texts_;
        }
        changed_.notify_all();
        SendAll(fd, StatusLine(behaviour) + headers + "Content-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body);
        if (behaviour.keep_open) WaitUntilClientGoes(fd);
        break;
      }
      case StandInMode::kNeverAnswer:
        WaitUntilClientGoes(fd);
        break;
      case StandInMode::kCloseBeforeHeaders:
        SendAll(fd, StatusLine(behaviour) + headers);
        break;
      case StandInMode::kNoContentLength:
        SendAll(fd, StatusLine(behaviour) + headers + "Connection: close\r\n\r\n" + body);
        break;
      case StandInMode::kOversizedBody:
        SendAll(fd, StatusLine(behaviour) + headers + "Connection: close\r\n\r\n" + std::string(1048576, 'x'));
        break;
      case StandInMode::kMalformedStatusLine:
        SendAll(fd, "HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        break;
      case StandInMode::kRaw:
        SendAll(fd, behaviour.raw);
        break;
    }
  }
  release();
  close(fd);
}

}  // namespace tessvark::test
