// The service advertisement: the receiver registers a DNS-SD instance
// "<computer name>._vistrel._tcp.local" with the listener port and the TXT
// properties "v=1" and "id=<receiver id>" so that the phone app finds it, and
// registers again when the first LAN address changes. The same component
// knows the LAN addresses that go into the pairing URL. Nothing here is fatal:
// without a responder the pairing URL still carries the addresses.
//
// The responder is avahi-daemon, reached through the Avahi client library on
// the system bus; this is the only file pair that knows it. Its callbacks run
// on Avahi's thread, network changes on a thread of the advertiser; Start and
// Stop on the receiver core's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/lan_addresses.h"

namespace vistrel {

class NetworkWatch;

// The instance name without its type and domain: the computer name, or
// "LinuxPC" when it cannot be read.
std::string DnsSdInstanceName();

// What a network change does, given the first LAN address now (0 for none),
// the address of the registration and whether one is pending or active.
enum class NetworkChangeAction { kNothing, kRegister, kReregister };
NetworkChangeAction DecideNetworkChange(uint32_t first_address, uint32_t current_address,
                                        bool registered);

class ServiceAdvertiser {
 public:
  using AddressSource = std::function<std::vector<LanAddress>()>;

  explicit ServiceAdvertiser(AddressSource addresses = ::vistrel::LanAddresses);
  ~ServiceAdvertiser();  // stops first
  ServiceAdvertiser(const ServiceAdvertiser&) = delete;
  ServiceAdvertiser& operator=(const ServiceAdvertiser&) = delete;

  // Registers for the listener's port, then watches the network.
  void Start(uint16_t port, const std::string& receiver_id);
  // Stops watching, then withdraws the registration. Idempotent.
  void Stop();
  // Runs the network-change rule now (the watch's thread calls it).
  void OnNetworkChange();

  std::vector<LanAddress> LanAddresses() const { return addresses_(); }
  // "a.b.c.d:port" for each LAN address, in order. Reads only the port, which
  // is fixed after Start, so it takes no lock.
  std::vector<std::string> PairingAddresses() const;

 private:
  struct Impl;
  const AddressSource addresses_;
  uint16_t port_ = 0;
  std::unique_ptr<Impl> impl_;  // from Start to Stop
  std::unique_ptr<NetworkWatch> watch_;
};

}  // namespace vistrel
