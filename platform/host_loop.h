#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>

#include "platform/unique_fd.h"

namespace tessvark {

// What the desktop host is asked to do: the three items a tray menu would offer.
enum class HostAction {
  kOpen = 0,          // "Open Tessvark": SIGUSR1
  kCheckUpdates = 1,  // "Check for Updates": SIGUSR2
  kQuit = 2,          // "Quit Tessvark": SIGINT, SIGTERM, SIGHUP
};

// Blocks SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 in the calling thread and ignores SIGPIPE.
// Call it on the main thread before any other thread exists: threads inherit the mask, so the
// signals then reach only the host loop and never interrupt a worker.
void BlockHostSignals();

// Further work the host loop serves on its own thread, beside the signals and the posts: the tray
// icon's bus connection. The loop waits on its descriptor and deadline and lets it do what is
// ready; whatever it asks of the host it posts to the loop like any other thread.
class HostLoopSource {
 public:
  struct Wait {
    int fd = -1;          // -1: no descriptor to wait on
    short events = 0;     // poll(2) events of `fd`
    int timeout_ms = -1;  // -1: no deadline
  };

  virtual ~HostLoopSource() = default;
  // What the loop waits for on the source's behalf; asked before every wait.
  virtual Wait NextWait() = 0;
  // Does what is ready without blocking; called on every turn of the loop, whatever woke it.
  virtual void Serve() = 0;
};

// The host's main-thread loop in place of a window's message loop. It waits on the host signals,
// on actions posted from other threads and on an optional source, and hands each action to its
// handler on the loop's thread; a quit ends the loop. Post may be called from any thread at any
// time while the object exists; everything else belongs to the thread that made the object.
class HostLoop {
 public:
  // Opens the descriptors the loop waits on; valid() tells whether that worked. The host signals
  // must already be blocked (BlockHostSignals).
  HostLoop();
  HostLoop(const HostLoop&) = delete;
  HostLoop& operator=(const HostLoop&) = delete;

  bool valid() const { return signal_fd_.valid() && wake_fd_.valid(); }

  // Queues an action for the loop; a quit posted before Run makes Run return at its first look.
  void Post(HostAction action);

  // Runs until a quit arrives, calling `on_action` for every open and update-check action and
  // serving the `sources` (null ones are skipped). Returns the signal number that asked to quit,
  // or 0 for a posted quit or when the loop cannot wait (then it returns at once). The signals
  // are read before the sources are served on every turn, so a source that bounds its work per
  // turn never keeps a signal waiting.
  int Run(const std::function<void(HostAction)>& on_action,
          std::initializer_list<HostLoopSource*> sources = {});

 private:
  // One bit per posted action, so that repeated posts before the loop looks are one action.
  std::atomic<unsigned> pending_{0};
  UniqueFd signal_fd_;
  UniqueFd wake_fd_;
};

}  // namespace tessvark
