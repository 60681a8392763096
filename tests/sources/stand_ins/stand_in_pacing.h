#pragma once

// What both stand-ins do when a receiver asks for a picture: send at a steady pace, and mark each
// copy with its index so that a test can tell pictures apart and see none skipped.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tessvark::stand_in {

using Clock = std::chrono::steady_clock;

// True when the next picture is due at `now`; then the one after is due an interval later.
// Otherwise `wake_at` is brought forward to when it is due.
inline bool TakeTurn(Clock::time_point& next, Clock::time_point now,
                     std::chrono::milliseconds interval, Clock::time_point& wake_at) {
  if (now < next) {
    wake_at = std::min(wake_at, next);
    return false;
  }
  next = now + interval;
  return true;
}

// Writes `index` into the first three bytes (the first pixel's colour), low byte first.
inline void StampIndex(std::uint8_t* pixels, std::size_t size, std::uint32_t index) {
  if (size < 3) return;
  pixels[0] = static_cast<std::uint8_t>(index);
  pixels[1] = static_cast<std::uint8_t>(index >> 8);
  pixels[2] = static_cast<std::uint8_t>(index >> 16);
}

}  // namespace tessvark::stand_in
