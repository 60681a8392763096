#include "platform/network_adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tessvark {

int EnumerateIpv4Interfaces(std::vector<Ipv4InterfaceEntry>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    Ipv4InterfaceEntry item;
    item.name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    item.up = (entry->ifa_flags & IFF_UP) != 0;
    item.running = (entry->ifa_flags & IFF_RUNNING) != 0;
    item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    item.point_to_point = (entry->ifa_flags & IFF_POINTOPOINT) != 0;
    item.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
      item.has_netmask = true;
      item.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    }
    out.push_back(std::move(item));
  }
  freeifaddrs(list);
  return 0;
}

std::int32_t PrefixLengthOfNetmask(std::uint32_t netmask) {
  std::int32_t length = 0;
  while (length < 32 && (netmask & (0x80000000u >> length)) != 0) ++length;
  const std::uint32_t rest = length == 32 ? 0 : netmask & (0xFFFFFFFFu >> length);
  return rest == 0 ? length : -1;
}

std::vector<Ipv4AdapterAddress> ListIpv4Adapters() {
  std::vector<Ipv4InterfaceEntry> entries;
  std::vector<Ipv4AdapterAddress> adapters;
  if (EnumerateIpv4Interfaces(entries) != 0) return adapters;
  for (const Ipv4InterfaceEntry& entry : entries) {
    if (entry.name.empty()) continue;
    in_addr address{};
    address.s_addr = htonl(entry.address);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) continue;
    Ipv4AdapterAddress adapter;
    adapter.name = entry.name;
    adapter.address = text;
    adapter.prefix_length = entry.has_netmask ? PrefixLengthOfNetmask(entry.netmask) : -1;
    adapter.up = entry.up;
    adapter.running = entry.running;
    adapter.loopback = entry.loopback;
    adapter.point_to_point = entry.point_to_point;
    adapters.push_back(std::move(adapter));
  }
  return adapters;
}

}  // namespace tessvark
