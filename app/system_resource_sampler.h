#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/mutex.h"

namespace tessvark {

// One sample: percentages from 0 to 100, absent when they cannot be computed. The graphics loads
// are always absent on Linux: there is no portable per-engine GPU counter to read.
struct SystemResourceSample {
  std::optional<double> process_cpu;
  std::optional<double> process_gpu;
  std::optional<double> computer_cpu;
  std::optional<double> computer_gpu;
  std::uint32_t logical_cpus = 0;
};

// The raw readings one sample starts from, all times in 100-ns units.
struct ResourceReadings {
  std::uint32_t logical_cpus = 0;
  std::optional<std::uint64_t> process_time;  // the process's CPU time
  bool system_times_read = false;
  std::uint64_t busy_time = 0;   // the machine's busy processor time
  std::uint64_t total_time = 0;  // busy plus idle
  std::uint64_t wall_time = 0;   // monotonic clock; 0 when it could not be read
  std::int64_t steady_ns = 0;    // steady clock in nanoseconds
};

// The machine's current readings.
ResourceReadings TakeResourceReadings();

// The program's and the computer's processor load as the change since the previous sample. The
// first sample after a pause of more than 6 s (or after Release) only stores its readings, so a
// client that polls at least every 6 s gets values from its second request on. Sample and
// Release may be called from any thread.
class SystemResourceSampler {
 public:
  using ReadingSource = std::function<ResourceReadings()>;

  explicit SystemResourceSampler(ReadingSource source = TakeResourceReadings);

  SystemResourceSample Sample() EXCLUDES(mutex_);
  // Forgets the previous sample.
  void Release() EXCLUDES(mutex_);

 private:
  const ReadingSource source_;
  Mutex mutex_;
  bool have_previous_ GUARDED_BY(mutex_) = false;
  ResourceReadings previous_ GUARDED_BY(mutex_);
};

std::unique_ptr<SystemResourceSampler> CreateSystemResourceSampler();

// cpu ÷ wall ÷ processors × 100, clamped; absent when wall or processors is 0.
std::optional<double> ProcessCpuPercent(std::uint64_t cpu, std::uint64_t wall,
                                        std::uint32_t processors);
// busy ÷ total × 100, clamped; absent when total is 0 or busy exceeds it.
std::optional<double> ComputerCpuPercent(std::uint64_t busy, std::uint64_t total);
// Absent for a value that is not finite or below 0; otherwise at most 100.
std::optional<double> ClampPercent(double value);
// {"process":{"cpu":..,"gpu":..},"computer":{"cpu":..,"gpu":..},"logical_cpus":N}, each percent
// with one decimal, null when it is absent or not finite.
std::string SystemResourcesJson(const SystemResourceSample& sample);

}  // namespace tessvark
