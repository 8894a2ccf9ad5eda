// The USB watcher: one subscription to the usbmux service (usbmuxd) tells
// which phones are on a cable; for each, a worker asks the service for a
// tunnel to the phone's port and hands the connected socket to the server,
// where the receiver is the TLS client. Nothing here is fatal: an absent
// service, a refused request or a lost connection is retried after the waits
// of usbmux_client.cpp.
//
// Threads: the watch thread (Run), one worker per attached phone (RunDevice).
// Start, Stop, DeviceCount and listening() are for the receiver core's thread.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "link/usbmux_protocol.h"
#include "platform/thread_annotations.h"
#include "platform/unique_handle.h"

namespace vistrel {

// The server's AddWiredConnection: takes the tunnel, returns the flag that
// becomes true when that connection has ended.
using AddWiredConnectionFn =
    std::function<std::shared_ptr<std::atomic<bool>>(UniqueFd socket, std::string label)>;

class UsbmuxClient {
 public:
  // An attached phone, shared by the device map and its worker.
  struct Device {
    explicit Device(std::string serial_in) : serial(std::move(serial_in)) {}
    const std::string serial;  // cleaned for logs and labels
    std::atomic<bool> running{true};
    std::thread worker;  // joined by whoever takes the device out of the map
  };

  UsbmuxClient(AddWiredConnectionFn add_wired_connection, uint16_t phone_port,
               UsbmuxService service);
  ~UsbmuxClient();  // stops first
  UsbmuxClient(const UsbmuxClient&) = delete;
  UsbmuxClient& operator=(const UsbmuxClient&) = delete;

  void Start();
  // Idempotent: wakes and joins the watch thread, then every worker.
  void Stop() EXCLUDES(mutex_);
  int DeviceCount() const EXCLUDES(mutex_);
  // A Listen subscription is active.
  bool listening() const { return listening_; }

 private:
  using DeviceMap = std::map<int, std::shared_ptr<Device>>;

  void Run() EXCLUDES(mutex_);
  // One subscription from Listen to its loss; false when Listen was refused.
  bool Watch(UniqueFd socket) EXCLUDES(mutex_);
  void OnAttached(int device_id, const std::string& payload) EXCLUDES(mutex_);
  void OnDetached(int device_id) EXCLUDES(mutex_);
  void RunDevice(int device_id, const std::shared_ptr<Device>& device);
  UniqueFd ConnectToService() const;
  // Sends one request and reads its reply's "Number"; empty on any failure.
  std::string Request(int socket, std::string_view body, const std::function<bool()>& go_on);
  // Clears running and joins the worker of every device taken out of the map.
  static void StopDevices(DeviceMap devices);

  const AddWiredConnectionFn add_wired_connection_;
  const uint16_t phone_port_;
  const UsbmuxService service_;
  std::thread watch_thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> listening_{false};
  std::atomic<uint32_t> tag_{1};

  mutable Mutex mutex_;
  int service_socket_ GUARDED_BY(mutex_) = -1;  // owned by Run; shut down by Stop
  DeviceMap devices_ GUARDED_BY(mutex_);
  // A phone was refused for want of a free slot since one last freed.
  bool full_logged_ GUARDED_BY(mutex_) = false;
};

}  // namespace vistrel
