#include "platform/process_times.h"

#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

namespace tessvark {
namespace {

std::uint64_t To100ns(const timespec& value) {
  return static_cast<std::uint64_t>(value.tv_sec) * 10000000u +
         static_cast<std::uint64_t>(value.tv_nsec) / 100u;
}

// Reads an unsigned decimal field; false at the end of the line or on anything else.
bool ReadField(std::string_view text, std::size_t& at, std::uint64_t& value) {
  while (at < text.size() && text[at] == ' ') ++at;
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
    if (value > (UINT64_MAX - digit) / 10u) return false;
    value = value * 10u + digit;
    ++at;
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> ProcessCpuTime() {
  timespec now{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) return std::nullopt;
  return To100ns(now);
}

std::optional<SystemTimes> ParseProcStatCpuLine(std::string_view text,
                                                std::int64_t ticks_per_second) {
  if (ticks_per_second <= 0 || text.substr(0, 4) != "cpu ") return std::nullopt;
  // user nice system idle iowait irq softirq steal; older kernels end after fewer fields.
  std::array<std::uint64_t, 8> fields{};
  std::size_t at = 4;
  std::size_t count = 0;
  while (count < fields.size() && ReadField(text, at, fields[count])) ++count;
  if (count < 4) return std::nullopt;
  const auto [user, nice, system, idle, iowait, irq, softirq, steal] = fields;
  const std::uint64_t idle_ticks = idle + iowait;
  const std::uint64_t kernel_ticks = system + irq + softirq + steal + idle_ticks;
  const std::uint64_t user_ticks = user + nice;
  const auto scale = [ticks_per_second](std::uint64_t ticks) {
    const auto rate = static_cast<std::uint64_t>(ticks_per_second);
    return ticks / rate * 10000000u + ticks % rate * 10000000u / rate;
  };
  return SystemTimes{scale(idle_ticks), scale(kernel_ticks), scale(user_ticks)};
}

std::optional<SystemTimes> ReadSystemTimes() {
  std::FILE* file = std::fopen("/proc/stat", "re");
  if (file == nullptr) return std::nullopt;
  char line[512];
  const bool read = std::fgets(line, sizeof(line), file) != nullptr;
  std::fclose(file);
  if (!read) return std::nullopt;
  return ParseProcStatCpuLine(line, sysconf(_SC_CLK_TCK));
}

std::uint64_t MonotonicTime100ns() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return To100ns(now);
}

std::uint32_t OnlineProcessorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<std::uint32_t>(count) : 0u;
}

}  // namespace tessvark
