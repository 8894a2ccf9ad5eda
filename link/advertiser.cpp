#include "link/advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include "platform/host.h"
#include "platform/log.h"
#include "platform/network_watch.h"
#include "platform/thread_annotations.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

constexpr char kServiceType[] = "_vistrel._tcp";

// Avahi calls our callbacks on its thread with this lock held, so it is the
// one lock of the advertiser: taking a second one in a callback would order
// the two both ways.
class CAPABILITY("mutex") PollLock {
 public:
  explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) {}
  void lock() ACQUIRE() { avahi_threaded_poll_lock(poll_); }
  void unlock() RELEASE() { avahi_threaded_poll_unlock(poll_); }

 private:
  AvahiThreadedPoll* poll_;
};

class SCOPED_CAPABILITY PollLockGuard {
 public:
  explicit PollLockGuard(PollLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~PollLockGuard() RELEASE() { lock_.unlock(); }
  PollLockGuard(const PollLockGuard&) = delete;
  PollLockGuard& operator=(const PollLockGuard&) = delete;

 private:
  PollLock& lock_;
};

void FreeGroup(AvahiEntryGroup* group) {
  avahi_entry_group_free(group);
}

using UniquePoll = UniqueHandle<AvahiThreadedPoll*, avahi_threaded_poll_free, nullptr>;
using UniqueClient = UniqueHandle<AvahiClient*, avahi_client_free, nullptr>;
using UniqueGroup = UniqueHandle<AvahiEntryGroup*, FreeGroup, nullptr>;

}  // namespace

std::string DnsSdInstanceName() {
  return ComputerName().value_or("LinuxPC");
}

NetworkChangeAction DecideNetworkChange(uint32_t first_address, uint32_t current_address,
                                        bool registered) {
  if (first_address != current_address && registered) return NetworkChangeAction::kReregister;
  if (first_address != current_address || !registered) return NetworkChangeAction::kRegister;
  return NetworkChangeAction::kNothing;
}

struct ServiceAdvertiser::Impl {
  Impl(const AddressSource& addresses_in, uint16_t port_in, std::string receiver_id_in,
       UniquePoll poll_in)
      : addresses(addresses_in),
        port(port_in),
        txt_id("id=" + receiver_id_in),
        name(DnsSdInstanceName()),
        poll(std::move(poll_in)),
        lock(poll.Get()) {}

  // Steps of a registration, under the lock: the first LAN address, the
  // client, the entry group.
  void Register() REQUIRES(lock);
  // A new client; false (logged) when Avahi cannot make one.
  bool ConnectClient() REQUIRES(lock);
  void OnDaemonRunning() REQUIRES(lock);
  void OnNetworkChange() REQUIRES(lock);
  void OnClientState(AvahiClient* client, AvahiClientState state) REQUIRES(lock);
  void OnGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state) REQUIRES(lock);

  static void ClientCallback(AvahiClient* client, AvahiClientState state,
                             void* self) NO_THREAD_SAFETY_ANALYSIS {
    static_cast<Impl*>(self)->OnClientState(client, state);
  }
  static void GroupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state,
                            void* self) NO_THREAD_SAFETY_ANALYSIS {
    static_cast<Impl*>(self)->OnGroupState(group, state);
  }

  const AddressSource& addresses;
  const uint16_t port;
  const std::string txt_id;
  const std::string name;
  UniquePoll poll;
  PollLock lock;
  UniqueClient client GUARDED_BY(lock);
  UniqueGroup group GUARDED_BY(lock);  // the registration, pending or active
  uint32_t current_address GUARDED_BY(lock) = 0;
  bool registered GUARDED_BY(lock) = false;
  // The daemon is not there yet, or is busy with its own name: register
  // when it reports running.
  bool awaiting_daemon GUARDED_BY(lock) = false;
  // The daemon went away under a running client; its return is logged.
  bool daemon_lost GUARDED_BY(lock) = false;
};

void ServiceAdvertiser::Impl::Register() {
  group.Reset();
  registered = false;
  awaiting_daemon = false;
  const std::vector<LanAddress> found = addresses();
  if (found.empty()) {
    LogLine("[mdns] no LAN address; waiting for a network\n");
    current_address = 0;
    return;
  }
  current_address = found.front().address;
  // A failed client stays failed; a new one may find a daemon that came since.
  if (client && avahi_client_get_state(client.Get()) == AVAHI_CLIENT_FAILURE) client.Reset();
  if (!client && !ConnectClient()) return;
  const AvahiClientState state = avahi_client_get_state(client.Get());
  if (state != AVAHI_CLIENT_S_RUNNING) {
    awaiting_daemon = true;
    if (state == AVAHI_CLIENT_CONNECTING) {
      LogLine("[mdns] DnsServiceRegister failed (%d)\n", AVAHI_ERR_NO_DAEMON);
    }
    return;
  }
  UniqueGroup added(avahi_entry_group_new(client.Get(), GroupCallback, this));
  int error = added ? 0 : avahi_client_errno(client.Get());
  if (added) {
    // On every interface the daemon serves, each answered with Avahi's own
    // host name and that interface's address, so that a phone on any of the
    // PC's networks finds it; IPv4 only.
    error = avahi_entry_group_add_service(added.Get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                          AvahiPublishFlags(0), name.c_str(), kServiceType, nullptr,
                                          nullptr, port, "v=1", txt_id.c_str(), nullptr);
  }
  if (error == 0) error = avahi_entry_group_commit(added.Get());
  if (error != 0) {
    LogLine("[mdns] DnsServiceRegister failed (%d)\n", error);
    return;
  }
  group = std::move(added);
  registered = true;
}

