#include "link/usbmux_client.h"

#include "link/socket_reader.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "security/phone_text.h"

namespace vistrel {
namespace {

constexpr uint64_t kStepMs = 100;
constexpr uint64_t kReplyTimeoutMs = 3000;
constexpr uint64_t kServiceRetryMs = 5000;  // unreachable, or Listen refused
constexpr uint64_t kLostRetryMs = 2000;
constexpr uint64_t kTunnelRetryMs = 2000;  // service unreachable or Connect refused
constexpr int kConnectTimeoutMs = 1000;
// A service that reports more phones than anyone plugs in must not make us
// start a thread and a connection for each.
constexpr size_t kMaxDevices = 16;

// Sleeps `ms` in 100-ms steps while `go_on` holds.
void Wait(uint64_t ms, const std::function<bool()>& go_on) {
  for (uint64_t slept = 0; slept < ms && go_on(); slept += kStepMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kStepMs, ms - slept)));
  }
}

}  // namespace

UsbmuxClient::UsbmuxClient(AddWiredConnectionFn add_wired_connection, uint16_t phone_port,
                           UsbmuxService service)
    : add_wired_connection_(std::move(add_wired_connection)),
      phone_port_(phone_port),
      service_(std::move(service)) {}

UsbmuxClient::~UsbmuxClient() {
  Stop();
}

void UsbmuxClient::Start() {
  watch_thread_ = std::thread([this] { Run(); });
}

void UsbmuxClient::Stop() {
  stopping_ = true;
  {
    MutexLock lock(mutex_);
    ShutdownBoth(service_socket_);
  }
  if (watch_thread_.joinable()) watch_thread_.join();
  DeviceMap devices;
  {
    MutexLock lock(mutex_);
    devices.swap(devices_);
  }
  StopDevices(std::move(devices));
}

int UsbmuxClient::DeviceCount() const {
  MutexLock lock(mutex_);
  return static_cast<int>(devices_.size());
}

UniqueFd UsbmuxClient::ConnectToService() const {
  return service_.unix_socket() ? ConnectUnix(service_.path)
                                : ConnectIpv4(service_.host, service_.port, kConnectTimeoutMs);
}

std::string UsbmuxClient::Request(int socket, std::string_view body,
                                  const std::function<bool()>& go_on) {
  const std::string packet = UsbmuxPacket(tag_++, body);
  if (!SendAll(socket, packet.data(), packet.size())) return {};
  SocketReader reader(socket, go_on);
  std::string reply;
  if (!ReadUsbmuxPacket(reader, TickMs() + kReplyTimeoutMs, reply)) return {};
  return PlistValue(reply, "Number");
}

void UsbmuxClient::Run() {
  const std::function<bool()> go_on = [this] { return !stopping_; };
  bool outage_logged = false;
  while (!stopping_) {
    UniqueFd socket = ConnectToService();
    if (!socket) {
      listening_ = false;
      if (!outage_logged) {
        LogLine("[usb] usbmuxd not reachable on %s; install usbmuxd for USB connections\n",
                service_.Describe().c_str());
        outage_logged = true;
      }
      Wait(kServiceRetryMs, go_on);
      continue;
    }
    outage_logged = false;
    const bool subscribed = Watch(std::move(socket));
    if (stopping_) break;
    if (subscribed) {
      LogLine("[usb] usbmux connection lost; retrying\n");
      Wait(kLostRetryMs, go_on);
    } else {
      Wait(kServiceRetryMs, go_on);
    }
  }
  listening_ = false;
}

