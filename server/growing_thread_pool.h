#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <thread>
#include <vector>

#include "core/mutex.h"

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

  void enqueue(std::function<void()> task) override EXCLUDES(mutex_);
  void shutdown() override EXCLUDES(mutex_);
  // Threads that run now, grown ones included, retired ones not: what tests wait on.
  std::size_t ThreadCount() EXCLUDES(mutex_);

 private:
  void StartThreadLocked() REQUIRES(mutex_);
  // The life of one worker thread, named "http-" and its number.
  void WorkerLoop(std::list<std::thread>::iterator self, std::size_t number) EXCLUDES(mutex_);
  // The next task, or nothing when the thread is to end (shut down, or retired after idling).
  std::optional<std::function<void()>> NextTask(std::list<std::thread>::iterator self) EXCLUDES(mutex_);
  void TakeFinishedLocked(std::vector<std::thread>& out) REQUIRES(mutex_);

  const std::size_t base_threads_;
  const std::size_t max_threads_;
  const std::chrono::milliseconds idle_time_;
  Mutex mutex_;
  CondVar work_cv_{mutex_};
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  std::list<std::thread> threads_ GUARDED_BY(mutex_);
  std::vector<std::thread> finished_ GUARDED_BY(mutex_);  // ended, to be joined
  std::size_t idle_ GUARDED_BY(mutex_) = 0;
  std::size_t started_ GUARDED_BY(mutex_) = 0;  // threads ever started, for their names
  bool shutdown_ GUARDED_BY(mutex_) = false;
};

}  // namespace tessvark
