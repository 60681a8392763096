#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "app/system_resource_sampler.h"
#include "platform/process_times.h"

namespace tessvark {
namespace {

constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::uint64_t kSecond100ns = 10000000;

// Readings moved by hand: `Advance` lets time pass with a given process and machine load.
class ScriptedReadings {
 public:
  ScriptedReadings() {
    now_.logical_cpus = 4;
    now_.process_time = 5 * kSecond100ns;
    now_.system_times_read = true;
    now_.busy_time = 100 * kSecond100ns;
    now_.total_time = 400 * kSecond100ns;
    now_.wall_time = 1000 * kSecond100ns;
    now_.steady_ns = 1000 * kSecondNs;
  }

  // `seconds` pass; the process uses `process_share` of all processors, the machine is busy for
  // `busy_share` of its processor time.
  void Advance(double seconds, double process_share, double busy_share) {
    const auto wall = static_cast<std::uint64_t>(seconds * kSecond100ns);
    const std::uint64_t total = wall * now_.logical_cpus;
    *now_.process_time += static_cast<std::uint64_t>(process_share * static_cast<double>(total));
    now_.busy_time += static_cast<std::uint64_t>(busy_share * static_cast<double>(total));
    now_.total_time += total;
    now_.wall_time += wall;
    now_.steady_ns += static_cast<std::int64_t>(seconds * kSecondNs);
  }

  ResourceReadings& now() { return now_; }
  SystemResourceSampler::ReadingSource Source() {
    return [this] { return now_; };
  }

