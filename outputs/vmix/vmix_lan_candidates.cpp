#include "outputs/vmix/vmix_lan_candidates.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "core/text.h"

namespace tessvark {
namespace {

constexpr std::size_t kMaxNetworks = 8;
constexpr std::size_t kMaxNetworkHosts = 1024;

std::string DottedText(std::uint32_t address) {
  in_addr value{};
  value.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}

bool IsPrivateAddress(std::uint32_t address) {
  return (address & 0xFF000000u) == 0x0A000000u || (address & 0xFFF00000u) == 0xAC100000u ||
         (address & 0xFFFF0000u) == 0xC0A80000u;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool IsExcludedAdapterName(const Ipv4AdapterAddress& adapter) {
  const std::string name = ToLowerAscii(adapter.name);
  for (const char* prefix : {"utun", "ipsec", "ppp", "awdl", "llw", "gif", "stf", "bridge"}) {
    if (StartsWith(name, prefix)) return true;
  }
  return name.size() > 2 && StartsWith(name, "ap") &&
         std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void AddLanCandidate(VmixLanCandidates& candidates, std::string_view text) {
  std::string host = TrimAsciiWhitespace(text);
  if (host.empty() || std::find(candidates.hosts.begin(), candidates.hosts.end(), host) != candidates.hosts.end()) {
    return;
  }
  candidates.hosts.push_back(std::move(host));
}

VmixLanCandidates BuildLanCandidates(const std::vector<Ipv4AdapterAddress>& adapters, std::string_view host) {
  VmixLanCandidates candidates;
  // Overlapping networks (a /24 and a /30 inside it) would otherwise list, probe and report the
  // same host twice.
  std::unordered_set<std::uint32_t> listed_hosts;
  std::size_t network_hosts = 0;
  bool host_limit_reached = false;
  for (const Ipv4AdapterAddress& adapter : adapters) {
    if (!adapter.up || !adapter.running || adapter.loopback || adapter.point_to_point) continue;
    if (IsExcludedAdapterName(adapter) || adapter.prefix_length < 0 || adapter.prefix_length > 32) continue;
    in_addr parsed{};
    if (inet_pton(AF_INET, adapter.address.c_str(), &parsed) != 1) continue;
    const std::uint32_t address = ntohl(parsed.s_addr);
    if (address == 0 || (address & 0xFF000000u) == 0x7F000000u || (address & 0xFFFF0000u) == 0xA9FE0000u ||
        !IsPrivateAddress(address)) {
      continue;
    }
    const int length = std::max(adapter.prefix_length, 24);
    if (length > 30) continue;
    const std::uint32_t mask = ~std::uint32_t{0} << (32 - length);
    const std::uint32_t network = address & mask;
    const std::string text = DottedText(network) + "/" + std::to_string(length);
    if (std::find(candidates.networks.begin(), candidates.networks.end(), text) != candidates.networks.end()) continue;
    if (candidates.networks.size() >= kMaxNetworks) {
      candidates.truncated = true;
      continue;
    }
    candidates.networks.push_back(text);
    candidates.own_addresses.push_back(adapter.address);
    const std::uint32_t count = (std::uint32_t{1} << (32 - length)) - 2;
    for (std::uint32_t i = 1; i <= count; ++i) {
      if (network_hosts >= kMaxNetworkHosts) {
        candidates.truncated = true;
        host_limit_reached = true;
        break;
      }
      if (!listed_hosts.insert(network + i).second) continue;
      candidates.hosts.push_back(DottedText(network + i));
      ++network_hosts;
    }
    if (host_limit_reached) break;
  }
  AddLanCandidate(candidates, "127.0.0.1");
  AddLanCandidate(candidates, host);
  return candidates;
}

}  // namespace tessvark
