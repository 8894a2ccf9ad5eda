// Tells when the computer's IPv4 networking changed (an address, a link or a
// route came or went), so that the receiver can advertise itself again.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/unique_handle.h"

namespace vistrel {

class NetworkWatch {
 public:
  // Calls `on_change` on a thread of the watch, once per burst of kernel
  // notifications, never for the state at start. Null when the kernel's
  // notifications cannot be had.
  static std::unique_ptr<NetworkWatch> Start(std::function<void()> on_change);
  // Stops the thread; no call of `on_change` runs after this returns. Must
  // not be called from `on_change` or with a lock that `on_change` takes.
  ~NetworkWatch();
  NetworkWatch(const NetworkWatch&) = delete;
  NetworkWatch& operator=(const NetworkWatch&) = delete;

 private:
  NetworkWatch(UniqueFd netlink, UniqueFd wake, std::function<void()> on_change);
  void Run();

  UniqueFd netlink_;
  UniqueFd wake_;  // an eventfd that ends Run
  std::function<void()> on_change_;
  std::thread thread_;
};

}  // namespace vistrel