bool ServiceAdvertiser::Impl::ConnectClient() {
  int error = 0;
  // NO_FAIL: without a daemon the client waits for one instead of failing.
  client.Reset(avahi_client_new(avahi_threaded_poll_get(poll.Get()), AVAHI_CLIENT_NO_FAIL,
                                ClientCallback, this, &error));
  if (!client) LogLine("[mdns] DnsServiceRegister failed (%d)\n", error);
  return static_cast<bool>(client);
}

void ServiceAdvertiser::Impl::OnDaemonRunning() {
  if (daemon_lost) {
    daemon_lost = false;
    LogLine("[mdns] avahi-daemon is back; registering again\n");
  }
  if (awaiting_daemon) Register();
}

void ServiceAdvertiser::Impl::OnNetworkChange() {
  const std::vector<LanAddress> found = addresses();
  const uint32_t first = found.empty() ? 0 : found.front().address;
  switch (DecideNetworkChange(first, current_address, registered)) {
    case NetworkChangeAction::kNothing:
      return;
    case NetworkChangeAction::kReregister:
      group.Reset();  // withdraws the old registration
      registered = false;
      [[fallthrough]];
    case NetworkChangeAction::kRegister:
      Register();
  }
}

void ServiceAdvertiser::Impl::OnClientState(AvahiClient* changed, AvahiClientState state) {
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      // Inside avahi_client_new the client is not ours yet; its caller goes on.
      if (client) OnDaemonRunning();
      return;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_CONNECTING:
      // The daemon withdrew our records (its host name changes) or went away;
      // it says when it runs again.
      group.Reset();
      registered = false;
      awaiting_daemon = true;
      return;
    case AVAHI_CLIENT_FAILURE:
      // Only a new client recovers. A lost daemon (stopped or restarted) is
      // not a network change, so one is made at once; without a daemon it
      // waits for it and reports running when it is back.
      group.Reset();
      registered = false;
      if (avahi_client_errno(changed) != AVAHI_ERR_DISCONNECTED) return;
      LogLine("[mdns] avahi-daemon went away; registering again when it is back\n");
      daemon_lost = true;
      awaiting_daemon = true;
      client.Reset();  // frees `changed`, as Avahi allows inside its callback
      if (ConnectClient() && avahi_client_get_state(client.Get()) == AVAHI_CLIENT_S_RUNNING) {
        OnDaemonRunning();
      }
      return;
  }
}

void ServiceAdvertiser::Impl::OnGroupState(AvahiEntryGroup* changed, AvahiEntryGroupState state) {
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      LogLine("[mdns] advertising %s.%s.local\n", name.c_str(), kServiceType);
      return;
    case AVAHI_ENTRY_GROUP_COLLISION:
      LogLine("[mdns] registration failed (%d); pairing QR addresses still work\n",
              AVAHI_ERR_COLLISION);
      return;
    case AVAHI_ENTRY_GROUP_FAILURE:
      LogLine("[mdns] registration failed (%d); pairing QR addresses still work\n",
              avahi_client_errno(avahi_entry_group_get_client(changed)));
      return;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
      return;
  }
}

ServiceAdvertiser::ServiceAdvertiser(AddressSource addresses) : addresses_(std::move(addresses)) {}

ServiceAdvertiser::~ServiceAdvertiser() {
  Stop();
}

void ServiceAdvertiser::Start(uint16_t port, const std::string& receiver_id) {
  port_ = port;
  UniquePoll poll(avahi_threaded_poll_new());
  if (!poll) {
    LogLine("[mdns] DnsServiceRegister failed (%d)\n", AVAHI_ERR_NO_MEMORY);
    return;
  }
  impl_ = std::make_unique<Impl>(addresses_, port, receiver_id, std::move(poll));
  {
    PollLockGuard lock(impl_->lock);
    impl_->Register();
  }
  avahi_threaded_poll_start(impl_->poll.Get());
  watch_ = NetworkWatch::Start([this] { OnNetworkChange(); });
}

void ServiceAdvertiser::OnNetworkChange() {
  if (!impl_) return;
  PollLockGuard lock(impl_->lock);
  impl_->OnNetworkChange();
}

void ServiceAdvertiser::Stop() {
  // No change callback may run once the registration is gone.
  watch_.reset();
  if (!impl_) return;
  {
    PollLockGuard lock(impl_->lock);
    impl_->group.Reset();
    impl_->registered = false;
  }
  // Avahi's thread must be stopped without its lock, before the client goes.
  avahi_threaded_poll_stop(impl_->poll.Get());
  {
    PollLockGuard lock(impl_->lock);
    impl_->client.Reset();
  }
  impl_.reset();
}

std::vector<std::string> ServiceAdvertiser::PairingAddresses() const {
  std::vector<std::string> result;
  for (const LanAddress& address : LanAddresses()) {
    result.push_back(address.text + ":" + std::to_string(port_));
  }
  return result;
}

}  // namespace vistrel
