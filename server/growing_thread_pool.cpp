#include "server/growing_thread_pool.h"

#include <string>
#include <utility>

#include "platform/thread_name.h"

namespace tessvark {

GrowingThreadPool::GrowingThreadPool(std::size_t base_threads, std::size_t max_threads,
                                     std::chrono::milliseconds idle_time)
    : base_threads_(base_threads), max_threads_(max_threads), idle_time_(idle_time) {
  MutexLock lock(mutex_);
  for (std::size_t i = 0; i < base_threads_; ++i) StartThreadLocked();
}

GrowingThreadPool::~GrowingThreadPool() { shutdown(); }

void GrowingThreadPool::StartThreadLocked() {
  threads_.emplace_back();
  const auto self = std::prev(threads_.end());
  const std::size_t number = ++started_;
  try {
    *self = std::thread([this, self, number] { WorkerLoop(self, number); });
  } catch (...) {
    threads_.erase(self);
    throw;
  }
}

void GrowingThreadPool::TakeFinishedLocked(std::vector<std::thread>& out) {
  for (auto& thread : finished_) out.push_back(std::move(thread));
  finished_.clear();
}

void GrowingThreadPool::enqueue(std::function<void()> task) {
  std::vector<std::thread> ended;
  {
    MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
    TakeFinishedLocked(ended);
    // Grow only when no idle thread can take the new task; a failed thread start leaves the
    // task to the threads there are.
    if (idle_ < tasks_.size() && threads_.size() < max_threads_) {
      try {
        StartThreadLocked();
      } catch (...) {
      }
    }
  }
  work_cv_.Signal();
  for (auto& thread : ended) thread.join();
}

std::size_t GrowingThreadPool::ThreadCount() {
  MutexLock lock(mutex_);
  return threads_.size();
}

void GrowingThreadPool::shutdown() {
  std::list<std::thread> threads;
  std::vector<std::thread> ended;
  {
    MutexLock lock(mutex_);
    shutdown_ = true;
    // Once shut down no worker retires, so the list taken here is complete.
    threads.splice(threads.end(), threads_);
    TakeFinishedLocked(ended);
  }
  work_cv_.SignalAll();
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  for (auto& thread : ended) {
    if (thread.joinable()) thread.join();
  }
}

void GrowingThreadPool::WorkerLoop(std::list<std::thread>::iterator self, std::size_t number) {
  NameThisThread("http-" + std::to_string(number));
  while (std::optional<std::function<void()>> task = NextTask(self)) (*task)();
}

std::optional<std::function<void()>> GrowingThreadPool::NextTask(std::list<std::thread>::iterator self) {
  MutexLock lock(mutex_);
  for (;;) {
    ++idle_;
    bool timed_out = false;
    while (tasks_.empty() && !shutdown_ && !timed_out) {
      if (threads_.size() > base_threads_) {
        timed_out = !work_cv_.WaitFor(idle_time_);
      } else {
        work_cv_.Wait();
      }
    }
    --idle_;
    if (tasks_.empty()) {
      if (shutdown_) return std::nullopt;
      if (threads_.size() > base_threads_) {
        // Retire: hand the own thread object over to be joined by the next caller.
        finished_.push_back(std::move(*self));
        threads_.erase(self);
        return std::nullopt;
      }
      continue;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    return task;
  }
}

}  // namespace tessvark