bool UsbmuxClient::Watch(UniqueFd socket) {
  {
    // Stop shuts down whatever socket it finds here; one stored after Stop
    // looked would never be woken, so check under the same lock.
    MutexLock lock(mutex_);
    if (stopping_) return true;
    service_socket_ = socket.Get();
  }
  const std::function<bool()> go_on = [this] { return !stopping_; };
  bool subscribed = Request(socket.Get(), UsbmuxListenBody(), go_on) == "0";
  if (subscribed) {
    listening_ = true;
    LogLine("[usb] watching for iPhones on USB\n");
    SocketReader reader(socket.Get(), go_on);
    std::string payload;
    while (ReadUsbmuxPacket(reader, kNoReadDeadline, payload)) {
      const std::string type = PlistValue(payload, "MessageType");
      const int device_id = AtoiLike(PlistValue(payload, "DeviceID"));
      if (type == "Attached") {
        OnAttached(device_id, payload);
      } else if (type == "Detached") {
        OnDetached(device_id);
      }
    }
    listening_ = false;
  } else if (!stopping_) {
    LogLine("[usb] usbmux Listen refused\n");
  }
  DeviceMap devices;
  {
    MutexLock lock(mutex_);
    service_socket_ = -1;
    devices.swap(devices_);
    full_logged_ = false;
  }
  StopDevices(std::move(devices));
  return subscribed || stopping_;
}

void UsbmuxClient::OnAttached(int device_id, const std::string& payload) {
  // Phones reached through the service over the network are not ours.
  if (PlistValue(payload, "ConnectionType") != "USB") return;
  auto device = std::make_shared<Device>(CleanPhoneText(PlistValue(payload, "SerialNumber")));
  LogLine("[usb] attached %s\n", device->serial.c_str());
  MutexLock lock(mutex_);
  if (devices_.count(device_id) != 0) return;
  if (devices_.size() >= kMaxDevices) {
    // Once until a slot frees: a flood of Attached messages must not flood the log.
    const bool first = !full_logged_;
    full_logged_ = true;
    lock.unlock();
    if (first) LogLine("[usb] %s ignored: too many phones attached\n", device->serial.c_str());
    return;
  }
  device->worker = std::thread([this, device_id, device] { RunDevice(device_id, device); });
  devices_.emplace(device_id, std::move(device));
}

void UsbmuxClient::OnDetached(int device_id) {
  std::shared_ptr<Device> device;
  {
    MutexLock lock(mutex_);
    auto it = devices_.find(device_id);
    if (it == devices_.end()) return;
    device = std::move(it->second);
    devices_.erase(it);
    full_logged_ = false;
  }
  LogLine("[usb] detached %s\n", device->serial.c_str());
  DeviceMap gone;
  gone.emplace(device_id, std::move(device));
  StopDevices(std::move(gone));
}

void UsbmuxClient::StopDevices(DeviceMap devices) {
  for (auto& [id, device] : devices) device->running = false;
  for (auto& [id, device] : devices) {
    if (device->worker.joinable()) device->worker.join();
  }
}

void UsbmuxClient::RunDevice(int device_id, const std::shared_ptr<Device>& device) {
  const std::function<bool()> go_on = [this, &device] { return device->running && !stopping_; };
  uint64_t backoff = kFirstTunnelBackoffMs;
  bool refusal_logged = false;
  while (go_on()) {
    UniqueFd socket = ConnectToService();
    if (!socket) {
      Wait(kTunnelRetryMs, go_on);
      continue;
    }
    if (Request(socket.Get(), UsbmuxConnectBody(device_id, phone_port_), go_on) != "0") {
      socket.Reset();
      if (!go_on()) break;
      if (!refusal_logged) {
        LogLine("[usb] %s: Orlith Cam is not open on the phone; waiting\n", device->serial.c_str());
        refusal_logged = true;
      }
      Wait(kTunnelRetryMs, go_on);
      continue;
    }
    refusal_logged = false;
    const uint64_t start = TickMs();
    // From here the socket is a byte stream to the phone, and the server's.
    auto done = add_wired_connection_(std::move(socket), "usb:" + device->serial);
    while (!done->load() && !stopping_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    }
    backoff = NextTunnelBackoffMs(backoff, TickMs() - start);
    Wait(backoff, go_on);
  }
}

}  // namespace vistrel
