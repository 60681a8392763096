#include "app/system_resource_sampler.h"

#include <cmath>

#include "core/json_writer.h"
#include "core/steady_clock.h"
#include "platform/process_times.h"

namespace tessvark {
namespace {

constexpr std::int64_t kBaselineLifetimeNs = 6000000000;

// One decimal, null when absent or not finite.
void WritePercent(std::optional<double> value, JsonWriter& out) {
  if (value) {
    out.Fixed(*value, 1);
  } else {
    out.Null();
  }
}

}  // namespace

ResourceReadings TakeResourceReadings() {
  ResourceReadings readings;
  readings.logical_cpus = OnlineProcessorCount();
  readings.process_time = ProcessCpuTime();
  if (const std::optional<SystemTimes> times = ReadSystemTimes();
      times && times->kernel >= times->idle) {
    readings.system_times_read = true;
    readings.busy_time = times->user + times->kernel - times->idle;
    readings.total_time = times->kernel + times->user;
  }
  readings.wall_time = MonotonicTime100ns();
  readings.steady_ns = SteadyClockNanoseconds();
  return readings;
}

SystemResourceSampler::SystemResourceSampler(ReadingSource source) : source_(std::move(source)) {}

SystemResourceSample SystemResourceSampler::Sample() {
  const ResourceReadings now = source_();
  SystemResourceSample sample;
  sample.logical_cpus = now.logical_cpus;

  MutexLock lock(mutex_);
  const bool baseline_valid =
      have_previous_ && now.steady_ns - previous_.steady_ns <= kBaselineLifetimeNs;
  if (baseline_valid) {
    if (now.process_time && previous_.wall_time < now.wall_time &&
        *now.process_time >= *previous_.process_time) {
      sample.process_cpu = ProcessCpuPercent(*now.process_time - *previous_.process_time,
                                             now.wall_time - previous_.wall_time,
                                             now.logical_cpus);
    }
    if (now.system_times_read && now.total_time >= previous_.total_time &&
        now.busy_time >= previous_.busy_time) {
      sample.computer_cpu = ComputerCpuPercent(now.busy_time - previous_.busy_time,
                                               now.total_time - previous_.total_time);
    }
  }
  have_previous_ = now.process_time.has_value() && now.system_times_read && now.wall_time != 0;
  if (have_previous_) previous_ = now;
  return sample;
}

void SystemResourceSampler::Release() {
  MutexLock lock(mutex_);
  have_previous_ = false;
}

std::unique_ptr<SystemResourceSampler> CreateSystemResourceSampler() {
  return std::make_unique<SystemResourceSampler>();
}

std::optional<double> ClampPercent(double value) {
  if (!std::isfinite(value) || value < 0.0) return std::nullopt;
  return value < 100.0 ? value : 100.0;
}

std::optional<double> ProcessCpuPercent(std::uint64_t cpu, std::uint64_t wall,
                                        std::uint32_t processors) {
  if (wall == 0 || processors == 0) return std::nullopt;
  return ClampPercent(static_cast<double>(cpu) / static_cast<double>(wall) /
                      static_cast<double>(processors) * 100.0);
}

std::optional<double> ComputerCpuPercent(std::uint64_t busy, std::uint64_t total) {
  if (total == 0 || busy > total) return std::nullopt;
  return ClampPercent(static_cast<double>(busy) / static_cast<double>(total) * 100.0);
}

std::string SystemResourcesJson(const SystemResourceSample& sample) {
  JsonWriter out(kApiJson);
  out.BeginObject();
  out.Key("process").BeginObject();
  WritePercent(sample.process_cpu, out.Key("cpu"));
  WritePercent(sample.process_gpu, out.Key("gpu"));
  out.EndObject();
  out.Key("computer").BeginObject();
  WritePercent(sample.computer_cpu, out.Key("cpu"));
  WritePercent(sample.computer_gpu, out.Key("gpu"));
  out.EndObject();
  out.Key("logical_cpus").Int(sample.logical_cpus);
  return out.EndObject().Take();
}

}  // namespace tessvark
