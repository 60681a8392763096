#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace tessvark::testing {

// The tests' update server name; it is never looked up: clients connect to 127.0.0.1.
inline constexpr char kTestUpdateHost[] = "updates.tessvark.test";

// A certificate authority made for one test, and a server certificate it signed.
class TestCertificateAuthority {
 public:
  // Writes the authority's certificate as "<folder>/<name>-ca.pem". The server certificate
  // names `server_names` (DNS names) and 127.0.0.1 as alternative names, and `common_name` as
  // its subject's common name.
  TestCertificateAuthority(const std::string& folder, const std::string& name,
                           const std::vector<std::string>& server_names,
                           const std::string& common_name = "Tessvark test update server");
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  const std::string& ca_file() const { return ca_file_; }

  struct Keys;
  const Keys& keys() const { return *keys_; }

 private:
  std::unique_ptr<Keys> keys_;
  std::string ca_file_;
};

// One scripted answer of the update server.
struct ScriptedReply {
  ScriptedReply() = default;
  ScriptedReply(int status_code, std::string content = std::string())
      : status(status_code), body(std::move(content)) {}

  ScriptedReply Chunked() const {
    ScriptedReply reply = *this;
    reply.chunked = true;
    return reply;
  }
  ScriptedReply Held() const {
    ScriptedReply reply = *this;
    reply.held = true;
    return reply;
  }
  // The body one byte each `interval`.
  ScriptedReply Dripped(std::chrono::milliseconds interval) const {
    ScriptedReply reply = *this;
    reply.drip = interval;
    return reply;
  }
  // The first `bytes` of the body at once, the rest only once Release() was called.
  ScriptedReply HeldAfter(std::size_t bytes) const {
    ScriptedReply reply = *this;
    reply.hold_after = bytes;
    return reply;
  }
  // The connection ends after the first `bytes` of the declared body.
  ScriptedReply CutAfter(std::size_t bytes) const {
    ScriptedReply reply = *this;
    reply.cut_after = bytes;
    return reply;
  }
  ScriptedReply WithHeader(const std::string& name, const std::string& value) const {
    ScriptedReply reply = *this;
    reply.headers.emplace_back(name, value);
    return reply;
  }

  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool chunked = false;  // sent without a Content-Length
  bool held = false;     // sent only once Release() was called
  std::chrono::milliseconds drip{0};
  std::size_t hold_after = std::string::npos;
  std::size_t cut_after = std::string::npos;
};

// An HTTPS server on 127.0.0.1 with a certificate of a test authority, answering GET requests
// from a script of paths and counting the requests per path. Unscripted paths answer 404.
class ScriptedUpdateServer {
 public:
  explicit ScriptedUpdateServer(const TestCertificateAuthority& authority);
  ~ScriptedUpdateServer();
  ScriptedUpdateServer(const ScriptedUpdateServer&) = delete;
  ScriptedUpdateServer& operator=(const ScriptedUpdateServer&) = delete;

  int port() const { return port_; }
  void Serve(const std::string& path, ScriptedReply reply);
  int Hits(const std::string& path) const;
  // The User-Agent of the last request for `path`; empty when there was none.
  std::string UserAgent(const std::string& path) const;
  // Waits until `path` was asked for at least `count` times; false after `timeout`.
  bool WaitForHits(const std::string& path, int count, std::chrono::milliseconds timeout) const;
  // Lets every held reply go, now and from now on.
  void Release();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, ScriptedReply> script_;
  std::map<std::string, int> hits_;
  std::map<std::string, std::string> user_agents_;
  bool released_ = false;
};

// An HTTP proxy on 127.0.0.1 that tunnels every CONNECT to 127.0.0.1 on `target_port`, whatever
// name it asks for (so that no name is ever looked up), and records each request head. With
// `status` other than 200 it answers CONNECT with that status and tunnels nothing.
class ConnectProxy {
 public:
  explicit ConnectProxy(int target_port, int status = 200);
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int port() const { return port_; }
  // The request heads received so far.
  std::vector<std::string> Heads() const;

 private:
  void Serve(int client);

  const int target_port_;
  const int status_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::vector<int> clients_;
  std::vector<std::thread> tunnels_;
};

}  // namespace tessvark::testing
