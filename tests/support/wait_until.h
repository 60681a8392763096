#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tessvark::testing {

// How long a test waits for another thread or process before it calls the wait a failure. Generous
// on purpose: a wait ends as soon as its condition holds, so a quick machine never waits this long
// and a slow, busy one (two cores and neighbours) still passes. Never a measure of speed.
inline constexpr std::chrono::milliseconds kPatience{std::chrono::seconds(60)};

// Polls `condition` every few milliseconds until it holds or `deadline` has passed; true when it
// held. The deadline only ever marks a failure.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = kPatience) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tessvark::testing
