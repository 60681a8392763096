#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessvark::test {

// How the stand-in answers one request.
enum class StandInMode {
  kAnswer,               // a status line, headers with Content-Length, the body
  kNeverAnswer,          // accept, read the request, then say nothing until the client goes
  kCloseBeforeHeaders,   // the status line and one header, then close
  kNoContentLength,      // headers without Content-Length, the body, then close
  kOversizedBody,        // 1 MiB of body after the headers, no Content-Length
  kMalformedStatusLine,  // a status line without a space
  kRaw,                  // `raw` is the whole answer, then close
};

struct StandInBehaviour {
  StandInMode mode = StandInMode::kAnswer;
  int status = 200;
  // Empty gives a status line without a reason phrase.
  std::string reason = "OK";
  int delay_ms = 0;
  // The answer waits (after `delay_ms`) until ReleaseHeldAnswers, so that a test knows the request
  // is in flight for as long as it needs.
  bool held = false;
  // After a complete answer, keep the connection open until the client closes it.
  bool keep_open = false;
  // Replaces the body the request would get (the API document or the function reply).
  std::optional<std::string> body;
  std::string raw;
};

struct StandInInput {
  std::string key;
  std::string number;
  std::string type;
  std::string title;
  std::vector<std::string> text_fields;
};

// One decoded SetText request, recorded whatever the answer.
struct SetTextCall {
  std::string input;
  std::string field;
  std::string value;
};

// An XML document shaped like vMix's "/api/" answer.
std::string MakeVmixApiDocument(const std::string& version, const std::string& edition,
                                const std::string& computer_name, const std::vector<StandInInput>& inputs);

// A small vMix stand-in: an HTTP/1.1 server on one loopback address (127.0.0.0/8 or ::1), on its own accept thread
// with one thread per connection. "/api/" answers the API document; SetText requests are
// decoded into a field model that an answered request updates. Behaviours queued with
// PushBehaviour answer the next requests in order, then the default behaviour applies.
class VmixStandIn {
 public:
  // `port` 0 picks a free port.
  explicit VmixStandIn(std::string address = "127.0.0.1", int port = 0);
  ~VmixStandIn();
  VmixStandIn(const VmixStandIn&) = delete;
  VmixStandIn& operator=(const VmixStandIn&) = delete;

  // Binds and starts the accept thread; false with a reason when the address cannot be bound.
  bool Start(std::string& error);
  void Stop();

  const std::string& address() const { return address_; }
  int port() const { return port_; }

  void SetApiDocument(std::string xml);
  void SetDefaultBehaviour(StandInBehaviour behaviour);
  void PushBehaviour(StandInBehaviour behaviour);
  // Lets every held answer go, now and from now on.
  void ReleaseHeldAnswers();

  // The value vMix would show in a field, or nothing when it was never set.
  std::optional<std::string> Field(const std::string& input, const std::string& field);
  std::vector<SetTextCall> SetTextCalls();
  // Request heads (request line and headers, up to the blank line) in arrival order.
  std::vector<std::string> Requests();
  std::size_t RequestCount();
  int MaxConcurrentConnections();

  // Waits until at least `count` SetText requests were answered successfully.
  bool WaitForAnsweredSetTexts(std::size_t count, std::chrono::milliseconds timeout);
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout);
  std::size_t AnsweredSetTextCount();

 private:
  void AcceptLoop();
  void ServeConnection(int fd);
  StandInBehaviour NextBehaviour();
  bool WaitUntilClientGoes(int fd);

  std::string address_;
  int port_;
  int listen_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread accept_thread_;

  // Guards everything below.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> connections_;
  std::string api_document_;
  StandInBehaviour default_behaviour_;
  std::deque<StandInBehaviour> queued_;
  std::map<std::pair<std::string, std::string>, std::string> fields_;
  std::vector<SetTextCall> calls_;
  std::size_t answered_set_texts_ = 0;
  std::vector<std::string> requests_;
  int active_connections_ = 0;
  int max_connections_ = 0;
  bool held_released_ = false;
};

}  // namespace tessvark::test
