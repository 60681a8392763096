#include "outputs/vmix/vmix_lan_search.h"

#include <arpa/inet.h>

#include <algorithm>

#include "core/text.h"
#include "outputs/vmix/vmix_api_document.h"
#include "outputs/vmix/vmix_http_client.h"
#include "platform/thread_name.h"

namespace tessvark {
namespace {

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  return ntohl(address.s_addr);
}

bool IsLoopback(std::uint32_t address) {
  return (address & 0xFF000000u) == 0x7F000000u;
}

std::string NameKey(const std::optional<std::string>& name) {
  return name ? ToLowerAscii(TrimAsciiWhitespace(*name)) : std::string();
}

struct ProbeShared {
  Mutex mutex;
  std::size_t next GUARDED_BY(mutex) = 0;
  VmixLanProbeResult result GUARDED_BY(mutex);
};

void RunLanProbeWorker(const std::vector<VmixLanTarget>& targets, double timeout_seconds,
                       const std::atomic<bool>* cancel, const VmixLanProgress& callback, ProbeShared& shared) {
  NameThisThread("vmix-probe");
  for (;;) {
    if (cancel != nullptr && cancel->load()) return;
    const VmixLanTarget* target = nullptr;
    {
      MutexLock lock(shared.mutex);
      if (shared.next >= targets.size()) return;
      target = &targets[shared.next++];
    }
    const VmixHttpResult answer = VmixHttpGet(target->host, target->port, "/api/", timeout_seconds, cancel);
    std::optional<VmixLanInstance> instance;
    if (answer.error.empty()) {
      VmixApiResponse document = ReadVmixApiResponse(answer.body, true);
      if (document.ok) {
        instance = VmixLanInstance{target->host, target->port, *document.version, document.edition,
                                   document.computer_name};
      }
    }
    std::int32_t completed = 0;
    {
      MutexLock lock(shared.mutex);
      completed = ++shared.result.completed;
      if (instance) shared.result.instances.push_back(*instance);
    }
    if (callback) callback(completed, instance ? &*instance : nullptr);
  }
}

}  // namespace

VmixLanProbeResult RunLanProbes(const std::vector<VmixLanTarget>& targets, double timeout_seconds,
                                int max_workers, const std::atomic<bool>* cancel,
                                const VmixLanProgress& callback) {
  const double timeout = std::max(timeout_seconds, 0.05);
  ProbeShared shared;
  if (!targets.empty()) {
    int workers = std::clamp(max_workers, 1, kVmixLanProbeConcurrency);
    workers = std::min<int>(workers, static_cast<int>(targets.size()));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(workers));
    for (int i = 0; i < workers; ++i) {
      threads.emplace_back(RunLanProbeWorker, std::cref(targets), timeout, cancel, std::cref(callback),
                           std::ref(shared));
    }
    for (std::thread& thread : threads) thread.join();
  }
  MutexLock lock(shared.mutex);
  shared.result.cancelled = cancel != nullptr && cancel->load();
  return std::move(shared.result);
}

bool IsSameLanInstance(const VmixLanInstance& a, const VmixLanInstance& b) {
  if (a.port != b.port || a.version != b.version || a.edition != b.edition) return false;
  const std::string name_a = NameKey(a.name);
  const std::string name_b = NameKey(b.name);
  return name_a.empty() || name_b.empty() || name_a == name_b;
}

bool LanInstanceLess(const VmixLanInstance& a, const VmixLanInstance& b) {
  const std::optional<std::uint32_t> address_a = ParseIpv4(a.host);
  const std::optional<std::uint32_t> address_b = ParseIpv4(b.host);
  if (address_a.has_value() != address_b.has_value()) return address_a.has_value();
  if (address_a && *address_a != *address_b) return *address_a < *address_b;
  return a.host < b.host;
}

std::vector<VmixLanInstance> MergeLanInstances(const std::vector<VmixLanInstance>& found,
                                               const std::vector<std::string>& own_addresses) {
  std::vector<std::uint32_t> own;
  for (const std::string& text : own_addresses) {
    if (const auto address = ParseIpv4(text)) own.push_back(*address);
  }
  const auto is_self = [&own](const VmixLanInstance& instance) {
    const auto address = ParseIpv4(instance.host);
    if (!address) return false;
    if (IsLoopback(*address) && !own.empty()) return true;
    return std::find(own.begin(), own.end(), *address) != own.end();
  };

  std::vector<VmixLanInstance> merged;
  std::vector<bool> merged_self;
  for (const VmixLanInstance& instance : found) {
    if (!is_self(instance)) {
      merged.push_back(instance);
      merged_self.push_back(false);
      continue;
    }
    bool dropped = false;
    for (std::size_t i = 0; i < merged.size() && !dropped; ++i) {
      if (!merged_self[i] || !IsSameLanInstance(merged[i], instance)) continue;
      dropped = true;
      const std::uint32_t kept = *ParseIpv4(merged[i].host);
      const std::uint32_t incoming = *ParseIpv4(instance.host);
      const bool prefer = IsLoopback(kept) != IsLoopback(incoming) ? IsLoopback(kept) : incoming < kept;
      if (prefer) merged[i] = instance;
    }
    if (!dropped) {
      merged.push_back(instance);
      merged_self.push_back(true);
    }
  }
  std::sort(merged.begin(), merged.end(), LanInstanceLess);
  return merged;
}

}  // namespace tessvark
