#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/thread_annotations.h"

namespace tessvark {

// A std::mutex that the thread-safety analysis knows as a lock, so that fields can say
// GUARDED_BY(mutex_) and functions REQUIRES(mutex_).
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // Tells the analysis that the caller holds this mutex where it cannot see it.
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for its scope, or until Unlock.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Releases the mutex before the end of the scope.
  void Unlock() RELEASE() {
    held_ = false;
    mutex_.Unlock();
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

// A condition variable over a Mutex. Every wait must be called with that mutex held and returns
// with it held again; like std::condition_variable it may wake without a notification, so callers
// test their condition in a loop around it.
class CondVar {
 public:
  explicit CondVar(Mutex& mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
    changed_.wait(lock);
    lock.release();
  }
  // False when the deadline passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
    const bool woken = changed_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }

  // False when the time passed without a wake-up.
  template <typename Rep, typename Period>
  bool WaitFor(const std::chrono::duration<Rep, Period>& timeout) {
    std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
    const bool woken = changed_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }

  void Signal() { changed_.notify_one(); }
  void SignalAll() { changed_.notify_all(); }

 private:
  Mutex& mutex_;
  std::condition_variable changed_;
};

}  // namespace tessvark
