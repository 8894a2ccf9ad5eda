#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/lan_addresses.h"
#include "platform/unique_handle.h"

namespace vistrel {

std::vector<std::string> InterfacesWithGateway(const std::string& proc_net_route) {
  // Columns: Iface Destination Gateway Flags ...; RTF_GATEWAY is 0x2.
  std::vector<std::string> result;
  std::istringstream in(proc_net_route);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags_text;
    if (!(fields >> name >> destination >> gateway >> flags_text)) continue;
    unsigned long flags = std::strtoul(flags_text.c_str(), nullptr, 16);
    if ((flags & 0x2) && gateway != "00000000" &&
        std::find(result.begin(), result.end(), name) == result.end()) {
      result.push_back(name);
    }
  }
  return result;
}

bool IsLanInterface(const InterfaceFacts& facts, const std::vector<std::string>& with_gateway) {
  return facts.up && !facts.loopback && facts.type == 1 && facts.has_device &&
         std::find(with_gateway.begin(), with_gateway.end(), facts.name) != with_gateway.end();
}

std::vector<LanAddress> LanAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  UniqueHandle<ifaddrs*, ::freeifaddrs, nullptr> owner(list);
  const std::vector<std::string> with_gateway =
      InterfacesWithGateway(ReadFileText("/proc/net/route", 1 << 20).value_or(""));

  struct Found {
    unsigned index;
    size_t order;
    LanAddress address;
  };
  std::vector<Found> found;
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !ifa->ifa_name) continue;
    InterfaceFacts facts;
    facts.name = ifa->ifa_name;
    facts.index = ::if_nametoindex(ifa->ifa_name);
    facts.up = (ifa->ifa_flags & IFF_UP) && (ifa->ifa_flags & IFF_RUNNING);
    facts.loopback = ifa->ifa_flags & IFF_LOOPBACK;
    const std::filesystem::path sys = std::filesystem::path("/sys/class/net") / facts.name;
    facts.type = std::atoi(ReadFileText(sys / "type", 64).value_or("0").c_str());
    std::error_code ec;
    facts.has_device = std::filesystem::exists(sys / "device", ec);
    if (!IsLanInterface(facts, with_gateway)) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
    found.push_back({facts.index, found.size(), {in->sin_addr.s_addr, text, facts.index}});
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.index < b.index; });
  std::vector<LanAddress> result;
  for (Found& f : found) result.push_back(std::move(f.address));
  return result;
}

}  // namespace vistrel
