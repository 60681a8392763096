#include "update_test_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace tessvark::testing {
namespace {

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  Require(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, "extension");
  X509_EXTENSION_free(extension);
}

// An unsigned certificate for `key` named `common_name`, issued by `issuer` (itself when null),
// valid from an hour ago for a day.
X509* MakeCertificate(EVP_PKEY* key, const std::string& common_name, X509* issuer, long serial) {
  X509* certificate = X509_new();
  Require(certificate != nullptr, "new certificate");
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  return certificate;
}

}  // namespace

struct TestCertificateAuthority::Keys {
  EVP_PKEY* ca_key = nullptr;
  X509* ca = nullptr;
  EVP_PKEY* server_key = nullptr;
  X509* server = nullptr;
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& folder,
                                                   const std::string& name,
                                                   const std::vector<std::string>& server_names,
                                                   const std::string& common_name)
    : keys_(std::make_unique<Keys>()) {
  Keys& k = *keys_;
  k.ca_key = EVP_EC_gen("P-256");
  k.server_key = EVP_EC_gen("P-256");
  Require(k.ca_key != nullptr && k.server_key != nullptr, "keys");

  k.ca = MakeCertificate(k.ca_key, "Tessvark test authority " + name, nullptr, 1);
  AddExtension(k.ca, k.ca, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(k.ca, k.ca, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(k.ca, k.ca, NID_subject_key_identifier, "hash");
  Require(X509_sign(k.ca, k.ca_key, EVP_sha256()) > 0, "sign authority");

  std::string alt_names;
  for (const std::string& server_name : server_names) alt_names += "DNS:" + server_name + ",";
  alt_names += "IP:127.0.0.1";
  k.server = MakeCertificate(k.server_key, common_name, k.ca, 2);
  AddExtension(k.server, k.ca, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(k.server, k.ca, NID_key_usage, "critical,digitalSignature");
  AddExtension(k.server, k.ca, NID_ext_key_usage, "serverAuth");
  AddExtension(k.server, k.ca, NID_subject_alt_name, alt_names.c_str());
  AddExtension(k.server, k.ca, NID_authority_key_identifier, "keyid:always");
  Require(X509_sign(k.server, k.ca_key, EVP_sha256()) > 0, "sign server");

  ca_file_ = folder + "/" + name + "-ca.pem";
  FILE* file = std::fopen(ca_file_.c_str(), "w");
  Require(file != nullptr, "authority file");
  const bool written = PEM_write_X509(file, k.ca) == 1;
  std::fclose(file);
  Require(written, "write authority");
}

TestCertificateAuthority::~TestCertificateAuthority() {
  X509_free(keys_->server);
  X509_free(keys_->ca);
  EVP_PKEY_free(keys_->server_key);
  EVP_PKEY_free(keys_->ca_key);
}

ScriptedUpdateServer::ScriptedUpdateServer(const TestCertificateAuthority& authority)
    : server_(std::make_unique<httplib::SSLServer>(authority.keys().server,
                                                   authority.keys().server_key)) {
  server_->Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    ScriptedReply reply;
    bool scripted = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++hits_[req.path];
      user_agents_[req.path] = req.get_header_value("User-Agent");
      changed_.notify_all();
      const auto found = script_.find(req.path);
      scripted = found != script_.end();
      if (scripted) reply = found->second;
      if (reply.held) changed_.wait(lock, [this] { return released_; });
    }
    if (!scripted) {
      res.status = 404;
      return;
    }
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    if (reply.drip.count() > 0 || reply.hold_after != std::string::npos ||
        reply.cut_after != std::string::npos) {
      auto body = std::make_shared<std::string>(std::move(reply.body));
      const std::chrono::milliseconds drip = reply.drip;
      const std::size_t hold_after = reply.hold_after;
      const std::size_t cut_after = reply.cut_after;
      res.set_content_provider(
          body->size(), "application/octet-stream",
          [this, body, drip, hold_after, cut_after](std::size_t offset, std::size_t length,
                                                    httplib::DataSink& sink) {
            if (offset >= cut_after) return false;
            if (offset >= hold_after) {
              std::unique_lock<std::mutex> lock(mutex_);
              changed_.wait(lock, [this] { return released_; });
            }
            std::size_t piece = std::min<std::size_t>(length, 65536);
            if (drip.count() > 0) {
              std::this_thread::sleep_for(drip);
              piece = 1;
            }
            if (offset < hold_after) piece = std::min(piece, hold_after - offset);
            if (offset < cut_after) piece = std::min(piece, cut_after - offset);
            return sink.write(body->data() + offset, piece);
          });
    } else if (reply.chunked) {
      auto body = std::make_shared<std::string>(reply.body);
      res.set_chunked_content_provider(
          "application/octet-stream", [body](std::size_t offset, httplib::DataSink& sink) {
            if (offset < body->size()) {
              const std::size_t length = std::min<std::size_t>(4096, body->size() - offset);
              sink.write(body->data() + offset, length);
            } else {
              sink.done();
            }
            return true;
          });
    } else {
      res.set_content(reply.body, "application/octet-stream");
    }
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test update server: no port");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::yield();
}

ScriptedUpdateServer::~ScriptedUpdateServer() {
  Release();
  server_->stop();
  thread_.join();
}

void ScriptedUpdateServer::Serve(const std::string& path, ScriptedReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_[path] = std::move(reply);
}

std::string ScriptedUpdateServer::UserAgent(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = user_agents_.find(path);
  return found != user_agents_.end() ? found->second : std::string();
}

int ScriptedUpdateServer::Hits(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = hits_.find(path);
  return found != hits_.end() ? found->second : 0;
}

bool ScriptedUpdateServer::WaitForHits(const std::string& path, int count,
                                       std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    const auto found = hits_.find(path);
    return found != hits_.end() && found->second >= count;
  });
}

