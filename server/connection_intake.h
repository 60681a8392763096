#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "core/mutex.h"
#include "platform/unique_fd.h"

namespace tessvark {

// What one connection may take before a worker serves it.
struct IntakeLimits {
  std::chrono::milliseconds deadline{10000};  // from accept to the whole request (head and body)
  std::size_t max_head_bytes = 65536;         // request line, header lines and the blank line
  std::size_t max_header_lines = 100;
  std::size_t max_waiting = 512;              // connections held here; the oldest goes first
  std::size_t max_held_body_bytes = 65536;    // bodies up to this size are awaited here too
  std::size_t max_body_streams = 16;          // workers reading a larger or unframed body
};

// A connection whose request head (and a small body) arrived, handed to a worker.
struct ReadyConnection {
  UniqueFd fd;
  // The request as far as it arrived. Unless the body is streamed it is the whole request, and
  // nothing more is read from the socket: a request without a body ends with its head.
  std::string received;
  std::chrono::steady_clock::time_point deadline;
  bool streams_body = false;  // the worker reads the body from the socket; counts as a stream
};

// How far a request head has been looked at; grows with each call of ScanRequestHead.
struct HeadScan {
  std::size_t scanned = 0;     // bytes looked at
  std::size_t line_start = 0;  // where the current line began
  std::size_t lines = 0;       // lines ended so far, the request line included
  std::size_t head_bytes = 0;  // the head's length with its blank line; 0 until it arrived
};

// Looks at the bytes of `received` not yet scanned. The head ends, as the HTTP library reads it,
// with the first line after the request line that is exactly CR LF.
void ScanRequestHead(std::string_view received, HeadScan& scan);

// Whether a head is over the limits: too many bytes, or too many header lines.
bool HeadTooLarge(const HeadScan& scan, std::size_t received_bytes, const IntakeLimits& limits);

// How a complete head's body is to be read: 0 and false without a body; the length and false for
// a body of at most `max_held` bytes with a plain Content-Length; true (read by a worker from the
// socket) for anything else that declares a length or a transfer coding. A request that declares
// neither has no body; but one whose method carries a body (POST, PUT, PATCH) is refused with 411,
// since a client that sends one anyway would otherwise be read until it closes.
struct BodyPlan {
  std::uint64_t held_bytes = 0;
  bool streamed = false;
  bool length_required = false;
};
BodyPlan PlanBody(std::string_view head, std::size_t max_held);

// The single thread ("intake") that accepts connections on the server's listening socket and holds
// each until its request head has arrived, so that slow clients cost a descriptor and a small
// buffer but never a worker. A head over the limits gets 431, a request that misses its deadline
// 408, a body without a length 411, a body beyond the streaming workers 503; each such connection
// is then closed.
class ConnectionIntake {
 public:
  using Handoff = std::function<void(ReadyConnection)>;

  // `listener` is bound and listening. `handoff` runs on the intake thread and must not block.
  // Throws std::system_error when the wake-up descriptor cannot be made.
  ConnectionIntake(UniqueFd listener, IntakeLimits limits, Handoff handoff);
  ~ConnectionIntake();
  ConnectionIntake(const ConnectionIntake&) = delete;
  ConnectionIntake& operator=(const ConnectionIntake&) = delete;

  // Starts accepting, once; apart from construction so that whoever the handoff reaches can
  // already see this object. Throws std::system_error when the thread cannot be made.
  void Start();
  // Ends the thread and closes the listening socket and every held connection. Connections still
  // being served get the end of their input, so a worker waiting for the client stops at once
  // while one writing its reply goes on; after `grace` their sockets are shut down whole.
  void Stop(std::chrono::milliseconds grace);
  // A worker is done with a handed-off connection; call before its descriptor is closed.
  void Finish(int fd, bool streams_body);
  // Handed-off connections whose body a worker reads from the socket, until Finish.
  std::size_t BodyStreams();

 private:
  using Clock = std::chrono::steady_clock;
  struct Waiting {
    UniqueFd fd;
    std::string received;
    HeadScan scan;
    Clock::time_point deadline;  // of the request, or of the lingering close once answered
    bool answered = false;       // input is read and dropped until the client closes
  };
  using WaitingList = std::list<Waiting>;

  void Run();
  void RunLoop();
  void AcceptAll();
  // Takes what arrived; false when the client went or an answered one lingered long enough.
  bool Receive(Waiting& waiting);
  // Answers or hands off a connection whose head (and small body) is in; false once handed off.
  bool Advance(Waiting& waiting);
  // Sends a closing reply and lets the connection linger, its input dropped, before it goes.
  void Answer(Waiting& waiting, int status, const char* message);

  const IntakeLimits limits_;
  const Handoff handoff_;
  UniqueFd listener_;
  UniqueFd wake_;
  std::atomic<bool> stop_{false};
  WaitingList waiting_;  // the intake thread's, and Stop's after the join
  Mutex mutex_;
  std::set<int> serving_ GUARDED_BY(mutex_);
  std::size_t body_streams_ GUARDED_BY(mutex_) = 0;
  CondVar served_{mutex_};  // signalled when a connection leaves serving_
  std::thread thread_;
};

inline constexpr char kLateRequestMessage[] = "The request did not arrive in time.";
inline constexpr char kLengthRequiredMessage[] = "A request body needs a Content-Length.";

// A whole reply with the JSON detail and the security headers, closing the connection: for the
// answers the server gives without the HTTP library.
std::string FormatClosingReply(int status, const std::string& message);

}  // namespace tessvark
