#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace tessvark {

// The server's worker pool: `base_threads` threads always, growing to `max_threads` while every
// thread is busy (each open event stream keeps one busy for its whole life). Threads beyond the
// base end after `idle_time` without work. Queued work is not limited. Shutdown runs every queued
// task, then joins every thread.
class GrowingThreadPool : public httplib::TaskQueue {
 public:
  GrowingThreadPool(std::size_t base_threads, std::size_t max_threads,
                    std::chrono::milliseconds idle_time);
  ~GrowingThreadPool() override;
  GrowingThreadPool(const GrowingThreadPool&) = delete;
  GrowingThreadPool& operator=(const GrowingThreadPool&) = delete;

  void enqueue(std::function<void()> task) override;
  void shutdown() override;
  // Threads that run now, grown ones included, retired ones not: what tests wait on.
  std::size_t ThreadCount();

 private:
  void StartThreadLocked();
  void WorkerLoop(std::list<std::thread>::iterator self);
  void TakeFinishedLocked(std::vector<std::thread>& out);

  const std::size_t base_threads_;
  const std::size_t max_threads_;
  const std::chrono::milliseconds idle_time_;
  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  std::list<std::thread> threads_;           // guarded by mutex_
  std::vector<std::thread> finished_;        // guarded by mutex_: ended, to be joined
  std::size_t idle_ = 0;                     // guarded by mutex_
  bool shutdown_ = false;                    // guarded by mutex_
};

}  // namespace tessvark