void ScriptedUpdateServer::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

ConnectProxy::ConnectProxy(int target_port, int status)
    : target_port_(target_port), status_(status) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("test proxy: no port");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] {
    for (;;) {
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      clients_.push_back(client);
      tunnels_.emplace_back([this, client] { Serve(client); });
    }
  });
}

ConnectProxy::~ConnectProxy() {
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
  std::vector<std::thread> tunnels;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const int client : clients_) shutdown(client, SHUT_RDWR);
    tunnels.swap(tunnels_);
  }
  for (std::thread& tunnel : tunnels) tunnel.join();
  for (const int client : clients_) close(client);
}

std::vector<std::string> ConnectProxy::Heads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heads_;
}

void ConnectProxy::Serve(int client) {
  std::string head;
  char buffer[16384];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heads_.push_back(head.substr(0, head.find("\r\n\r\n") + 4));
  }
  if (status_ != 200 || head.rfind("CONNECT ", 0) != 0) {
    const std::string answer = "HTTP/1.1 " + std::to_string(status_) +
                               " Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    return;
  }
  const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(target_port_));
  if (connect(target, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(target);
    return;
  }
  const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
  send(client, established.data(), established.size(), MSG_NOSIGNAL);
  // Whatever followed the head already belongs to the tunnel.
  const std::string early = head.substr(head.find("\r\n\r\n") + 4);
  if (!early.empty()) send(target, early.data(), early.size(), MSG_NOSIGNAL);
  pollfd ends[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
  for (bool open = true; open;) {
    if (poll(ends, 2, -1) <= 0) break;
    for (int i = 0; i < 2 && open; ++i) {
      if (ends[i].revents == 0) continue;
      const ssize_t n = recv(ends[i].fd, buffer, sizeof(buffer), 0);
      open = n > 0 && send(ends[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
    }
  }
  shutdown(target, SHUT_RDWR);
  close(target);
}

}  // namespace tessvark::testing
