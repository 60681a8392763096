#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace tessvark::testing {

// Acts the moment this process opens a given file: a thread looks through /proc/self/fd until
// one of the descriptors names `path`, then runs `act` once, as another process racing this one
// would between its check of a file and its use. Stops looking after `patience` (a failure-only
// bound, as the tests' kPatience).
class WhenFileIsOpened {
 public:
  WhenFileIsOpened(std::filesystem::path path, std::function<void()> act,
                   std::chrono::milliseconds patience = std::chrono::seconds(60))
      : path_(std::move(path)), act_(std::move(act)) {
    thread_ = std::thread([this, patience] {
      const auto end = std::chrono::steady_clock::now() + patience;
      while (!stop_.load() && std::chrono::steady_clock::now() < end) {
        if (IsOpen()) {
          act_();
          acted_.store(true);
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  ~WhenFileIsOpened() { Stop(); }
  WhenFileIsOpened(const WhenFileIsOpened&) = delete;
  WhenFileIsOpened& operator=(const WhenFileIsOpened&) = delete;

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // Whether `act` ran (once Stop returned).
  bool acted() const { return acted_.load(); }

 private:
  bool IsOpen() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
      std::error_code unreadable;
      if (std::filesystem::read_symlink(entry.path(), unreadable) == path_) return true;
    }
    return false;
  }

  const std::filesystem::path path_;
  const std::function<void()> act_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> acted_{false};
  std::thread thread_;
};

}  // namespace tessvark::testing
