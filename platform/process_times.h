#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessvark {

// Processor times in 100-ns units, shaped like the system-wide times the resource sampler
// expects: `kernel` includes `idle`, so busy = kernel - idle + user and total = kernel + user.
struct SystemTimes {
  std::uint64_t idle = 0;
  std::uint64_t kernel = 0;
  std::uint64_t user = 0;
};

// The CPU time the whole process has used (all threads, kernel and user), in 100-ns units.
std::optional<std::uint64_t> ProcessCpuTime();

// The machine's processor times from the "cpu" line of /proc/stat.
std::optional<SystemTimes> ReadSystemTimes();

// Reads the first "cpu " line of /proc/stat's text; `ticks_per_second` is the kernel's clock
// tick rate. Idle counts idle and iowait; kernel counts system, irq, softirq, steal and the idle
// time; user counts user and nice (guest time is already part of user).
std::optional<SystemTimes> ParseProcStatCpuLine(std::string_view text,
                                                std::int64_t ticks_per_second);

// The monotonic clock in 100-ns units; 0 when it cannot be read.
std::uint64_t MonotonicTime100ns();

// The number of processors online.
std::uint32_t OnlineProcessorCount();

}  // namespace tessvark
