// The computer's usable LAN addresses: IPv4 on physical Ethernet or Wi-Fi
// interfaces that are up and have a gateway, in interface-index order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vistrel {

struct LanAddress {
  uint32_t address = 0;  // network order
  std::string text;      // dotted decimal
  unsigned interface = 0;  // the index of its interface
};

std::vector<LanAddress> LanAddresses();

// Pieces of the rule, exposed for tests with made-up system files.
struct InterfaceFacts {
  std::string name;
  unsigned index = 0;
  bool up = false;
  bool loopback = false;
  int type = 0;             // /sys/class/net/<if>/type
  bool has_device = false;  // /sys/class/net/<if>/device exists
};
// Interfaces that have a gateway route in the text of /proc/net/route.
std::vector<std::string> InterfacesWithGateway(const std::string& proc_net_route);
bool IsLanInterface(const InterfaceFacts& facts, const std::vector<std::string>& with_gateway);

}  // namespace vistrel
