#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "server/server_state.h"

namespace tessvark {
namespace {

using Clock = std::chrono::steady_clock;
using SseSlot = LocalHttpServer::Impl::SseSlot;

constexpr char kHeartbeat[] = ": heartbeat\n\n";

struct StreamSnapshot {
  StateValue document;
  std::uint64_t display_revision = 0;
};

// The document a stream sends, with the display values, and the display revision it follows.
// Two store calls: a change between them is sent in the next cycle.
StreamSnapshot TakeStreamSnapshot(const ScoreboardStateStore& store) {
  return {store.SnapshotWithDisplay(), store.DisplayRevision()};
}

bool Write(httplib::DataSink& sink, const std::string& text) {
  return sink.write(text.data(), text.size());
}

// Sleeps until woken, until the deadline or until the server stops.
void WaitForWake(const LocalHttpServer::Impl& impl, SseSlot& slot, std::chrono::milliseconds wait) {
  const Clock::time_point now = Clock::now();
  const Clock::time_point deadline =
      wait > Clock::time_point::max() - now ? Clock::time_point::max() : now + wait;
  MutexLock lock(slot.mutex);
  while (!slot.wake && !impl.stopping.load() && !slot.given_way.load()) {
    if (!slot.wake_cv.WaitUntil(deadline)) break;
  }
  slot.wake = false;
}

// True once the client closed or reset its connection: a browser that left the page, or a client
// that reconnects, never sends anything on a stream's connection after its request.
bool ClientGone(int socket) {
  if (socket < 0) return false;
  pollfd watched{socket, POLLRDHUP, 0};
  if (poll(&watched, 1, 0) <= 0) return false;
  return (watched.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// The bytes written to the connection that its client has not taken yet.
int UnreadBytes(int socket) {
  int queued = 0;
  if (socket < 0 || ioctl(socket, SIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

// The stream that gives way to a new one: a gone client's first, then the one whose client left
// the most unread, then the oldest. A page that reconnects thus keeps its place beside a tool
// that opens streams and leaves them, and a client that never reads is the first live one to go.
std::size_t StreamToGiveWay(const std::vector<std::shared_ptr<SseSlot>>& streams) {
  std::size_t most_unread = 0;
  int most_unread_bytes = 0;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (ClientGone(streams[i]->socket)) return i;
    const int unread = UnreadBytes(streams[i]->socket);
    if (unread > most_unread_bytes) {
      most_unread = i;
      most_unread_bytes = unread;
    }
  }
  return most_unread;
}

// Runs for the whole life of one stream on its pool thread. Always ends with false: the library
// then closes the connection without a final chunk and the browser reconnects.
bool StreamStateEvents(const LocalHttpServer::Impl& impl, SseSlot& slot, httplib::DataSink& sink) {
  std::int64_t last_sequence = -1;
  std::uint64_t last_revision = 0;
  Clock::time_point last_write = Clock::now();
  if (impl.stopping.load()) return false;
  const auto heartbeat = WholeMilliseconds(impl.options.event_heartbeat_seconds);
  const auto wait = WholeMilliseconds(impl.options.event_wait_seconds);
  for (;;) {
    if (!sink.is_writable()) return false;
    if (!impl.state_available.load()) return false;
    const StreamSnapshot snapshot = TakeStreamSnapshot(impl.StreamStore());
    const std::int64_t sequence = StateSequence(snapshot.document);
    const Clock::time_point now = Clock::now();
    if (last_sequence < 0 || sequence != last_sequence ||
        snapshot.display_revision != last_revision) {
      if (impl.stopping.load()) return false;
      if (!Write(sink, FormatStateEvent(snapshot.document))) return false;
      last_sequence = sequence;
      last_revision = snapshot.display_revision;
      last_write = now;
    } else if (now - last_write >= heartbeat) {
      if (!Write(sink, kHeartbeat)) return false;
      last_write = now;
    }
    WaitForWake(impl, slot, wait);
    if (impl.stopping.load() || slot.given_way.load() || ClientGone(slot.socket)) return false;
  }
}

void Wake(SseSlot& slot) {
  {
    MutexLock lock(slot.mutex);
    slot.wake = true;
  }
  slot.wake_cv.SignalAll();
}

void ReleaseStateStream(LocalHttpServer::Impl& impl, const std::shared_ptr<SseSlot>& slot) {
  MutexLock lock(impl.streams_mutex);
  impl.streams.erase(std::remove(impl.streams.begin(), impl.streams.end(), slot),
                     impl.streams.end());
}

}  // namespace

void OpenStateStream(LocalHttpServer::Impl& impl, httplib::Response& res) {
  if (!impl.state_available.load()) {
    SendJsonError(res, 503, "Current OCR state is unavailable");
    return;
  }
  auto slot = std::make_shared<SseSlot>();
  slot->socket = ServedSocket();
  std::shared_ptr<SseSlot> displaced;
  {
    MutexLock lock(impl.streams_mutex);
    const auto limit = static_cast<std::size_t>(std::max(0, impl.options.max_event_streams));
    if (limit == 0) {
      SendJsonError(res, 503, "Too many local state streams.");
      return;
    }
    if (impl.streams.size() >= limit) {
      // A stream gives way, so that a page that opens or reloads always gets the live values,
      // also beside streams whose clients never read: their writes would only fail once the
      // kernel's buffers filled, long after a show. Its connection is cut at once, so that a
      // write blocked on such a client ends and frees the worker.
      const auto given = impl.streams.begin() + static_cast<std::ptrdiff_t>(StreamToGiveWay(impl.streams));
      displaced = *given;
      impl.streams.erase(given);
      displaced->given_way.store(true);
      if (displaced->socket >= 0) shutdown(displaced->socket, SHUT_RDWR);
    }
    impl.streams.push_back(slot);
  }
  if (displaced) Wake(*displaced);
  // No "Connection: keep-alive": the connection carries this one reply and the library marks
  // it "close".
  res.set_header("Cache-Control", "no-cache");
  res.set_header("X-Accel-Buffering", "no");
  LocalHttpServer::Impl* server = &impl;
  res.set_chunked_content_provider(
      "text/event-stream",
      [server, slot](std::size_t, httplib::DataSink& sink) {
        // The library lets an exception out of a content provider end the process.
        try {
          return StreamStateEvents(*server, *slot, sink);
        } catch (...) {
          return false;
        }
      },
      [server, slot](bool) {
        // Runs in the reply's destructor.
        try {
          ReleaseStateStream(*server, slot);
        } catch (...) {
        }
      });
}

std::string FormatStateEvent(const StateValue& document) {
  return "id: " + std::to_string(StateSequence(document)) +
         "\nevent: scoreboard\ndata: " + document.ToJson(false) + "\n\n";
}

std::int64_t StateSequence(const StateValue& document) {
  const StateValue* sequence = document.Find("sequence");
  if (sequence == nullptr || sequence->kind != StateKind::kInt) return -1;
  return sequence->int_value;
}

void WakeAllStreams(LocalHttpServer::Impl& impl) {
  std::vector<std::shared_ptr<SseSlot>> copy;
  {
    MutexLock lock(impl.streams_mutex);
    copy = impl.streams;
  }
  for (const auto& slot : copy) Wake(*slot);
}

}  // namespace tessvark
