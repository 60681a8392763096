#include "platform/host_loop.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <vector>

namespace tessvark {
namespace {

sigset_t HostSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
    sigaddset(&set, signal_number);
  }
  return set;
}

unsigned ActionBit(HostAction action) { return 1u << static_cast<unsigned>(action); }

}  // namespace

void BlockHostSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = HostSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

HostLoop::HostLoop() {
  const sigset_t set = HostSignalSet();
  signal_fd_.Reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  wake_fd_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

void HostLoop::Post(HostAction action) {
  pending_.fetch_or(ActionBit(action));
  const std::uint64_t one = 1;
  // A full counter still wakes the loop, so a failed write loses nothing.
  if (wake_fd_.valid()) (void)!write(wake_fd_.get(), &one, sizeof(one));
}

int HostLoop::Run(const std::function<void(HostAction)>& on_action,
                  std::initializer_list<HostLoopSource*> sources) {
  if (!valid()) return 0;
  std::vector<pollfd> fds;
  for (;;) {
    const unsigned posted = pending_.exchange(0);
    if ((posted & ActionBit(HostAction::kQuit)) != 0) return 0;
    for (HostAction action : {HostAction::kOpen, HostAction::kCheckUpdates}) {
      if ((posted & ActionBit(action)) != 0) on_action(action);
    }

    signalfd_siginfo info{};
    const ssize_t got = read(signal_fd_.get(), &info, sizeof(info));
    if (got == static_cast<ssize_t>(sizeof(info))) {
      const int signal_number = static_cast<int>(info.ssi_signo);
      if (signal_number == SIGUSR1) {
        on_action(HostAction::kOpen);
      } else if (signal_number == SIGUSR2) {
        on_action(HostAction::kCheckUpdates);
      } else {
        return signal_number;
      }
      continue;
    }

    std::uint64_t count = 0;
    (void)!read(wake_fd_.get(), &count, sizeof(count));
    for (HostLoopSource* source : sources) {
      if (source != nullptr) source->Serve();
    }
    if (pending_.load() != 0) continue;

    // poll(2) skips a negative descriptor, so a source without one costs nothing.
    fds.assign({{signal_fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}});
    int timeout_ms = -1;
    for (HostLoopSource* source : sources) {
      if (source == nullptr) continue;
      const HostLoopSource::Wait wait = source->NextWait();
      fds.push_back({wait.fd, wait.events, 0});
      if (wait.timeout_ms >= 0 && (timeout_ms < 0 || wait.timeout_ms < timeout_ms)) {
        timeout_ms = wait.timeout_ms;
      }
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) return 0;
  }
}

}  // namespace tessvark
