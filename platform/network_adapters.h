#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessvark {

// One IPv4 address of one network adapter as the operating system reports it.
struct Ipv4InterfaceEntry {
  std::string name;
  bool up = false;
  bool running = false;
  bool loopback = false;
  bool point_to_point = false;
  std::uint32_t address = 0;  // host byte order
  bool has_netmask = false;
  std::uint32_t netmask = 0;  // host byte order
};

// One adapter address in the form the network search reads.
struct Ipv4AdapterAddress {
  std::string name;
  std::string address;
  // Leading one bits of the netmask; -1 without a netmask or when its one bits are not contiguous.
  std::int32_t prefix_length = -1;
  bool up = false;
  bool running = false;
  bool loopback = false;
  bool point_to_point = false;
};

// Reads the IPv4 addresses of every adapter (getifaddrs). 0 and the entries on success; -1 and
// no entries when the adapter table cannot be read.
int EnumerateIpv4Interfaces(std::vector<Ipv4InterfaceEntry>& out);

// The entries of EnumerateIpv4Interfaces as adapter addresses; empty when the table is unreadable.
// Reads the table anew on every call.
std::vector<Ipv4AdapterAddress> ListIpv4Adapters();

// Counts the leading one bits of a netmask in host byte order; -1 when a one follows a zero.
std::int32_t PrefixLengthOfNetmask(std::uint32_t netmask);

}  // namespace tessvark
