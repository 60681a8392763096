#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/wait_until.h"

namespace tessvark::testing {

// Acts the moment a given file is opened: a thread waits for the kernel's open event of the file
// (inotify), then runs `act` once, as another process racing this one would between its check of
// a file and its use. Gives up after `patience` (a failure-only bound) or at Stop.
class WhenFileIsOpened {
 public:
  WhenFileIsOpened(const std::filesystem::path& path, std::function<void()> act,
                   std::chrono::milliseconds patience = kPatience)
      : act_(std::move(act)),
        events_(inotify_init1(IN_CLOEXEC)),
        wake_(eventfd(0, EFD_CLOEXEC)) {
    // Watched before the thread starts, so no open after construction is missed.
    if (inotify_add_watch(events_.get(), path.c_str(), IN_OPEN) < 0) return;
    thread_ = std::thread([this, patience] {
      const auto end = std::chrono::steady_clock::now() + patience;
      for (;;) {
        pollfd waits[2] = {{events_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        const int ready = poll(waits, 2, static_cast<int>(left.count()));
        if (ready < 0) continue;  // a signal
        if (ready == 0 || waits[1].revents != 0) return;
        if (waits[0].revents != 0) {
          act_();
          acted_.store(true);
          return;
        }
      }
    });
  }
  ~WhenFileIsOpened() { Stop(); }
  WhenFileIsOpened(const WhenFileIsOpened&) = delete;
  WhenFileIsOpened& operator=(const WhenFileIsOpened&) = delete;

  void Stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_.get(), &one, sizeof one);
    thread_.join();
  }

  // Whether `act` ran (once Stop returned).
  bool acted() const { return acted_.load(); }

 private:
  const std::function<void()> act_;
  const UniqueFd events_;
  const UniqueFd wake_;
  std::atomic<bool> acted_{false};
  std::thread thread_;
};

}  // namespace tessvark::testing
