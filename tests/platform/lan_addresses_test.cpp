#include "platform/lan_addresses.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

constexpr char kRoutes[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "wlp2s0\t00000000\t0102A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
    "wlp2s0\t0002A8C0\t00000000\t0001\t0\t0\t600\t00FFFFFF\t0\t0\t0\n"
    "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
    "enp3s0\t0000000A\t0100000A\t0003\t0\t0\t100\t000000FF\t0\t0\t0\n"
    "tun0\t00000000\t00000000\t0001\t0\t0\t50\t00000000\t0\t0\t0\n"
    "broken line\n";

TEST(LanAddresses, GatewayRoutesAreFoundPerInterface) {
  EXPECT_EQ(InterfacesWithGateway(kRoutes), (std::vector<std::string>{"wlp2s0", "enp3s0"}));
  EXPECT_TRUE(InterfacesWithGateway("").empty());
}

TEST(LanAddresses, OnlyPhysicalEthernetOrWifiThatIsUpWithAGateway) {
  const auto gateways = InterfacesWithGateway(kRoutes);
  struct Case {
    InterfaceFacts facts;
    bool lan;
  } cases[] = {
      {{"wlp2s0", 3, true, false, 1, true}, true},
      {{"enp3s0", 2, true, false, 1, true}, true},
      {{"wlp2s0", 3, false, false, 1, true}, false},  // down
      {{"lo", 1, true, true, 772, false}, false},     // loopback
      {{"docker0", 4, true, false, 1, false}, false}, // bridge: no device, no gateway
      {{"veth1", 5, true, false, 1, false}, false},
      {{"tun0", 6, true, false, 65534, false}, false},
      {{"enp3s0", 2, true, false, 1, false}, false},  // no device link
      {{"eth9", 7, true, false, 1, true}, false},     // no gateway through it
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsLanInterface(c.facts, gateways), c.lan) << c.facts.name;
  }
}

}  // namespace
}  // namespace vistrel
