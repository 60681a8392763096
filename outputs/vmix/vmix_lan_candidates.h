#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/network_adapters.h"

namespace tessvark {

// Where one network search looks.
struct VmixLanCandidates {
  // "network/prefix" of each scanned network, in the order found.
  std::vector<std::string> networks;
  // Each host once, in order: the network hosts, then 127.0.0.1 and the configured host.
  std::vector<std::string> hosts;
  // The adapter address through which each network was found.
  std::vector<std::string> own_addresses;
  // A network or host was left out because of a limit.
  bool truncated = false;
};

// Names of tunnel, VPN and bridge adapters whose networks are never scanned.
bool IsExcludedAdapterName(const Ipv4AdapterAddress& adapter);

// The private IPv4 networks of the active adapters (each taken at /24 or narrower, down to /30;
// at most 8 networks and 1,024 hosts), then 127.0.0.1 and the configured host.
VmixLanCandidates BuildLanCandidates(const std::vector<Ipv4AdapterAddress>& adapters, std::string_view host);

// Appends one extra host, trimmed, unless it is empty or already listed.
void AddLanCandidate(VmixLanCandidates& candidates, std::string_view text);

}  // namespace tessvark
