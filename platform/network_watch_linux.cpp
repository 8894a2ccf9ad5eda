#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "platform/network_watch.h"

namespace vistrel {

std::unique_ptr<NetworkWatch> NetworkWatch::Start(std::function<void()> on_change) {
  UniqueFd netlink(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  if (!netlink) return nullptr;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK | RTMGRP_IPV4_ROUTE;
  if (::bind(netlink.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return nullptr;
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return nullptr;
  return std::unique_ptr<NetworkWatch>(
      new NetworkWatch(std::move(netlink), std::move(wake), std::move(on_change)));
}

NetworkWatch::NetworkWatch(UniqueFd netlink, UniqueFd wake, std::function<void()> on_change)
    : netlink_(std::move(netlink)), wake_(std::move(wake)), on_change_(std::move(on_change)) {
  thread_ = std::thread([this] { Run(); });
}

NetworkWatch::~NetworkWatch() {
  const uint64_t one = 1;
  (void)!::write(wake_.Get(), &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

void NetworkWatch::Run() {
  for (;;) {
    pollfd fds[2] = {{netlink_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    // The messages themselves are not needed: any change means "look again".
    // Draining them all first turns a burst into one call.
    char buffer[8192];
    bool drained = false;
    while (!drained) {
      const ssize_t n = ::recv(netlink_.Get(), buffer, sizeof buffer, 0);
      // ENOBUFS: the kernel dropped messages; there was a change all the same.
      drained = n == 0 || (n < 0 && errno != EINTR && errno != ENOBUFS);
    }
    on_change_();
  }
}

}  // namespace vistrel
