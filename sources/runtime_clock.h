#pragma once

#include <chrono>

namespace tessvark {

// The two time bases of the network video runtimes: snapshots carry wall-clock seconds since
// 1970, frames the steady-clock seconds at which the library returned them.
inline double WallSecondsNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline double SteadySecondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace tessvark
