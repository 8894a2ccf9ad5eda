// The advertiser's own rules with made-up addresses: when a network change
// registers again, the pairing addresses, and the lines without a responder.
// The real responder is tested end to end (tests/e2e/avahi_e2e_test.cpp).
#include "link/advertiser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "platform/log.h"

namespace vistrel {
namespace {

constexpr uint32_t kA = 0x0A01A8C0;  // 192.168.1.10 in network order
constexpr uint32_t kB = 0x0B01A8C0;
constexpr uint32_t kC = 0x0C01A8C0;

TEST(Advertiser, OnlyAChangeOfTheFirstAddressRegistersAgain) {
  using enum NetworkChangeAction;
  EXPECT_EQ(DecideNetworkChange(kC, kA, true), kReregister);  // first address changed
  EXPECT_EQ(DecideNetworkChange(kA, kA, true), kNothing);     // second changed, or nothing
  EXPECT_EQ(DecideNetworkChange(0, kA, true), kReregister);   // the network went away
  EXPECT_EQ(DecideNetworkChange(kA, kA, false), kRegister);   // an earlier attempt failed
  EXPECT_EQ(DecideNetworkChange(kB, 0, false), kRegister);    // a network appeared
  EXPECT_EQ(DecideNetworkChange(0, 0, false), kRegister);
}

TEST(Advertiser, WithoutAResponderItLogsAndGoesOn) {
  // A system bus that does not exist: no daemon can be reached.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vistrel-test-bus", 1);
  std::mutex mutex;
  std::vector<LanAddress> addresses;
  ServiceAdvertiser advertiser([&] {
    std::lock_guard lock(mutex);
    return addresses;
  });
  ScopedLogCapture log;
  advertiser.Start(47800, "rid");
  EXPECT_EQ(log.Text(), "[mdns] no LAN address; waiting for a network\n");
  EXPECT_TRUE(advertiser.PairingAddresses().empty());
  {
    std::lock_guard lock(mutex);
    addresses = {{kA, "192.168.1.10", 2}, {kB, "192.168.1.11", 3}};
  }
  advertiser.OnNetworkChange();
  EXPECT_TRUE(log.Contains("[mdns] DnsServiceRegister failed (-26)\n"));  // no daemon
  EXPECT_EQ(advertiser.PairingAddresses(),
            (std::vector<std::string>{"192.168.1.10:47800", "192.168.1.11:47800"}));
  advertiser.Stop();
  advertiser.Stop();
  EXPECT_FALSE(DnsSdInstanceName().empty());
}

}  // namespace
}  // namespace vistrel
