// The network search operations of VmixOutputController.
#include <chrono>
#include <string>
#include <system_error>

#include "core/steady_clock.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_lan_candidates.h"
#include "outputs/vmix/vmix_output_controller.h"
#include "platform/thread_name.h"

namespace tessvark {
namespace {

constexpr const char* kNothingFound =
    "No vMix instance was found automatically. You can still connect using the computer\xE2\x80\x99s IP address.";

// Reading the adapter table is serialised across the process.
Mutex adapter_mutex;

}  // namespace

std::string VmixOutputController::LanSearchStatusJsonLocked() {
  JsonWriter out(kStateJson);
  out.BeginObject();
  out.Key("ok").Bool(true);
  out.Key("state").String(search_.state);
  out.Key("instances").BeginArray();
  for (const VmixLanInstance& instance : search_.instances) {
    out.BeginObject();
    out.Key("host").String(instance.host);
    out.Key("port").Int(instance.port);
    out.Key("version").String(instance.version);
    out.Key("edition").OptionalString(instance.edition);
    out.Key("name").OptionalString(instance.name);
    out.EndObject();
  }
  out.EndArray();
  out.Key("networks").BeginArray();
  for (const std::string& network : search_.networks) out.String(network);
  out.EndArray();
  out.Key("network");
  if (search_.networks.empty()) {
    out.Null();
  } else {
    out.String(search_.networks.front());
  }
  out.Key("network_count").Int(search_.networks.size());
  out.Key("port").Int(search_.port);
  out.Key("scanned").Int(search_.scanned);
  out.Key("total").Int(search_.total);
  out.Key("truncated").Bool(search_.truncated);
  out.Key("timeout_ms").Int(lan_probe_timeout_.count());
  out.Key("concurrency").Int(32);
  out.Key("duration_ms").Int(static_cast<std::int64_t>(search_.duration_ms));
  out.Key("message").String(search_.message);
  out.EndObject();
  return out.Take();
}

std::string VmixOutputController::LanSearchStatusJson() {
  MutexLock lock(search_.state_mutex);
  return LanSearchStatusJsonLocked();
}

std::string VmixOutputController::CancelLanSearch() {
  search_.cancel = true;
  MutexLock lock(search_.state_mutex);
  if (search_.state == "searching") search_.message = "Search cancelled.";
  return LanSearchStatusJsonLocked();
}

std::string VmixOutputController::StartLanSearch(const std::string& host, std::int32_t port) {
  MutexLock thread_lock(search_.thread_mutex);
  {
    MutexLock lock(search_.state_mutex);
    if (search_.running) return LanSearchStatusJsonLocked();
  }
  if (search_.thread.joinable()) search_.thread.join();
  const std::int32_t probe_port = port >= 1 && port <= 65535 ? port : 8088;
  std::vector<Ipv4AdapterAddress> adapters;
  {
    MutexLock lock(adapter_mutex);
    adapters = adapter_lister_();
  }
  VmixLanCandidates candidates = BuildLanCandidates(adapters, host);
  std::vector<VmixLanTarget> targets;
  for (const std::string& candidate : candidates.hosts) targets.push_back(VmixLanTarget{candidate, probe_port});
  const std::int64_t started_at = SteadyClockNanoseconds();

  MutexLock lock(search_.state_mutex);
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
  NameThisThread("vmix-search");
  const auto elapsed_ms = [started_at] { return static_cast<double>(SteadyClockNanoseconds() - started_at) / 1e6; };
  const VmixLanProbeResult result = RunLanProbes(
      targets, std::chrono::duration<double>(lan_probe_timeout_).count(), kVmixLanProbeConcurrency,
      &search_.cancel,
      [this, &elapsed_ms](std::int32_t completed, const VmixLanInstance* instance) {
        MutexLock lock(search_.state_mutex);
        search_.scanned = completed;
        search_.duration_ms = elapsed_ms();
        if (instance != nullptr) search_.instances.push_back(*instance);
      });
  std::vector<VmixLanInstance> merged = MergeLanInstances(result.instances, own_addresses);

  MutexLock lock(search_.state_mutex);
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
