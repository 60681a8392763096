#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"

namespace tessvark {

// One vMix instance that answered a probe.
struct VmixLanInstance {
  std::string host;
  std::int32_t port = 0;
  std::string version;
  std::optional<std::string> edition;
  std::optional<std::string> name;
};

struct VmixLanTarget {
  std::string host;
  std::int32_t port = 0;
};

struct VmixLanProbeResult {
  std::vector<VmixLanInstance> instances;
  std::int32_t completed = 0;
  bool cancelled = false;
};

// Called from the probe threads after each probe, outside the probes' mutex, with the number
// of probes completed so far and the instance found by this probe (or null).
using VmixLanProgress = std::function<void(std::int32_t completed, const VmixLanInstance* instance)>;

// The network search state a controller keeps.
struct VmixLanSearchState {
  // Held while a search starts and while its thread is joined.
  Mutex thread_mutex;
  // Guards every field below but `cancel` and `thread`.
  Mutex state_mutex ACQUIRED_AFTER(thread_mutex);
  std::thread thread GUARDED_BY(thread_mutex);
  // Also the stop flag of every probe request.
  std::atomic<bool> cancel{false};
  bool running GUARDED_BY(state_mutex) = false;
  std::string state GUARDED_BY(state_mutex) = "idle";
  std::string message GUARDED_BY(state_mutex);
  std::int32_t port GUARDED_BY(state_mutex) = 8088;
  std::int32_t scanned GUARDED_BY(state_mutex) = 0;
  std::int32_t total GUARDED_BY(state_mutex) = 0;
  bool truncated GUARDED_BY(state_mutex) = false;
  double duration_ms GUARDED_BY(state_mutex) = 0.0;
  std::int64_t started_at GUARDED_BY(state_mutex) = 0;
  std::vector<std::string> networks GUARDED_BY(state_mutex);
  std::vector<VmixLanInstance> instances GUARDED_BY(state_mutex);
};

inline constexpr std::chrono::milliseconds kVmixLanProbeTimeout{400};
inline constexpr int kVmixLanProbeConcurrency = 32;

// Probes every target once with GET "/api/", at most `max_workers` (1 to 32) at a time on threads
// named "vmix-probe", each bounded by `timeout_seconds` (at least 0.05 s) and ended early by the
// cancel flag.
VmixLanProbeResult RunLanProbes(const std::vector<VmixLanTarget>& targets, double timeout_seconds,
                                int max_workers, const std::atomic<bool>* cancel,
                                const VmixLanProgress& callback);

// Lists a vMix on this computer once, under its (lowest) LAN address, then sorts the list.
std::vector<VmixLanInstance> MergeLanInstances(const std::vector<VmixLanInstance>& found,
                                               const std::vector<std::string>& own_addresses);
bool IsSameLanInstance(const VmixLanInstance& a, const VmixLanInstance& b);
// IPv4 hosts first, numerically; then other hosts by their text.
bool LanInstanceLess(const VmixLanInstance& a, const VmixLanInstance& b);

}  // namespace tessvark
