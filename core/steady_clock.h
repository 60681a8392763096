#pragma once

#include <chrono>
#include <cstdint>

namespace tessvark {

// The steady clock, which pacing, time-outs and frame ages use: it never jumps with the wall
// clock. Its zero is arbitrary, so only differences mean anything.
inline std::int64_t SteadyClockNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline double SteadyClockSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace tessvark
