// The network search operations of VmixOutputController.
#include <chrono>
#include <string>
#include <system_error>

#include "core/steady_clock.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_lan_candidates.h"
#include "outputs/vmix/vmix_output_controller.h"

namespace tessvark {
namespace {

constexpr const char* kNothingFound =
    "No vMix instance was found automatically. You can still connect using the computer\xE2\x80\x99s IP address.";

// Reading the adapter table is serialised across the process.
std::mutex adapter_mutex;

}  // namespace

std::string VmixOutputController::LanSearchStatusJsonLocked() {
  const VmixLanSearchState& s = search_;
  std::string out = "{\"ok\":true,\"state\":" + QuotedVmixJsonText(s.state) + ",\"instances\":[";
  for (std::size_t i = 0; i < s.instances.size(); ++i) {
    const VmixLanInstance& instance = s.instances[i];
    if (i > 0) out += ',';
    out += "{\"host\":" + QuotedVmixJsonText(instance.host) + ",\"port\":" + std::to_string(instance.port) +
           ",\"version\":" + QuotedVmixJsonText(instance.version) + ",\"edition\":" + OptionalTextJson(instance.edition) +
           ",\"name\":" + OptionalTextJson(instance.name) + "}";
  }
  out += "],\"networks\":[";
  for (std::size_t i = 0; i < s.networks.size(); ++i) {
    if (i > 0) out += ',';
    out += QuotedVmixJsonText(s.networks[i]);
  }
  out += "],\"network\":";
  out += s.networks.empty() ? "null" : QuotedVmixJsonText(s.networks.front());
  out += ",\"network_count\":" + std::to_string(s.networks.size());
  out += ",\"port\":" + std::to_string(s.port);
  out += ",\"scanned\":" + std::to_string(s.scanned);
  out += ",\"total\":" + std::to_string(s.total);
  out += ",\"truncated\":";
  out += s.truncated ? "true" : "false";
  out += ",\"timeout_ms\":400,\"concurrency\":32";
  out += ",\"duration_ms\":" + std::to_string(static_cast<std::int64_t>(s.duration_ms));
  out += ",\"message\":" + QuotedVmixJsonText(s.message) + "}";
  return out;
}

std::string VmixOutputController::LanSearchStatusJson() {
  std::lock_guard<std::mutex> lock(search_.state_mutex);
  return LanSearchStatusJsonLocked();
}

std::string VmixOutputController::CancelLanSearch() {
  search_.cancel = true;
  std::lock_guard<std::mutex> lock(search_.state_mutex);
  if (search_.state == "searching") search_.message = "Search cancelled.";
  return LanSearchStatusJsonLocked();
}

std::string VmixOutputController::StartLanSearch(const std::string& host, std::int32_t port) {
  std::lock_guard<std::mutex> thread_lock(search_.thread_mutex);
  {
    std::lock_guard<std::mutex> lock(search_.state_mutex);
    if (search_.running) return LanSearchStatusJsonLocked();
  }
  if (search_.thread.joinable()) search_.thread.join();
  const std::int32_t probe_port = port >= 1 && port <= 65535 ? port : 8088;
  std::vector<Ipv4AdapterAddress> adapters;
  {
    std::lock_guard<std::mutex> lock(adapter_mutex);
    adapters = adapter_lister_();
  }
  VmixLanCandidates candidates = BuildLanCandidates(adapters, host);
  std::vector<VmixLanTarget> targets;
  for (const std::string& candidate : candidates.hosts) targets.push_back(VmixLanTarget{candidate, probe_port});
  const std::int64_t started_at = SteadyClockNanoseconds();

  std::lock_guard<std::mutex> lock(search_.state_mutex);
  search_.cancel = false;
  search_.state = "searching";
  search_.message = "Searching for vMix\xE2\x80\xA6";
  search_.port = probe_port;
  search_.scanned = 0;
  search_.total = static_cast<std::int32_t>(targets.size());
  search_.truncated = candidates.truncated;
  search_.duration_ms = 0.0;
  search_.started_at = started_at;
  search_.networks = candidates.networks;
  search_.instances.clear();
  search_.running = true;
  try {
    search_.thread = std::thread(&VmixOutputController::RunLanSearch, this, std::move(targets),
                                 std::move(candidates.own_addresses), started_at);
  } catch (const std::system_error&) {
    // Without a search thread nothing is probed; the search ends at once as finding nothing.
    search_.running = false;
    search_.state = "done";
    search_.message = kNothingFound;
  }
  return LanSearchStatusJsonLocked();
}

void VmixOutputController::RunLanSearch(std::vector<VmixLanTarget> targets, std::vector<std::string> own_addresses,
                                        std::int64_t started_at) {
  const auto elapsed_ms = [started_at] { return static_cast<double>(SteadyClockNanoseconds() - started_at) / 1e6; };
  const VmixLanProbeResult result = RunLanProbes(
      targets, kVmixLanProbeTimeoutSeconds, kVmixLanProbeConcurrency, &search_.cancel,
      [this, &elapsed_ms](std::int32_t completed, const VmixLanInstance* instance) {
        std::lock_guard<std::mutex> lock(search_.state_mutex);
        search_.scanned = completed;
        search_.duration_ms = elapsed_ms();
        if (instance != nullptr) search_.instances.push_back(*instance);
      });
  std::vector<VmixLanInstance> merged = MergeLanInstances(result.instances, own_addresses);

  std::lock_guard<std::mutex> lock(search_.state_mutex);
  search_.instances = std::move(merged);
  search_.scanned = result.completed;
  search_.duration_ms = elapsed_ms();
  search_.running = false;
  if (result.cancelled) {
    search_.state = "cancelled";
    search_.message = search_.instances.empty() ? kNothingFound : "Search cancelled.";
  } else {
    search_.state = "done";
    search_.message = search_.instances.empty()
                          ? std::string(kNothingFound)
                          : std::to_string(search_.instances.size()) + " vMix instance(s) found";
  }
}

}  // namespace tessvark
