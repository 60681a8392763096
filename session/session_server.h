#pragma once

#include <cstdint>
#include <string>

namespace tessvark {

class OcrRuntime;
class ScoreboardStateStore;

// The web server as the session drives it: the session owns one, attaches itself and its state
// store, starts and stops it, and tells it when the state may be streamed. The desktop host
// supplies the implementation, so the session never depends on the server's own code.
//
// Start, Stop, Port and SetStateStore are called from the session's owning thread;
// SetRuntime, SetStateAvailable, WakeStreams and SetOutputEnabled from any thread at any time.
class SessionServer {
 public:
  virtual ~SessionServer() = default;

  // Starts listening; true when listening (also when it already was).
  virtual bool Start() = 0;
  // Ends listening; returns after every request handler ended.
  virtual void Stop() = 0;
  // The bound port, 0 while not listening.
  virtual std::int32_t Port() const = 0;

  // Non-owning; null detaches the runtime and its routes answer 503.
  virtual void SetRuntime(OcrRuntime* runtime) = 0;
  // Non-owning; the store the event stream reads.
  virtual void SetStateStore(ScoreboardStateStore* store) = 0;
  // Whether the scoreboard state may be streamed; false ends every open stream.
  virtual void SetStateAvailable(bool available) = 0;
  // Makes every open stream look at the state now instead of at its next poll.
  virtual void WakeStreams() = 0;
  // Switches a named output; only "vmix" is known.
  virtual void SetOutputEnabled(const std::string& name, bool enabled) = 0;
};

}  // namespace tessvark