 private:
  ResourceReadings now_;
};

void ExpectNoLoads(const SystemResourceSample& sample) {
  EXPECT_FALSE(sample.process_cpu.has_value());
  EXPECT_FALSE(sample.computer_cpu.has_value());
  EXPECT_FALSE(sample.process_gpu.has_value());
  EXPECT_FALSE(sample.computer_gpu.has_value());
}

TEST(SystemResourceSamplerTest, LoadsAreTheChangeSinceTheRecentPreviousSample) {
  ScriptedReadings readings;
  SystemResourceSampler sampler(readings.Source());

  const SystemResourceSample first = sampler.Sample();
  ExpectNoLoads(first);
  EXPECT_EQ(first.logical_cpus, 4u);

  readings.Advance(1.0, 0.25, 0.5);
  const SystemResourceSample second = sampler.Sample();
  ASSERT_TRUE(second.process_cpu.has_value());
  ASSERT_TRUE(second.computer_cpu.has_value());
  EXPECT_NEAR(*second.process_cpu, 25.0, 1e-9);
  EXPECT_NEAR(*second.computer_cpu, 50.0, 1e-9);
  EXPECT_FALSE(second.process_gpu.has_value()) << "no GPU counters on Linux";
  EXPECT_FALSE(second.computer_gpu.has_value());

  readings.Advance(6.0, 0.1, 0.1);
  EXPECT_TRUE(sampler.Sample().process_cpu.has_value()) << "exactly 6 s still counts";

  readings.Advance(7.0, 0.1, 0.1);
  ExpectNoLoads(sampler.Sample());
  readings.Advance(1.0, 0.1, 0.2);
  const SystemResourceSample restarted = sampler.Sample();
  ASSERT_TRUE(restarted.computer_cpu.has_value());
  EXPECT_NEAR(*restarted.computer_cpu, 20.0, 1e-9);
}

TEST(SystemResourceSamplerTest, ReleaseForgetsThePreviousSample) {
  ScriptedReadings readings;
  SystemResourceSampler sampler(readings.Source());
  sampler.Sample();
  sampler.Release();
  readings.Advance(1.0, 0.5, 0.5);
  ExpectNoLoads(sampler.Sample());
  readings.Advance(1.0, 0.5, 0.5);
  EXPECT_TRUE(sampler.Sample().process_cpu.has_value());
}

TEST(SystemResourceSamplerTest, ReadingsThatWentBackOrFailedLeaveValuesOut) {
  ScriptedReadings readings;
  SystemResourceSampler sampler(readings.Source());
  sampler.Sample();

  // Another sample's readings were stored in between: the process time and busy time went back.
  readings.Advance(1.0, 0.0, 0.0);
  *readings.now().process_time -= 1;
  readings.now().busy_time -= 1;
  const SystemResourceSample backwards = sampler.Sample();
  EXPECT_FALSE(backwards.process_cpu.has_value());
  EXPECT_FALSE(backwards.computer_cpu.has_value());

  // The system times could not be read: no computer value, and no baseline is kept.
  readings.Advance(1.0, 0.1, 0.1);
  readings.now().system_times_read = false;
  const SystemResourceSample unread = sampler.Sample();
  EXPECT_TRUE(unread.process_cpu.has_value());
  EXPECT_FALSE(unread.computer_cpu.has_value());
  readings.now().system_times_read = true;
  readings.Advance(1.0, 0.1, 0.1);
  ExpectNoLoads(sampler.Sample());
}

TEST(SystemResourceSamplerTest, PercentRules) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(ClampPercent(150.0), std::optional<double>(100.0)) << "counter overshoot";
  EXPECT_EQ(ClampPercent(0.0), std::optional<double>(0.0));
  EXPECT_FALSE(ClampPercent(-0.1).has_value());
  EXPECT_FALSE(ClampPercent(inf).has_value());
  EXPECT_FALSE(ClampPercent(std::nan("")).has_value());
  EXPECT_FALSE(ProcessCpuPercent(10, 0, 4).has_value());
  EXPECT_FALSE(ProcessCpuPercent(10, 10, 0).has_value());
  EXPECT_EQ(ProcessCpuPercent(20, 10, 2), std::optional<double>(100.0));
  EXPECT_EQ(ProcessCpuPercent(50, 100, 2), std::optional<double>(25.0));
  EXPECT_FALSE(ComputerCpuPercent(1, 0).has_value());
  EXPECT_FALSE(ComputerCpuPercent(11, 10).has_value());
  EXPECT_EQ(ComputerCpuPercent(5, 10), std::optional<double>(50.0));
}

TEST(SystemResourceSamplerTest, JsonDocument) {
  SystemResourceSample sample;
  sample.logical_cpus = 16;
  EXPECT_EQ(SystemResourcesJson(sample),
            "{\"process\":{\"cpu\":null,\"gpu\":null},\"computer\":{\"cpu\":null,\"gpu\":null},"
            "\"logical_cpus\":16}");
  sample.process_cpu = 12.345;
  sample.computer_cpu = 100.0;
  sample.process_gpu = 0.0;
  sample.computer_gpu = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(SystemResourcesJson(sample),
            "{\"process\":{\"cpu\":12.3,\"gpu\":0.0},\"computer\":{\"cpu\":100.0,\"gpu\":null},"
            "\"logical_cpus\":16}");
}

TEST(SystemResourceSamplerTest, MachineReadingsYieldLoadsOnTheSecondSample) {
  SystemResourceSampler sampler;
  const SystemResourceSample first = sampler.Sample();
  EXPECT_GT(first.logical_cpus, 0u);
  ExpectNoLoads(first);
  // Burn 50 ms of processor time, however long a busy machine takes to give it, so that the
  // change is measurable.
  volatile double sink = 0.0;
  const std::optional<std::uint64_t> start = ProcessCpuTime();
  ASSERT_TRUE(start.has_value());
  while (ProcessCpuTime().value_or(0) < *start + 500000) sink = sink + std::sqrt(sink + 2.0);
  const SystemResourceSample second = sampler.Sample();
  ASSERT_TRUE(second.process_cpu.has_value());
  ASSERT_TRUE(second.computer_cpu.has_value());
  EXPECT_GT(*second.process_cpu, 0.0);
  EXPECT_LE(*second.process_cpu, 100.0);
  EXPECT_LE(*second.computer_cpu, 100.0);
}

}  // namespace
}  // namespace tessvark
